// Counting tables: every pixel whole, weight 1, in the bin of its value.
#pragma once

#include <cstdint>
#include <span>

#include "geometry_state.hpp"
#include "lut/azimuthal.hpp"
#include "lut/table.hpp"

namespace karvelum::lut {

// Bins span the values (NaN ignored); values at the top edge land in the
// last bin. `values` holds one value per pixel of a dim1 x dim2 image.
CsrLut build_counting_lut_1d(std::span<const double> values, std::uint64_t dim1, std::uint64_t dim2,
                             std::uint64_t n_bins);

// Bins span [lo, hi); pixels whose value lies outside (or is NaN) are left out.
CsrLut build_counting_lut_1d_ranged(std::span<const double> values, std::uint64_t dim1, std::uint64_t dim2,
                                    double lo, double hi, std::uint64_t n_bins);

// Radial bins span the per-pixel radial values; azimuthal bins as in
// lut/azimuthal.hpp.
CsrLut2d build_counting_lut_2d(const GeometrySnapshot& snap, std::uint64_t n_radial, std::uint64_t n_azimuthal,
                               const AzimuthalRange& range);

}  // namespace karvelum::lut
