// Supersampled tables: n_ss x n_ss sub-pixel points per pixel, each counted
// in the bin of its own radial value; a pixel's weight in a bin is its share
// of the bin's points.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "geometry_state.hpp"
#include "lut/azimuthal.hpp"
#include "lut/table.hpp"
#include "poni.hpp"
#include "unit.hpp"

namespace karvelum::lut {

// Bytes per sub-sample step along the detector's edges (n x (dim1 + dim2)
// of them) that the border points take at their peak: two points a step,
// each its d1 and d2 and the two values worked out from them (2 theta and
// its conversion, or 2 theta and chi).
inline constexpr std::uint64_t kEdgeBytes = 8 * sizeof(double);

// Border sample points 0.5 / n pixel inside the detector edges, as (d1, d2).
std::pair<std::vector<double>, std::vector<double>> detector_edge_points(std::uint64_t dim1, std::uint64_t dim2,
                                                                         std::uint64_t n);

struct RadialSpan {
    double lo, hi, step;
};

// Span of the per-pixel radial values and of the border sub-samples, widened
// at the top by three machine epsilons.
RadialSpan compute_radial_range(const PoniGeometry& geometry, const GeometrySnapshot& snap, std::uint64_t n_bins,
                                std::uint64_t n_ss, RadialUnit unit);

// Without a range every sub-sample counts (clamped into the edge bins); with
// one, sub-samples outside [lo, hi) are left out.
CsrLut build_supersampled_lut_1d(const PoniGeometry& geometry, const GeometrySnapshot& snap, RadialUnit unit,
                                 const RadialRange& range, std::uint64_t n_bins, std::uint64_t n_ss);

// The 2D table: radial bins as in 1D without a range; without an azimuthal
// range the azimuthal bins span the azimuths of the pixels and of the border
// sub-samples.
CsrLut2d build_supersampled_lut_2d(const PoniGeometry& geometry, const GeometrySnapshot& snap, RadialUnit unit,
                                   std::uint64_t n_radial, std::uint64_t n_azimuthal, std::uint64_t n_ss,
                                   const AzimuthalRange& range);

}  // namespace karvelum::lut
