// Pixel masks: one byte per pixel, non-zero = excluded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace karvelum {

struct PixelMask {
    std::uint64_t dim1 = 0, dim2 = 0;
    std::vector<std::uint8_t> values;  // row-major, in the row order of the frames
};

// Reads the first image of a TIFF file as a mask: every non-zero sample (for
// floats: every value that does not compare equal to 0, NaN included) masks
// its pixel; rows are reversed like those of frames. Throws LoadError.
PixelMask load_tiff_mask(const std::string& path);

}  // namespace karvelum
