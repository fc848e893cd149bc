// TIFF images decoded into frames of f64 samples.
//
// Frames hold the file's rows in reverse order (the file's last row is frame
// row 0), the row order in which the detector geometry numbers its pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "buffer.hpp"
#include "errors.hpp"
#include "memory.hpp"
#include "sample_type.hpp"

namespace karvelum {

struct ImageFrame {
    std::string path;
    Buffer<double> data;  // row-major, dim1 * dim2 samples
    // Or, for a frame loaded in the file's form, the file's samples as it
    // stores them (FileSamples), and `data` empty.
    Buffer<std::byte> file_data;
    SampleType file_type = SampleType::F64;
    bool in_file_form = false;
    std::uint64_t dim1 = 0, dim2 = 0;

    FileSamples file_samples() const {
        return in_file_form ? FileSamples{file_type, file_data.data()} : FileSamples{};
    }
};

// Loads the first image of a TIFF file into `frame`, reusing its storage.
// Throws LoadError with the operating system's or the decoder's text, and
// std::bad_alloc when the decode would need more memory than is available;
// on failure the frame is not valid for integration.
void load_tiff_frame(ImageFrame& frame, std::string path);

// What the caller of a decode allocates next, for an image of `rows` x
// `cols` samples handed on in `type`.
using ThenNeeds = std::function<WorkingSet(std::uint64_t rows, std::uint64_t cols, SampleType type)>;

// As above; `then_needs` is admitted together with the decode's own working
// set before anything is allocated, and the admission is moved to `hold`
// (when given) for the caller to keep while it allocates the rest.
// With `file_form`, the frame keeps the file's own samples (no widening, no
// row reversal): strips are decoded straight into the frame.
void load_tiff_frame(ImageFrame& frame, std::string path, const ThenNeeds& then_needs, bool file_form = false,
                     MemoryClaim* hold = nullptr);

// Storage a reused frame keeps between loads: a 2048 x 2048 image, so that
// repeated loads of common detector sizes allocate nothing, while a huge
// image does not stay resident for the life of the thread that loaded it.
inline constexpr std::size_t kKeptFrameBytes = std::size_t(32) << 20;

// Releases the frame's storage (and empties the frame) when it holds more
// than kKeptFrameBytes; a smaller frame is left as it is.
void trim_frame(ImageFrame& frame);

// The calling thread's reusable frame, held for one call that loads a file
// into it and integrates it; trimmed when the holder goes, errors included.
class ThreadFrame {
public:
    ThreadFrame();
    ~ThreadFrame();
    ThreadFrame(const ThreadFrame&) = delete;
    ThreadFrame& operator=(const ThreadFrame&) = delete;

    ImageFrame& get() { return frame_; }

private:
    ImageFrame& frame_;
};

// One decoded strip or tile: `samples` holds `rows` rows of `row_stride`
// values starting at file row `row0`; the first sample of column col0 + c of
// row r is at samples[r * row_stride + c * pixel_stride].
struct TiffBlock {
    SampleType type;
    const std::byte* samples;
    std::size_t pixel_stride, row_stride;
    std::uint64_t row0, rows, col0, cols;
};

// Receives the decoded first sample of every pixel, block by block. Blocks
// cover disjoint regions and may arrive concurrently from several threads,
// in any order.
class TiffSink {
public:
    virtual ~TiffSink() = default;
    // Bytes that begin() and the blocks will allocate for an image of this
    // size whose samples the file stores in `stored`, counted into the
    // decode's working set before anything is allocated.
    virtual std::uint64_t new_bytes(std::uint64_t width, std::uint64_t height, SampleType stored) const = 0;
    // The type in which the samples are handed on.
    virtual SampleType handed_on(SampleType /*stored*/) const { return SampleType::F64; }
    // Called once, before any block, with the image size.
    virtual void begin(std::uint64_t width, std::uint64_t height) = 0;
    virtual void block(const TiffBlock& block) = 0;
    // Where a strip of `rows` file rows from `row0` may be decoded in place,
    // when the sink keeps samples of `type` as the file stores them; or
    // nullptr (the strip then arrives through block()).
    virtual std::byte* strip_destination(SampleType, std::uint64_t /*row0*/, std::uint64_t /*rows*/) {
        return nullptr;
    }
};

// Decodes the first image of a TIFF file into `sink`. Refuses images whose
// decoded samples would exceed 256 MiB, or whose strips or tiles would need
// more than 128 MiB, and compressions other than none, LZW, Deflate, JPEG
// and PackBits, before allocating (LoadError); and a decode whose working
// set, with `then_needs`', exceeds the memory available (std::bad_alloc).
// The admission goes to `hold` when given.
void decode_tiff_first_image(const std::string& path, TiffSink& sink, const ThenNeeds& then_needs = nullptr,
                             MemoryClaim* hold = nullptr);

// Writes a block, each sample through `convert`, into a height x width
// row-major array with the rows reversed (file row r lands in row
// height - 1 - r).
template <class Out, class Convert>
void write_rows_reversed(const TiffBlock& b, Out* data, std::uint64_t width, std::uint64_t height, Convert convert) {
    with_sample_type(b.type, [&](auto zero) {
        using T = decltype(zero);
        const T* in = reinterpret_cast<const T*>(b.samples);
        for (std::uint64_t r = 0; r < b.rows; ++r) {
            Out* out = data + (height - 1 - (b.row0 + r)) * width + b.col0;
            const T* row = in + r * b.row_stride;
            if (b.pixel_stride == 1) {
                for (std::uint64_t c = 0; c < b.cols; ++c) out[c] = convert(row[c]);
            } else {
                for (std::uint64_t c = 0; c < b.cols; ++c) out[c] = convert(row[c * b.pixel_stride]);
            }
        }
    });
}

}  // namespace karvelum
