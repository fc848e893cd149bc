#include "frame.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <libdeflate.h>
#include <tiffio.h>

#include "errors.hpp"
#include "file.hpp"
#include "memory.hpp"
#include "pool.hpp"

namespace karvelum {

namespace {

constexpr std::uint64_t kMaxDecodedBytes = std::uint64_t(256) << 20;
constexpr std::uint64_t kMaxBlockBytes = std::uint64_t(128) << 20;
constexpr std::size_t kReadSlack = 8;
// Deflate gives at most this many bytes for each byte of its stream: a
// 258-byte match coded in two bits.
constexpr std::uint64_t kMaxDeflateBytesPerByte = 1032;

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

// libtiff's input for one handle: positioned reads (pread) of the shared
// descriptor at the handle's own position, so handles on several threads
// never move each other's place in the file. Errors are reported through
// errno, as the system's own calls do.
struct Stream {
    int fd;
    std::uint64_t position = 0;

    static Stream& of(thandle_t handle) { return *static_cast<Stream*>(handle); }

    static tmsize_t read(thandle_t handle, void* buffer, tmsize_t size) {
        Stream& s = of(handle);
        if (size < 0) {
            errno = EINVAL;
            return -1;
        }
        const std::int64_t done = file::read_at(s.fd, buffer, static_cast<std::uint64_t>(size), s.position);
        if (done < 0) return -1;
        s.position += static_cast<std::uint64_t>(done);
        return static_cast<tmsize_t>(done);
    }

    static tmsize_t write(thandle_t, void*, tmsize_t) {
        errno = EBADF;  // opened for reading
        return -1;
    }

    static toff_t seek(thandle_t handle, toff_t offset, int whence) {
        Stream& s = of(handle);
        const auto max = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
        std::uint64_t base = 0;
        if (whence == SEEK_CUR) {
            base = s.position;
        } else if (whence == SEEK_END) {
            base = size(handle);
        } else if (whence != SEEK_SET) {
            return fail_seek();
        }
        // An offset from the current position or the end is two's complement,
        // as lseek takes it; the result must be a position lseek could give.
        const std::uint64_t to = base + offset;  // wraps as the signed sum would
        const bool backwards = whence != SEEK_SET && static_cast<std::int64_t>(offset) < 0;
        if (backwards ? to > base : (to < base || to > max)) return fail_seek();
        s.position = to;
        return to;
    }

    static toff_t fail_seek() {
        errno = EINVAL;
        return static_cast<toff_t>(-1);
    }

    // The descriptor belongs to the RegularFile the handle was opened on.
    static int close(thandle_t) { return 0; }

    // The size as it is now (libtiff weighs the sizes that blocks claim against it).
    static toff_t size(thandle_t handle) {
        struct stat info;
        if (::fstat(of(handle).fd, &info) != 0) return 0;
        return static_cast<toff_t>(info.st_size);
    }

    // Never a memory map: a file cut short is a read error, not a fault.
    static int map(thandle_t, void**, toff_t*) { return 0; }
    static void unmap(thandle_t, void*, toff_t) {}
};

// A TIFF handle on an open file with its captured messages; it serves one
// thread, and several may read one file at once.
class TiffHandle {
public:
    TiffHandle(const file::RegularFile& file, const std::string& path) : file_(file), stream_{file.fd()} {
        silence_global_handlers();
        std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> opts(TIFFOpenOptionsAlloc(), TIFFOpenOptionsFree);
        if (!opts) throw std::bad_alloc();
        TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), on_error, &messages_);
        TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), on_warning, nullptr);
        TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), static_cast<tmsize_t>(kMaxBlockBytes));
        // "m": read through the descriptor, never a memory map, so a
        // truncated file is a read error and not a fault. "c": strips are
        // decoded whole, not chopped into single-row reads.
        tif_ = TIFFClientOpenExt(path.c_str(), "rmc", &stream_, Stream::read, Stream::write, Stream::seek,
                                 Stream::close, Stream::size, Stream::map, Stream::unmap, opts.get());
        if (tif_ == nullptr) fail("not a readable TIFF file");
    }
    ~TiffHandle() {
        if (tif_ != nullptr) TIFFClose(tif_);  // leaves the descriptor open
    }
    TiffHandle(const TiffHandle&) = delete;
    TiffHandle& operator=(const TiffHandle&) = delete;

    TIFF* get() const { return tif_; }
    int fd() const { return file_.fd(); }
    std::uint64_t file_size() const { return file_.size(); }
    [[noreturn]] void fail(const std::string& fallback) const {
        throw LoadError(messages_.error.empty() ? fallback : messages_.error);
    }

private:
    const file::RegularFile& file_;
    Messages messages_;
    Stream stream_;
    TIFF* tif_ = nullptr;
};

