#include "mask.hpp"

#include "errors.hpp"
#include "frame.hpp"

namespace karvelum {

namespace {

class MaskSink : public TiffSink {
public:
    explicit MaskSink(PixelMask& mask) : mask_(mask) {}
    void begin(std::uint64_t width, std::uint64_t height) override {
        mask_.dim1 = height;
        mask_.dim2 = width;
        mask_.values.assign(checked_mul(width, height), 0);
    }
    void block(SampleType type, const std::byte* samples, std::size_t pixel_stride, std::size_t row_stride,
               std::uint64_t row0, std::uint64_t rows, std::uint64_t col0, std::uint64_t cols) override {
        with_sample_type(type, [&](auto zero) {
            using T = decltype(zero);
            const T* in = reinterpret_cast<const T*>(samples);
            for (std::uint64_t r = 0; r < rows; ++r) {
                std::uint8_t* out = mask_.values.data() + (mask_.dim1 - 1 - (row0 + r)) * mask_.dim2 + col0;
                const T* row = in + r * row_stride;
                for (std::uint64_t c = 0; c < cols; ++c) out[c] = row[c * pixel_stride] == T(0) ? 0 : 1;
            }
        });
    }

private:
    PixelMask& mask_;
};

}  // namespace

PixelMask load_tiff_mask(const std::string& path) {
    PixelMask mask;
    MaskSink sink(mask);
    decode_tiff_first_image(path, sink);
    return mask;
}

}  // namespace karvelum
