#include "frame.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <type_traits>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tiffio.h>

#include "errors.hpp"
#include "pool.hpp"

namespace karvelum {

namespace {

constexpr std::uint64_t kMaxDecodedBytes = std::uint64_t(256) << 20;
constexpr std::uint64_t kMaxBlockBytes = std::uint64_t(128) << 20;

std::string os_error_text(int err) {
    return std::generic_category().message(err) + " (os error " + std::to_string(err) + ")";
}

// Messages libtiff reports for one handle; nothing is printed.
struct Messages {
    std::string error;
};

int on_error(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    auto* messages = static_cast<Messages*>(user);
    if (messages->error.empty()) {
        char text[1024];
        std::vsnprintf(text, sizeof text, fmt, ap);
        messages->error = (module != nullptr && *module != '\0') ? std::string(module) + ": " + text : text;
    }
    return 1;
}

int on_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

void silence_global_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
    });
}

// An open TIFF handle with its captured messages.
class TiffHandle {
public:
    explicit TiffHandle(const std::string& path) {
        silence_global_handlers();
        if (path.find('\0') != std::string::npos) throw LoadError("embedded null byte");
        // Non-blocking, so that a named pipe is refused instead of waited on.
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) throw LoadError(os_error_text(errno));
        struct stat info;
        if (::fstat(fd, &info) != 0) {
            const int error = errno;
            ::close(fd);
            throw LoadError(os_error_text(error));
        }
        if (!S_ISREG(info.st_mode)) {
            const bool directory = S_ISDIR(info.st_mode);
            ::close(fd);
            throw LoadError(directory ? os_error_text(EISDIR) : std::string("not a regular file"));
        }
        std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> opts(TIFFOpenOptionsAlloc(), TIFFOpenOptionsFree);
        if (!opts) {
            ::close(fd);
            throw std::bad_alloc();
        }
        TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), on_error, &messages_);
        TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), on_warning, nullptr);
        TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), static_cast<tmsize_t>(kMaxBlockBytes));
        // "m": read through the file descriptor, never a memory map, so a
        // truncated file is a read error and not a fault. "c": strips are
        // decoded whole, not chopped into single-row reads.
        tif_ = TIFFFdOpenExt(fd, path.c_str(), "rmc", opts.get());
        if (tif_ == nullptr) {
            ::close(fd);
            fail("not a readable TIFF file");
        }
    }
    ~TiffHandle() {
        if (tif_ != nullptr) TIFFClose(tif_);  // closes the descriptor too
    }
    TiffHandle(const TiffHandle&) = delete;
    TiffHandle& operator=(const TiffHandle&) = delete;

    TIFF* get() const { return tif_; }
    [[noreturn]] void fail(const std::string& fallback) const {
        throw LoadError(messages_.error.empty() ? fallback : messages_.error);
    }

private:
    Messages messages_;
    TIFF* tif_ = nullptr;
};

struct Layout {
    std::uint32_t width = 0, height = 0;
    std::uint16_t samples_per_pixel = 1, bits = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
    std::uint16_t compression = COMPRESSION_NONE;
    bool tiled = false;
    std::uint32_t block_width = 0, block_height = 0;  // tile size, or width x rows per strip
    std::uint32_t blocks = 0;                         // blocks of the first sample plane
    std::uint32_t blocks_across = 1;
    SampleType type = SampleType::U8;
    std::size_t sample_bytes = 1;
    std::uint64_t block_bytes = 0;  // decoded size of one block
};

SampleType sample_type(std::uint16_t format, std::uint16_t bits) {
    if (format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID) {
        switch (bits) {
            case 8: return SampleType::U8;
            case 16: return SampleType::U16;
            case 32: return SampleType::U32;
            case 64: return SampleType::U64;
        }
    } else if (format == SAMPLEFORMAT_INT) {
        switch (bits) {
            case 8: return SampleType::I8;
            case 16: return SampleType::I16;
            case 32: return SampleType::I32;
            case 64: return SampleType::I64;
        }
    } else if (format == SAMPLEFORMAT_IEEEFP) {
        if (bits == 32) return SampleType::F32;
        if (bits == 64) return SampleType::F64;
    }
    const char* kind = format == SAMPLEFORMAT_IEEEFP ? "floating-point"
                       : format == SAMPLEFORMAT_INT  ? "signed integer"
                       : (format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID) ? "unsigned integer"
                                                                                       : "unknown-format";
    throw LoadError("unsupported sample format: " + std::to_string(bits) + "-bit " + kind + " samples");
}