struct Layout {
    std::uint32_t width = 0, height = 0;
    std::uint16_t samples_per_pixel = 1, bits = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
    std::uint16_t compression = COMPRESSION_NONE;
    bool tiled = false;
    std::uint32_t block_width = 0, block_height = 0;  // tile size, or width x rows per strip (at most the height)
    std::uint32_t blocks = 0;                         // blocks of the first sample plane
    std::uint32_t blocks_across = 1;
    std::size_t pixel_stride = 1;  // samples per pixel within a block's rows
    SampleType type = SampleType::U8;
    std::size_t sample_bytes = 1;  // size of the decoded type
    bool packed = false;           // samples narrower than their type, bit-packed
    bool swapped_24 = false;       // 24-bit samples that libtiff byte-swapped
    std::uint64_t row_bytes = 0;    // one row of a block as stored, padded to a byte
    std::uint64_t block_bytes = 0;  // one block as stored, decompressed
    std::uint64_t strip_room_bytes = 0;  // the rows a block may hold, as stored: more than it has for an only strip
    std::uint64_t max_raw_bytes = 0;  // the largest compressed block, bounded by the file size
    bool deflate = false;               // Deflate blocks, inflated and checked by DeflateBlocks
    bool deflate_reversed = false;      // ... whose bytes are stored in the other bit order
    bool deflate_apart = false;         // ... checked in a buffer of their own before libtiff decodes them
};

// Integer samples are decoded into the narrowest type of 8, 16, 32 or 64
// bits that holds them; narrower ones are read from their bit-packed form.
// Signed samples of any width are two's complement of that width and are
// sign-extended from their top bit, so a 12-bit 0xFFF is -1.
SampleType sample_type(std::uint16_t format, std::uint16_t bits) {
    const bool unsigned_int = format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID;
    if ((unsigned_int || format == SAMPLEFORMAT_INT) && bits >= 1 && bits <= 64) {
        const int width = bits <= 8 ? 0 : bits <= 16 ? 1 : bits <= 32 ? 2 : 3;
        static constexpr SampleType kUnsigned[] = {SampleType::U8, SampleType::U16, SampleType::U32, SampleType::U64};
        static constexpr SampleType kSigned[] = {SampleType::I8, SampleType::I16, SampleType::I32, SampleType::I64};
        return unsigned_int ? kUnsigned[width] : kSigned[width];
    }
    if (format == SAMPLEFORMAT_IEEEFP) {
        if (bits == 32) return SampleType::F32;
        if (bits == 64) return SampleType::F64;
    }
    const char* kind = format == SAMPLEFORMAT_IEEEFP ? "floating-point"
                       : format == SAMPLEFORMAT_INT  ? "signed integer"
                       : unsigned_int                ? "unsigned integer"
                                                     : "unknown-format";
    throw LoadError("unsupported sample format: " + std::to_string(bits) + "-bit " + kind + " samples");
}

std::size_t sample_size(SampleType type) {
    std::size_t size = 0;
    with_sample_type(type, [&](auto zero) { size = sizeof zero; });
    return size;
}

bool supported_compression(std::uint16_t compression) {
    switch (compression) {
        case COMPRESSION_NONE:
        case COMPRESSION_LZW:
        case COMPRESSION_JPEG:
        case COMPRESSION_ADOBE_DEFLATE:
        case COMPRESSION_DEFLATE:
        case COMPRESSION_PACKBITS:
            return true;
    }
    return false;
}

