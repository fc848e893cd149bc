// Pixel-splitting tables: each pixel's quadrilateral in (radial, chi) space
// is cut along the bin edges; the overlap areas are the raw weights.
#pragma once

#include <array>
#include <cstdint>

#include "geometry_state.hpp"
#include "lut/azimuthal.hpp"
#include "lut/table.hpp"
#include "poni.hpp"
#include "unit.hpp"

namespace karvelum::lut {

struct Vertex {
    double x, y;
};

// A clipped quadrilateral has at most 4 + 4 * 4 vertices per pass chain even
// when it is twisted; 64 leaves room for any four half-plane passes.
struct Polygon {
    std::array<Vertex, 64> v;
    int n = 0;
};

// Sutherland-Hodgman clipping to x0 <= x <= x1, y0 <= y <= y1 (boundaries
// inside), in the passes x >= x0, x <= x1, y >= y0, y <= y1.
void clip_polygon_to_rect(const Polygon& in, double x0, double x1, double y0, double y1, Polygon& out,
                          Polygon& scratch);

// Signed area by the shoelace formula, closing edge included.
double polygon_area(const Polygon& p);

// The 1D pixel-splitting table for the snapshot's image shape. Without a
// range the bins span the radial values of all pixel corners.
CsrLut build_pixel_split_lut_1d(const PoniGeometry& geometry, const GeometrySnapshot& snap, RadialUnit unit,
                                const RadialRange& range, std::uint64_t n_bins);

// The 2D table: radial bins span the corners' radial values; azimuthal bins
// as in lut/azimuthal.hpp, spanning the corners' azimuths without a range.
CsrLut2d build_pixel_split_lut_2d(const PoniGeometry& geometry, const GeometrySnapshot& snap, RadialUnit unit,
                                  std::uint64_t n_radial, std::uint64_t n_azimuthal, const AzimuthalRange& range);

// Radial values and chi of every pixel corner, (dim1 + 1) x (dim2 + 1).
struct CornerGeometry {
    Buffer<double> radial;
    Buffer<double> chi;
};
CornerGeometry corner_geometry(const PoniGeometry& geometry, std::uint64_t dim1, std::uint64_t dim2,
                               RadialUnit unit);

// The pixel's quadrilateral with corner chi unwrapped against its centre chi.
Polygon pixel_quadrilateral(const CornerGeometry& corners, std::uint64_t dim2, std::uint64_t pixel,
                            double pixel_chi);

}  // namespace karvelum::lut