Layout read_layout(const TiffHandle& h) {
    TIFF* tif = h.get();
    Layout l;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &l.width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &l.height)) {
        h.fail("image width or length missing");
    }
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &l.samples_per_pixel);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &l.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &l.format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &l.planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &l.compression);
    if (l.samples_per_pixel == 0) throw LoadError("image has no samples per pixel");
    if (!TIFFIsCODECConfigured(l.compression)) {
        throw LoadError("unsupported compression scheme " + std::to_string(l.compression));
    }
    l.type = sample_type(l.format, l.bits);
    l.sample_bytes = l.bits / 8;
    if (l.compression == COMPRESSION_JPEG) {
        std::uint16_t photometric = 0;
        // Colour JPEG data is delivered as RGB; the first sample is red.
        if (TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) && photometric == PHOTOMETRIC_YCBCR) {
            TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        }
    }
    const std::uint64_t decoded = checked_mul(checked_mul(checked_mul(l.width, l.height), l.samples_per_pixel),
                                              l.sample_bytes);
    if (decoded > kMaxDecodedBytes) {
        throw LoadError("image of " + std::to_string(l.width) + " x " + std::to_string(l.height) + " pixels needs " +
                        std::to_string(decoded) + " bytes, more than the limit of " +
                        std::to_string(kMaxDecodedBytes));
    }
    const std::uint64_t plane_samples = l.planar == PLANARCONFIG_SEPARATE ? 1 : l.samples_per_pixel;
    l.tiled = TIFFIsTiled(tif) != 0;
    if (l.tiled) {
        if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &l.block_width) ||
            !TIFFGetField(tif, TIFFTAG_TILELENGTH, &l.block_height) || l.block_width == 0 || l.block_height == 0) {
            h.fail("tile size missing");
        }
        l.blocks_across = (l.width + l.block_width - 1) / l.block_width;
        const std::uint64_t down = (static_cast<std::uint64_t>(l.height) + l.block_height - 1) / l.block_height;
        l.blocks = static_cast<std::uint32_t>(checked_mul(l.blocks_across, down));
        if (l.width > 0 && l.height > 0 && TIFFNumberOfTiles(tif) < l.blocks) h.fail("too few tiles");
    } else {
        std::uint32_t rows_per_strip = 0;
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
        l.block_width = l.width;
        l.block_height = std::max<std::uint32_t>(1, std::min(rows_per_strip, l.height));
        l.blocks = l.height == 0 ? 0 : (l.height + l.block_height - 1) / l.block_height;
        if (l.width > 0 && l.height > 0 && TIFFNumberOfStrips(tif) < l.blocks) h.fail("too few strips");
    }
    // Every block must be stored somewhere (offset 0 is the header), and
    // compressed blocks are read whole into an intermediate buffer first.
    for (std::uint32_t b = 0; b < l.blocks; ++b) {
        const char* kind = l.tiled ? "tile " : "strip ";
        const std::uint64_t bytes = TIFFGetStrileByteCount(tif, b);
        if (bytes == 0 || TIFFGetStrileOffset(tif, b) == 0) {
            throw LoadError(kind + std::to_string(b) + " has no data in the file");
        }
        if (bytes > kMaxBlockBytes) {
            throw LoadError(kind + std::to_string(b) + " holds " + std::to_string(bytes) +
                            " bytes, more than the limit of " + std::to_string(kMaxBlockBytes));
        }
    }
    l.block_bytes = checked_mul(checked_mul(checked_mul(l.block_width, l.block_height), plane_samples), l.sample_bytes);
    if (l.block_bytes > kMaxBlockBytes) {
        throw LoadError("a strip or tile of " + std::to_string(l.block_bytes) + " bytes exceeds the limit of " +
                        std::to_string(kMaxBlockBytes));
    }
    return l;
}