// The first value of the Predictor tag of the current directory, read from
// the file: libtiff drops the tag when the compression applies no predictor.
// A value that no predictor is stored as reads as 0.
std::uint64_t stored_predictor(const TiffHandle& h) {
    TIFF* tif = h.get();
    const int fd = h.fd();
    const bool big = TIFFIsBigTIFF(tif) != 0, big_endian = TIFFIsBigEndian(tif) != 0;
    auto read = [&](std::uint64_t pos, std::size_t n, unsigned char* out) {
        return file::read_at(fd, out, n, pos) == static_cast<std::int64_t>(n);
    };
    auto value = [&](const unsigned char* p, std::size_t n) {  // an unsigned integer of n bytes
        std::uint64_t v = 0;
        for (std::size_t k = 0; k < n; ++k) v |= std::uint64_t(p[k]) << (8 * (big_endian ? n - 1 - k : k));
        return v;
    };
    const std::size_t count_bytes = big ? 8 : 4, entry_bytes = 4 + 2 * count_bytes;
    const std::uint64_t at = TIFFCurrentDirOffset(tif);
    unsigned char head[8];
    if (!read(at, big ? 8 : 2, head)) return PREDICTOR_NONE;  // libtiff has read this directory already
    const std::uint64_t entries = std::min<std::uint64_t>(value(head, big ? 8 : 2), 1 << 16);
    std::vector<unsigned char> table(entries * entry_bytes);
    if (!read(at + (big ? 8 : 2), table.size(), table.data())) return PREDICTOR_NONE;
    for (std::uint64_t k = 0; k < entries; ++k) {
        const unsigned char* e = table.data() + k * entry_bytes;
        if (value(e, 2) != TIFFTAG_PREDICTOR) continue;
        const std::uint64_t type = value(e + 2, 2), count = value(e + 4, count_bytes);
        const std::size_t size = type == TIFF_BYTE ? 1 : type == TIFF_SHORT ? 2 : type == TIFF_LONG ? 4 : 0;
        // Anything but a plain number stored in the entry itself.
        if (size == 0 || count == 0 || count > count_bytes / size) return 0;
        return value(e + 4 + count_bytes, size);
    }
    return PREDICTOR_NONE;
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
    // Refused before anything is decoded: the other codecs are not needed
    // for detector images and are not exposed to hostile files.
    if (!supported_compression(l.compression) || !TIFFIsCODECConfigured(l.compression)) {
        throw LoadError("unsupported compression scheme " + std::to_string(l.compression));
    }
    // libtiff ignores a predictor for codecs that have none, which would
    // silently give the differences instead of the samples.
    const bool with_predictor = l.compression == COMPRESSION_LZW || l.compression == COMPRESSION_ADOBE_DEFLATE ||
                                l.compression == COMPRESSION_DEFLATE;
    if (const std::uint64_t p = with_predictor ? PREDICTOR_NONE : stored_predictor(h); p != PREDICTOR_NONE) {
        throw LoadError("unsupported predictor " + std::to_string(p) + " with compression scheme " +
                        std::to_string(l.compression));
    }
    l.deflate = l.compression == COMPRESSION_ADOBE_DEFLATE || l.compression == COMPRESSION_DEFLATE;
    if (l.deflate) {
        std::uint16_t predictor = PREDICTOR_NONE, fill_order = FILLORDER_MSB2LSB;
        TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &predictor);
        TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fill_order);
        l.deflate_reversed = fill_order != FILLORDER_MSB2LSB;
        // libtiff's post-processing: a predictor, bits or bytes turned around.
        l.deflate_apart = predictor != PREDICTOR_NONE || l.deflate_reversed || (l.bits > 8 && TIFFIsByteSwapped(tif));
    }
    l.type = sample_type(l.format, l.bits);
    l.sample_bytes = sample_size(l.type);
    l.packed = l.bits != 8 * l.sample_bytes;
    // libtiff byte-swaps 24-bit samples of a file in the other byte order;
    // they are undone so that every packed width is read most significant
    // bit first, whatever the byte order.
    l.swapped_24 = l.bits == 24 && TIFFIsByteSwapped(tif);
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
    l.pixel_stride = static_cast<std::size_t>(plane_samples);
    l.tiled = TIFFIsTiled(tif) != 0;
    std::uint32_t rows_per_strip = 0;
    if (l.tiled) {
        if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &l.block_width) ||
            !TIFFGetField(tif, TIFFTAG_TILELENGTH, &l.block_height) || l.block_width == 0 || l.block_height == 0) {
            h.fail("tile size missing");
        }
        l.blocks_across = static_cast<std::uint32_t>((std::uint64_t(l.width) + l.block_width - 1) / l.block_width);
        const std::uint64_t down = (static_cast<std::uint64_t>(l.height) + l.block_height - 1) / l.block_height;
        const std::uint64_t blocks = checked_mul(l.blocks_across, down);
        if (l.width > 0 && l.height > 0 && TIFFNumberOfTiles(tif) < blocks) h.fail("too few tiles");
        l.blocks = static_cast<std::uint32_t>(blocks);
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
        l.block_width = l.width;
        l.block_height = std::max<std::uint32_t>(1, std::min(rows_per_strip, l.height));
        l.blocks = l.height == 0 ? 0 : static_cast<std::uint32_t>((std::uint64_t(l.height) + l.block_height - 1) / l.block_height);
        if (l.width > 0 && l.height > 0 && TIFFNumberOfStrips(tif) < l.blocks) h.fail("too few strips");
    }
    if (l.blocks == 0) return l;
    // Rows of packed samples are padded to a whole byte.
    l.row_bytes = checked_add(checked_mul(checked_mul(l.block_width, plane_samples), l.bits), 7) / 8;
    l.block_bytes = checked_mul(l.row_bytes, l.block_height);
    if (l.block_bytes > kMaxBlockBytes) {
        throw LoadError("a strip or tile of " + std::to_string(l.block_bytes) + " bytes exceeds the limit of " +
                        std::to_string(kMaxBlockBytes));
    }
    // A strip may hold RowsPerStrip rows, and the last one can store them
    // all: the only strip of an image shorter than that has more than its
    // block's rows of room, up to the limit of a block.
    l.strip_room_bytes = l.block_bytes;
    if (!l.tiled && l.row_bytes > 0) {
        l.strip_room_bytes = std::clamp<std::uint64_t>(rows_per_strip, l.block_height, kMaxBlockBytes / l.row_bytes) *
                             l.row_bytes;
    }
    // What libtiff will deliver must be what the rows above describe (it is
    // not, for one, with subsampled YCbCr data that is not JPEG).
    const std::uint64_t delivered = l.tiled ? TIFFTileSize64(tif) : TIFFVStripSize64(tif, l.block_height);
    if (delivered != l.block_bytes) {
        throw LoadError("unsupported layout: a " + std::string(l.tiled ? "tile" : "strip") + " decodes to " +
                        std::to_string(delivered) + " bytes instead of " + std::to_string(l.block_bytes));
    }
    // Every block must be stored somewhere (offset 0 is the header), and
    // compressed blocks are read whole into an intermediate buffer first.
    // Planes stored apart list their blocks plane after plane: a list too
    // short for all of them (libtiff fills it up with empty entries) can
    // still cover the first plane, with other planes' data, so the entries
    // of every plane must be there.
    const std::uint64_t listed = l.planar == PLANARCONFIG_SEPARATE ? checked_mul(l.blocks, l.samples_per_pixel)
                                                                    : std::uint64_t(l.blocks);
    for (std::uint64_t b = 0; b < listed; ++b) {
        const char* kind = l.tiled ? "tile " : "strip ";
        const auto strile = static_cast<std::uint32_t>(b);
        const std::uint64_t bytes = TIFFGetStrileByteCount(tif, strile);
        if (bytes == 0 || TIFFGetStrileOffset(tif, strile) == 0) {
            throw LoadError(kind + std::to_string(b) + " has no data in the file");
        }
        if (b >= l.blocks) continue;  // of a plane that is not read
        if (bytes > kMaxBlockBytes) {
            throw LoadError(kind + std::to_string(b) + " holds " + std::to_string(bytes) +
                            " bytes, more than the limit of " + std::to_string(kMaxBlockBytes));
        }
        l.max_raw_bytes = std::max(l.max_raw_bytes, bytes);
    }
    // libtiff reads a compressed block as far as the file goes.
    l.max_raw_bytes = std::min(l.max_raw_bytes, h.file_size());
    return l;
}

