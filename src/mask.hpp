// Pixel masks: one byte per pixel, non-zero = excluded.
#pragma once

#include <cstdint>
#include <vector>

namespace karvelum {

struct PixelMask {
    std::uint64_t dim1 = 0, dim2 = 0;
    std::vector<std::uint8_t> values;  // row-major, in the row order of the frames
};

}  // namespace karvelum
