// Pixel-to-bin tables in compressed sparse rows.
#pragma once

#include <cstdint>

#include "buffer.hpp"

namespace karvelum::lut {

// Compressed sparse rows: bin b owns entries offsets[b] .. offsets[b+1]-1,
// pixel indices ascending inside a bin. Tables remember the image shape they
// were built for and are applied only to images of that shape.
struct CsrLut {
    Buffer<std::uint64_t> offsets;        // bins + 1 entries, first 0
    Buffer<std::uint32_t> indices;        // flat row-major pixel index per entry
    Buffer<double> weights;               // empty: every weight is 1.0
    // Per bin: the factor that turns the bin's normalised weights back into
    // raw weights (empty: 1): overlap areas for pixel splitting, fractions of
    // a pixel for supersampling. Raw sums of several detectors add in these.
    Buffer<double> raw_scale;
    double start = 0.0;                   // lower edge of bin 0
    double step = 0.0;                    // bin width
    std::uint64_t dim1 = 0, dim2 = 0;     // image shape the table belongs to

    std::uint64_t bins() const { return offsets.empty() ? 0 : offsets.size() - 1; }
    std::uint64_t pixels() const { return dim1 * dim2; }
};

struct CsrLut2d {
    CsrLut table;  // bins = n_radial * n_azimuthal, flat bin = radial + n_radial * azimuthal
    std::uint64_t n_radial = 0, n_azimuthal = 0;
};

}  // namespace karvelum::lut