// Reads `bits` bits (1 to 63) from bit `pos` of `p`, most significant bit
// first. At least 8 bytes must be readable from the byte holding bit `pos`.
inline std::uint64_t read_bits(const unsigned char* p, std::uint64_t pos, unsigned bits) {
    if (bits > 57) {  // more than one 8-byte load can hold past the bit offset
        const std::uint64_t high = read_bits(p, pos, bits - 32);
        return high << 32 | read_bits(p, pos + (bits - 32), 32);
    }
    std::uint64_t word;
    std::memcpy(&word, p + (pos >> 3), sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return (word << (pos & 7)) >> (64 - bits);
}

// Unpacks the first sample of each of `cols` pixels of `rows` rows of
// packed samples into out (rows x cols values).
template <class T>
void unpack_first_samples(const unsigned char* in, const Layout& l, std::uint64_t rows, std::uint64_t cols, T* out) {
    const std::uint64_t pixel_bits = static_cast<std::uint64_t>(l.pixel_stride) * l.bits;
    const unsigned bits = l.bits, unused = 64 - bits;
    for (std::uint64_t r = 0; r < rows; ++r) {
        const unsigned char* row = in + r * l.row_bytes;
        T* dst = out + r * cols;
        for (std::uint64_t c = 0; c < cols; ++c) {
            const std::uint64_t v = read_bits(row, c * pixel_bits, bits);
            if constexpr (std::is_signed_v<T>) {
                dst[c] = static_cast<T>(static_cast<std::int64_t>(v << unused) >> unused);
            } else {
                dst[c] = static_cast<T>(v);
            }
        }
    }
}

// The buffers of one decoding thread.
std::uint64_t worker_bytes(const Layout& l) {
    const std::uint64_t unpacked = l.packed ? checked_mul(checked_mul(l.block_width, l.block_height), l.sample_bytes) : 0;
    const std::uint64_t checked = l.deflate_apart ? l.block_bytes : 0;
    return checked_add(checked_add(checked_add(checked_add(l.block_bytes, kReadSlack), unpacked), l.max_raw_bytes),
                       checked);
}

// Deflate blocks are read raw and inflated here, and must hold one complete
// stream that passes its checksum within the block's room. libtiff takes a
// stream that would inflate past the block for a whole one, unchecked and
// with the block's end possibly unwritten (TIFFReadEncodedTile returns the
// full size), so bytes that are not the file's -- the zeros a read racing a
// cut of the file can return, or a block not yet written -- would become
// samples. What the file stores plainly is used as inflated; a predictor, the
// other byte order or bit order is then applied by libtiff to the same bytes.
class DeflateBlocks {
public:
    DeflateBlocks(const TiffHandle& h, const Layout& l) : h_(h), l_(l) {}
    ~DeflateBlocks() {
        if (inflater_ != nullptr) libdeflate_free_decompressor(inflater_);
    }
    DeflateBlocks(const DeflateBlocks&) = delete;
    DeflateBlocks& operator=(const DeflateBlocks&) = delete;

    // Decodes block `b` into `out`, which has room for `room` bytes (at
    // least `size`, the bytes the block must give); returns `size`.
    tmsize_t decode(std::uint32_t b, std::byte* out, std::uint64_t room, tmsize_t size) {
        TIFF* tif = h_.get();
        const char* kind = l_.tiled ? "tile " : "strip ";
        const std::uint64_t stored = TIFFGetStrileByteCount(tif, b);
        // Never more than the file holds (the memory estimate counts no more).
        if (stored > h_.file_size()) {
            throw LoadError(kind + std::to_string(b) + " is truncated: it needs " + std::to_string(stored) +
                            " bytes, more than the file's " + std::to_string(h_.file_size()));
        }
        raw_.resize(static_cast<std::size_t>(stored));
        const tmsize_t read = l_.tiled ? TIFFReadRawTile(tif, b, raw_.data(), static_cast<tmsize_t>(stored))
                                       : TIFFReadRawStrip(tif, b, raw_.data(), static_cast<tmsize_t>(stored));
        if (read < 0) h_.fail("cannot read " + std::string(kind) + std::to_string(b));
        if (static_cast<std::uint64_t>(read) != stored) {
            throw LoadError(kind + std::to_string(b) + " is truncated: " + std::to_string(read) + " of " +
                            std::to_string(stored) + " bytes");
        }
        if (inflater_ == nullptr && (inflater_ = libdeflate_alloc_decompressor()) == nullptr) throw std::bad_alloc();
        if (!l_.deflate_apart) {
            check(b, out, room, size);
            return size;
        }
        // Checked into a buffer of its own, then decoded by libtiff from the
        // same bytes: a predictor works on whole rows of the block.
        if (checked_.empty()) checked_.resize(static_cast<std::size_t>(l_.block_bytes));
        auto* bytes = reinterpret_cast<std::uint8_t*>(raw_.data());
        if (l_.deflate_reversed) TIFFReverseBits(bytes, read);
        const std::size_t inflated = check(b, checked_.data(), l_.block_bytes, size);
        if (l_.deflate_reversed) TIFFReverseBits(bytes, read);  // back: libtiff turns them itself
        // libtiff inflates a strip of its own size with libdeflate into
        // exactly that size, and takes a stream that does not fit for a whole
        // one: the strip is left unwritten from where the stream went past
        // it (a stored block is not copied at all). A last strip stored with
        // more rows than it has is inflated by zlib, which stops at its end.
        int subcodec = -1;
        if (inflated > static_cast<std::uint64_t>(size)) {
            TIFFGetField(tif, TIFFTAG_DEFLATE_SUBCODEC, &subcodec);
            if (subcodec != DEFLATE_SUBCODEC_ZLIB &&
                TIFFSetField(tif, TIFFTAG_DEFLATE_SUBCODEC, DEFLATE_SUBCODEC_ZLIB) == 0) {
                h_.fail("cannot decode " + std::string(kind) + std::to_string(b));
            }
        }
        const int decoded = TIFFReadFromUserBuffer(tif, b, raw_.data(), read, out, size);
        // Back to libdeflate for the blocks that fit it.
        if (subcodec == DEFLATE_SUBCODEC_LIBDEFLATE) TIFFSetField(tif, TIFFTAG_DEFLATE_SUBCODEC, subcodec);
        if (decoded == 0) h_.fail("cannot decode " + std::string(kind) + std::to_string(b));
        return size;
    }

private:
    // The block's stream inflated into `out`: complete, with a matching
    // checksum, at least `size` bytes and at most `room` (the last strip may
    // hold the rows of a whole one). An only strip's room is cut to the
    // image's rows: its stream may go on to the rows the strip may hold, and
    // `out` gets the first `size` bytes. Returns the bytes it inflated to.
    std::size_t check(std::uint32_t b, std::byte* out, std::uint64_t room, tmsize_t size) {
        std::size_t inflated = 0;
        libdeflate_result result = libdeflate_zlib_decompress(inflater_, raw_.data(), raw_.size(), out,
                                                              static_cast<std::size_t>(room), &inflated);
        if (result == LIBDEFLATE_SUCCESS && inflated >= static_cast<std::uint64_t>(size)) return inflated;
        if (result == LIBDEFLATE_INSUFFICIENT_SPACE && room < l_.strip_room_bytes) {
            result = inflate_into_strip_room(out, room, size, inflated);
            if (result == LIBDEFLATE_SUCCESS) return inflated;  // past `room`, so at least `size`
        }
        const std::string block = (l_.tiled ? "tile " : "strip ") + std::to_string(b);
        if (result == LIBDEFLATE_SUCCESS) {
            throw LoadError(block + " is truncated: " + std::to_string(inflated) + " of " + std::to_string(size) +
                            " bytes");
        }
        throw LoadError(block + (result == LIBDEFLATE_INSUFFICIENT_SPACE
                                     ? " holds damaged Deflate data: it inflates past the block"
                                     : " holds damaged or incomplete Deflate data"));
    }

    // The stream inflated again, into a buffer of the rows the strip may
    // hold (no more than its stream can give), whose first `size` bytes go to
    // `out`; LIBDEFLATE_INSUFFICIENT_SPACE when that is no more than `room`.
    libdeflate_result inflate_into_strip_room(std::byte* out, std::uint64_t room, tmsize_t size,
                                              std::size_t& inflated) {
        const std::uint64_t bytes = std::min(l_.strip_room_bytes, checked_mul(raw_.size(), kMaxDeflateBytesPerByte));
        if (bytes <= room) return LIBDEFLATE_INSUFFICIENT_SPACE;
        require_memory(bytes);  // not in the decode's working set: taken only here
        padded_.resize(static_cast<std::size_t>(bytes));
        const libdeflate_result result = libdeflate_zlib_decompress(inflater_, raw_.data(), raw_.size(),
                                                                    padded_.data(), padded_.size(), &inflated);
        if (result == LIBDEFLATE_SUCCESS) std::memcpy(out, padded_.data(), static_cast<std::size_t>(size));
        return result;
    }

    const TiffHandle& h_;
    const Layout& l_;
    libdeflate_decompressor* inflater_ = nullptr;
    Buffer<std::byte> raw_, checked_, padded_;
};

// Decodes blocks [first, last) with one handle into one scratch buffer.
void decode_blocks(const TiffHandle& h, const Layout& l, std::uint32_t first, std::uint32_t last, TiffSink& sink) {
    TIFF* tif = h.get();
    // The slack past the block lets packed samples be read 8 bytes at a time.
    // Taken on first use: strips decoded in place need none.
    Buffer<std::byte> scratch;
    Buffer<std::byte> unpacked(l.packed ? static_cast<std::size_t>(l.block_width) * l.block_height * l.sample_bytes : 0);
    // Strips whose rows are exactly the sink's rows: one sample per pixel,
    // whole bytes; JPEG strips are cleared first and go the long way.
    const bool in_place = !l.tiled && !l.packed && l.pixel_stride == 1 && l.compression != COMPRESSION_JPEG &&
                          l.row_bytes == std::uint64_t(l.width) * l.sample_bytes;
    std::optional<DeflateBlocks> inflater;
    if (l.deflate) inflater.emplace(h, l);
    for (std::uint32_t b = first; b < last; ++b) {
        std::uint64_t row0, col0 = 0, rows, cols;
        tmsize_t expected, got;
        std::byte* destination = nullptr;
        if (in_place) {
            row0 = static_cast<std::uint64_t>(b) * l.block_height;
            rows = std::min<std::uint64_t>(l.block_height, l.height - row0);
            // A short last Deflate strip may inflate to a whole one's rows.
            if (!l.deflate || rows == l.block_height) destination = sink.strip_destination(l.type, row0, rows);
        }
        if (destination == nullptr && scratch.empty()) scratch.resize(l.block_bytes + kReadSlack);
        // libtiff accepts a JPEG stream narrower or shorter than its block
        // (with a warning) and leaves the rest of the buffer as it was: zeros.
        if (l.compression == COMPRESSION_JPEG) std::memset(scratch.data(), 0, l.block_bytes);
        if (l.tiled) {
            row0 = static_cast<std::uint64_t>(b / l.blocks_across) * l.block_height;
            col0 = static_cast<std::uint64_t>(b % l.blocks_across) * l.block_width;
            rows = std::min<std::uint64_t>(l.block_height, l.height - row0);
            cols = std::min<std::uint64_t>(l.block_width, l.width - col0);
            expected = static_cast<tmsize_t>(l.block_bytes);
            got = l.deflate ? inflater->decode(b, scratch.data(), l.block_bytes, expected)
                          : TIFFReadEncodedTile(tif, b, scratch.data(), expected);
        } else {
            row0 = static_cast<std::uint64_t>(b) * l.block_height;
            rows = std::min<std::uint64_t>(l.block_height, l.height - row0);
            cols = l.width;
            expected = static_cast<tmsize_t>(rows * l.row_bytes);
            std::byte* out = destination != nullptr ? destination : scratch.data();
            got = l.deflate ? inflater->decode(b, out, destination != nullptr ? expected : l.block_bytes, expected)
                          : TIFFReadEncodedStrip(tif, b, out, expected);
        }
        if (got < 0) h.fail("cannot decode " + std::string(l.tiled ? "tile " : "strip ") + std::to_string(b));
        if (got < expected) {
            throw LoadError(std::string(l.tiled ? "tile " : "strip ") + std::to_string(b) + " is truncated: " +
                            std::to_string(got) + " of " + std::to_string(expected) + " bytes");
        }
        if (destination != nullptr) continue;
        if (!l.packed) {
            sink.block(TiffBlock{l.type, scratch.data(), l.pixel_stride,
                                 static_cast<std::size_t>(l.row_bytes / l.sample_bytes), row0, rows, col0, cols});
            continue;
        }
        std::memset(scratch.data() + expected, 0, kReadSlack);  // read past the last sample, never used
        if (l.swapped_24) TIFFSwabArrayOfTriples(reinterpret_cast<std::uint8_t*>(scratch.data()), expected / 3);
        with_sample_type(l.type, [&](auto zero) {
            using T = decltype(zero);
            if constexpr (std::is_integral_v<T>) {
                unpack_first_samples(reinterpret_cast<const unsigned char*>(scratch.data()), l, rows, cols,
                                     reinterpret_cast<T*>(unpacked.data()));
            }
        });
        sink.block(TiffBlock{l.type, unpacked.data(), 1, static_cast<std::size_t>(cols), row0, rows, col0, cols});
    }
}

// Uncompressed strips read straight from the file into the sink's samples,
// in parallel pieces of rows, when the sink keeps the file's form and the
// file stores its samples plainly (whole bytes, one per pixel, the usual bit
// order) and completely; false (nothing done) otherwise, for libtiff to read.
bool read_plain_strips(const TiffHandle& h, const Layout& l, TiffSink& sink) {
    TIFF* tif = h.get();
    std::uint16_t fill_order = FILLORDER_MSB2LSB;
    TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fill_order);
    if (l.tiled || l.compression != COMPRESSION_NONE || l.packed || l.pixel_stride != 1 ||
        fill_order != FILLORDER_MSB2LSB || l.row_bytes != std::uint64_t(l.width) * l.sample_bytes) {
        return false;
    }
    // Taken here once: the handle serves one thread.
    std::vector<std::uint64_t> offsets(l.blocks);
    for (std::uint32_t b = 0; b < l.blocks; ++b) {
        const std::uint64_t rows = std::min<std::uint64_t>(l.block_height, l.height - std::uint64_t(b) * l.block_height);
        const std::uint64_t offset = TIFFGetStrileOffset(tif, b), bytes = rows * l.row_bytes;
        if (TIFFGetStrileByteCount(tif, b) < bytes || offset > h.file_size() || h.file_size() - offset < bytes) {
            return false;
        }
        offsets[b] = offset;
    }
    std::byte* out = sink.strip_destination(l.type, 0, l.height);
    if (out == nullptr) return false;
    const int fd = h.fd();
    const bool swapped = TIFFIsByteSwapped(tif) != 0;
    // Pieces of about 2 MiB: enough to share among the threads.
    const std::uint64_t piece_rows = std::max<std::uint64_t>(1, (std::uint64_t(2) << 20) / l.row_bytes);
    const std::uint64_t pieces = (std::uint64_t(l.height) + piece_rows - 1) / piece_rows;
    pool::parallel_for_index(pieces, [&](std::size_t i) {
        const std::uint64_t first = i * piece_rows, end = std::min<std::uint64_t>(l.height, first + piece_rows);
        for (std::uint64_t r = first; r < end;) {
            const std::uint32_t b = static_cast<std::uint32_t>(r / l.block_height);
            const std::uint64_t strip_end = std::min<std::uint64_t>(end, (std::uint64_t(b) + 1) * l.block_height);
            std::uint64_t at = offsets[b] + (r - std::uint64_t(b) * l.block_height) * l.row_bytes;
            std::byte* dst = out + r * l.row_bytes;
            const std::uint64_t want = (strip_end - r) * l.row_bytes;
            const std::int64_t got = file::read_at(fd, dst, want, at);
            if (got < 0) throw LoadError(file::os_error_text(errno));
            if (static_cast<std::uint64_t>(got) < want) throw LoadError("strip " + std::to_string(b) + " is truncated");
            r = strip_end;
        }
        if (!swapped) return;
        // Samples of the other byte order, turned around in place.
        std::byte* p = out + first * l.row_bytes;
        const std::uint64_t n = (end - first) * l.width;
        auto swap_all = [&](auto zero) {
            using U = decltype(zero);
            for (std::uint64_t k = 0; k < n; ++k) {
                U v;
                std::memcpy(&v, p + k * sizeof(U), sizeof(U));
                if constexpr (sizeof(U) == 2) v = static_cast<U>(__builtin_bswap16(v));
                if constexpr (sizeof(U) == 4) v = __builtin_bswap32(v);
                if constexpr (sizeof(U) == 8) v = __builtin_bswap64(v);
                std::memcpy(p + k * sizeof(U), &v, sizeof(U));
            }
        };
        if (l.sample_bytes == 2) swap_all(std::uint16_t{});
        if (l.sample_bytes == 4) swap_all(std::uint32_t{});
        if (l.sample_bytes == 8) swap_all(std::uint64_t{});
    }, 1);
    return true;
}

}  // namespace

