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

// As above; `then_needs(rows, cols)` gives the bytes the caller will
// allocate next for an image of that shape, checked against the memory
// available together with the decode's own before anything is allocated.
// With `file_form`, the frame keeps the file's own samples (no widening, no
// row reversal): strips are decoded straight into the frame.
void load_tiff_frame(ImageFrame& frame, std::string path,
                     const std::function<std::uint64_t(std::uint64_t, std::uint64_t)>& then_needs,
                     bool file_form = false);

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
    // Bytes that begin() will allocate for an image of this size, counted
    // into the decode's memory budget before anything is allocated.
    virtual std::uint64_t new_bytes(std::uint64_t width, std::uint64_t height) const = 0;
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
// set exceeds the memory available (std::bad_alloc).
void decode_tiff_first_image(const std::string& path, TiffSink& sink);

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
