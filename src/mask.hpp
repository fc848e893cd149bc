// Pixel masks: one byte per pixel, non-zero = excluded.
#pragma once

#include <cstdint>
#include <string>

#include "buffer.hpp"

namespace karvelum {

struct PixelMask {
    std::uint64_t dim1 = 0, dim2 = 0;
    Buffer<std::uint8_t> values;  // row-major, in the row order of the frames
};

// Reads the first image of a TIFF file as a mask: every non-zero sample (for
// floats: every value that does not compare equal to 0, NaN included) masks
// its pixel; rows are reversed like those of frames. Throws LoadError, and
// std::bad_alloc when the decode would need more memory than is available.
PixelMask load_tiff_mask(const std::string& path);

}  // namespace karvelum