void decode_tiff_first_image(const std::string& path, TiffSink& sink, const ThenNeeds& then_needs,
                             MemoryClaim* hold) {
    if (path.find('\0') != std::string::npos) throw LoadError("embedded null byte");
    // Opened once: every handle reads this one file, even when another is
    // renamed over its path meanwhile (as frames are published).
    const file::RegularFile file(path);
    if (!file.is_open()) throw LoadError(file.error());
    TiffHandle handle(file, path);
    const Layout layout = read_layout(handle);
    const std::size_t threads = pool::current_thread_count();
    // Blocks are read, decoded and converted in parallel, each worker with
    // its own handle (a libtiff handle serves one thread) on the one open
    // file: the path may name another file by now.
    const bool parallel = layout.blocks >= 4 && threads > 1 &&
                          layout.block_bytes * layout.blocks >= (std::uint64_t(1) << 20);
    const std::uint32_t workers =
        parallel ? static_cast<std::uint32_t>(std::min<std::size_t>(threads, layout.blocks)) : 1;
    // The whole working set, with what the caller allocates next, admitted
    // before the first byte of it is allocated: a decode that could only end
    // in the process being killed fails here instead.
    MemoryClaim claim;
    std::uint64_t decode_bytes = 0;
    if (layout.blocks > 0) {
        WorkingSet set = then_needs ? then_needs(layout.height, layout.width, sink.handed_on(layout.type))
                                    : WorkingSet{};
        decode_bytes = checked_add(sink.new_bytes(layout.width, layout.height, layout.type),
                                   checked_mul(workers, worker_bytes(layout)));
        set.own = checked_add(set.own, decode_bytes);
        claim = claim_available_memory(set);
    }
    // Decoded, the frame is in use and the blocks' scratch is gone.
    auto done = [&] {
        claim.taken_own(decode_bytes);
        if (hold != nullptr) *hold = std::move(claim);
    };
    sink.begin(layout.width, layout.height);
    if (layout.blocks == 0) return done();
    if (read_plain_strips(handle, layout, sink)) return done();
    if (!parallel) {
        decode_blocks(handle, layout, 0, layout.blocks, sink);
        return done();
    }
    std::vector<std::exception_ptr> errors(workers);
    pool::parallel_for_index(workers, [&](std::size_t w) {
        const std::uint32_t first = static_cast<std::uint32_t>(std::uint64_t(layout.blocks) * w / workers);
        const std::uint32_t last = static_cast<std::uint32_t>(std::uint64_t(layout.blocks) * (w + 1) / workers);
        try {
            if (w == 0) {
                decode_blocks(handle, layout, first, last, sink);
            } else {
                TiffHandle own(file, path);
                if (layout.compression == COMPRESSION_JPEG) read_layout(own);  // sets the colour mode
                decode_blocks(own, layout, first, last, sink);
            }
        } catch (...) {
            errors[w] = std::current_exception();
        }
    }, 1);
    for (const std::exception_ptr& e : errors) {
        if (e) std::rethrow_exception(e);
    }
    done();
}