// Decodes blocks [first, last) with one handle into one scratch buffer.
void decode_blocks(const TiffHandle& h, const Layout& l, std::uint32_t first, std::uint32_t last, TiffSink& sink) {
    TIFF* tif = h.get();
    Buffer<std::byte> scratch(l.block_bytes);
    const std::size_t pixel_stride = l.planar == PLANARCONFIG_SEPARATE ? 1 : l.samples_per_pixel;
    for (std::uint32_t b = first; b < last; ++b) {
        std::uint64_t row0, col0 = 0, rows, cols;
        tmsize_t expected, got;
        if (l.tiled) {
            row0 = static_cast<std::uint64_t>(b / l.blocks_across) * l.block_height;
            col0 = static_cast<std::uint64_t>(b % l.blocks_across) * l.block_width;
            rows = std::min<std::uint64_t>(l.block_height, l.height - row0);
            cols = std::min<std::uint64_t>(l.block_width, l.width - col0);
            expected = static_cast<tmsize_t>(l.block_bytes);
            got = TIFFReadEncodedTile(tif, b, scratch.data(), expected);
        } else {
            row0 = static_cast<std::uint64_t>(b) * l.block_height;
            rows = std::min<std::uint64_t>(l.block_height, l.height - row0);
            cols = l.width;
            expected = static_cast<tmsize_t>(rows * cols * pixel_stride * l.sample_bytes);
            got = TIFFReadEncodedStrip(tif, b, scratch.data(), expected);
        }
        if (got < 0) h.fail("cannot decode " + std::string(l.tiled ? "tile " : "strip ") + std::to_string(b));
        if (got < expected) {
            throw LoadError(std::string(l.tiled ? "tile " : "strip ") + std::to_string(b) + " is truncated: " +
                            std::to_string(got) + " of " + std::to_string(expected) + " bytes");
        }
        sink.block(TiffBlock{l.type, scratch.data(), pixel_stride,
                             static_cast<std::size_t>(l.block_width) * pixel_stride, row0, rows, col0, cols});
    }
}

}  // namespace

void decode_tiff_first_image(const std::string& path, TiffSink& sink) {
    TiffHandle handle(path);
    const Layout layout = read_layout(handle);
    sink.begin(layout.width, layout.height);
    if (layout.blocks == 0) return;
    const std::size_t threads = pool::current_thread_count();
    // Blocks are read, decoded and converted in parallel, each worker with
    // its own handle (a libtiff handle serves one thread).
    const bool parallel = layout.blocks >= 4 && threads > 1 &&
                          layout.block_bytes * layout.blocks >= (std::uint64_t(1) << 20);
    if (!parallel) {
        decode_blocks(handle, layout, 0, layout.blocks, sink);
        return;
    }
    const std::uint32_t workers = static_cast<std::uint32_t>(std::min<std::size_t>(threads, layout.blocks));
    std::vector<std::string> errors(workers);
    pool::parallel_for_index(workers, [&](std::size_t w) {
        const std::uint32_t first = static_cast<std::uint32_t>(layout.blocks * w / workers);
        const std::uint32_t last = static_cast<std::uint32_t>(layout.blocks * (w + 1) / workers);
        try {
            if (w == 0) {
                decode_blocks(handle, layout, first, last, sink);
            } else {
                TiffHandle own(path);
                if (layout.compression == COMPRESSION_JPEG) read_layout(own);  // sets the colour mode
                decode_blocks(own, layout, first, last, sink);
            }
        } catch (const std::exception& e) {
            errors[w] = e.what();
        }
    }, 1);
    for (const std::string& e : errors) {
        if (!e.empty()) throw LoadError(e);
    }
}

namespace {

// Converts blocks to f64 and writes them to the flipped rows of a frame.
class FrameSink : public TiffSink {
public:
    explicit FrameSink(ImageFrame& frame) : frame_(frame) {}
    void begin(std::uint64_t width, std::uint64_t height) override {
        width_ = width;
        height_ = height;
        frame_.data.clear();
        frame_.data.resize(checked_mul(width, height));
    }
    void block(const TiffBlock& b) override {
        write_rows_reversed(b, frame_.data.data(), width_, height_, [](auto x) { return static_cast<double>(x); });
    }

    std::uint64_t width() const { return width_; }
    std::uint64_t height() const { return height_; }

private:
    ImageFrame& frame_;
    std::uint64_t width_ = 0, height_ = 0;
};

}  // namespace

void load_tiff_frame(ImageFrame& frame, std::string path) {
    FrameSink sink(frame);
    try {
        decode_tiff_first_image(path, sink);
    } catch (...) {
        frame.data.clear();
        throw;
    }
    frame.dim1 = sink.height();
    frame.dim2 = sink.width();
    frame.path = std::move(path);
}

}  // namespace karvelum
