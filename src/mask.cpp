#include "mask.hpp"

#include "errors.hpp"
#include "frame.hpp"

namespace karvelum {

namespace {

class MaskSink : public TiffSink {
public:
    explicit MaskSink(PixelMask& mask) : mask_(mask) {}
    std::uint64_t new_bytes(std::uint64_t width, std::uint64_t height, SampleType) const override {
        return checked_mul(width, height);
    }
    // Left unset: the blocks cover every pixel.
    void begin(std::uint64_t width, std::uint64_t height) override {
        mask_.dim1 = height;
        mask_.dim2 = width;
        mask_.values.resize(checked_mul(width, height));
    }
    // Float samples compare with 0, so -0.0 is 0 and NaN masks.
    void block(const TiffBlock& b) override {
        write_rows_reversed(b, mask_.values.data(), mask_.dim2, mask_.dim1,
                            [](auto x) -> std::uint8_t { return x == decltype(x)(0) ? 0 : 1; });
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