namespace {

// Converts blocks to f64 and writes them to the flipped rows of a frame.
class FrameSink : public TiffSink {
public:
    explicit FrameSink(ImageFrame& frame) : frame_(frame) {}
    std::uint64_t new_bytes(std::uint64_t width, std::uint64_t height, SampleType) const override {
        const std::uint64_t n = checked_mul(width, height);
        return n <= frame_.data.capacity() ? 0 : checked_mul(n, sizeof(double));
    }
    void begin(std::uint64_t width, std::uint64_t height) override {
        width_ = width;
        height_ = height;
        const std::uint64_t n = checked_mul(width, height);
        // Storage too small is released before the new one is taken, so that
        // the two are never held at once.
        if (n > frame_.data.capacity()) Buffer<double>().swap(frame_.data);
        frame_.data.clear();
        frame_.data.resize(n);
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

// Keeps the file's samples as it stores them: its type, its row order.
class FileFormSink : public TiffSink {
public:
    explicit FileFormSink(ImageFrame& frame) : frame_(frame) {}
    std::uint64_t new_bytes(std::uint64_t width, std::uint64_t height, SampleType stored) const override {
        const std::uint64_t n = checked_mul(checked_mul(width, height), sample_size(stored));
        return n <= frame_.file_data.capacity() ? 0 : n;
    }
    SampleType handed_on(SampleType stored) const override { return stored; }
    void begin(std::uint64_t width, std::uint64_t height) override {
        width_ = width;
        height_ = height;
        bytes_ = 0;
    }
    void block(const TiffBlock& b) override {
        with_sample_type(b.type, [&](auto zero) {
            using T = decltype(zero);
            T* data = reinterpret_cast<T*>(samples(b.type));
            const T* in = reinterpret_cast<const T*>(b.samples);
            for (std::uint64_t r = 0; r < b.rows; ++r) {
                T* out = data + (b.row0 + r) * width_ + b.col0;
                const T* row = in + r * b.row_stride;
                for (std::uint64_t c = 0; c < b.cols; ++c) out[c] = row[c * b.pixel_stride];
            }
        });
    }
    std::byte* strip_destination(SampleType type, std::uint64_t row0, std::uint64_t) override {
        std::byte* data = samples(type);
        return data + row0 * width_ * bytes_;
    }

    std::uint64_t width() const { return width_; }
    std::uint64_t height() const { return height_; }

private:
    // The frame's storage for samples of `type`, sized on the first block
    // (every block of an image has the type).
    std::byte* samples(SampleType type) {
        std::call_once(sized_, [&] {
            std::size_t size = 0;
            with_sample_type(type, [&](auto zero) { size = sizeof zero; });
            const std::uint64_t n = checked_mul(checked_mul(width_, height_), size);
            // Storage too small is released before the new one is taken.
            if (n > frame_.file_data.capacity()) Buffer<std::byte>().swap(frame_.file_data);
            frame_.file_data.clear();
            frame_.file_data.resize(n);
            frame_.file_type = type;
            bytes_ = size;
        });
        return frame_.file_data.data();
    }

    ImageFrame& frame_;
    std::uint64_t width_ = 0, height_ = 0, bytes_ = 0;
    std::once_flag sized_;
};

}  // namespace

void load_tiff_frame(ImageFrame& frame, std::string path) { load_tiff_frame(frame, std::move(path), nullptr); }

void load_tiff_frame(ImageFrame& frame, std::string path, const ThenNeeds& then_needs, bool file_form,
                     MemoryClaim* hold) {
    frame.in_file_form = false;
    std::uint64_t height, width;
    try {
        if (file_form) {
            frame.data.clear();  // the storage stays for a later load
            FileFormSink sink(frame);
            decode_tiff_first_image(path, sink, then_needs, hold);
            height = sink.height();
            width = sink.width();
            // An image without blocks has no samples to keep: widened (to nothing).
            frame.in_file_form = frame.file_data.size() == height * width * sample_size(frame.file_type) &&
                                 height * width > 0;
            if (!frame.in_file_form) frame.data.assign(height * width, 0.0);
        } else {
            FrameSink sink(frame);
            decode_tiff_first_image(path, sink, then_needs, hold);
            height = sink.height();
            width = sink.width();
        }
    } catch (...) {
        frame.data.clear();
        frame.file_data.clear();
        frame.in_file_form = false;
        throw;
    }
    frame.dim1 = height;
    frame.dim2 = width;
    frame.path = std::move(path);
}

void trim_frame(ImageFrame& frame) {
    if (frame.data.capacity() * sizeof(double) <= kKeptFrameBytes && frame.file_data.capacity() <= kKeptFrameBytes) {
        return;
    }
    Buffer<double>().swap(frame.data);
    Buffer<std::byte>().swap(frame.file_data);
    frame.in_file_form = false;
    frame.dim1 = frame.dim2 = 0;
    frame.path.clear();
}

namespace {
ImageFrame& this_thread_frame() {
    thread_local ImageFrame frame;
    return frame;
}
}  // namespace

ThreadFrame::ThreadFrame() : frame_(this_thread_frame()) {}

ThreadFrame::~ThreadFrame() { trim_frame(frame_); }

}  // namespace karvelum
