#include "lut/supersampled.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "errors.hpp"
#include "geometry.hpp"
#include "lut/csr_builder.hpp"
#include "math/numeric.hpp"
#include "pool.hpp"

namespace karvelum::lut {

std::pair<std::vector<double>, std::vector<double>> detector_edge_points(std::uint64_t dim1, std::uint64_t dim2,
                                                                         std::uint64_t n) {
    std::vector<double> d1, d2;
    if (n == 0) return {d1, d2};
    const double h = 0.5 / static_cast<double>(n), s = 1.0 / static_cast<double>(n);
    const std::uint64_t along1 = checked_mul(n, dim1), along2 = checked_mul(n, dim2);
    require_memory(checked_mul(checked_add(along1, along2), 4 * sizeof(double)));
    for (std::uint64_t i = 0; i < along1; ++i) d1.push_back(h + s * static_cast<double>(i)), d2.push_back(h);
    for (std::uint64_t i = 0; i < along1; ++i) {
        d1.push_back(h + s * static_cast<double>(i));
        d2.push_back(static_cast<double>(dim2) - h);
    }
    if (along2 < 2) return {d1, d2};
    for (std::uint64_t j = 1; j < along2; ++j) d1.push_back(h), d2.push_back(h + s * static_cast<double>(j));
    for (std::uint64_t j = 1; j < along2; ++j) {
        d1.push_back(static_cast<double>(dim1) - h);
        d2.push_back(h + s * static_cast<double>(j));
    }
    return {d1, d2};
}

RadialSpan compute_radial_range(const PoniGeometry& geometry, const GeometrySnapshot& snap, std::uint64_t n_bins,
                                std::uint64_t n_ss, RadialUnit unit) {
    auto [d1, d2] = detector_edge_points(snap.dim1, snap.dim2, n_ss);
    std::vector<double> edge = convert_radial(unit, geometry::two_theta_for_points(geometry, d1, d2),
                                              geometry.wavelength);
    math::Extent pixels = snap.radial_extent;
    math::Extent edges = math::nan_ignoring_extent(edge);
    double lo = std::fmin(pixels.lo, edges.lo);
    double hi = std::fmax(pixels.hi, edges.hi) + 6.661338147750939e-16;
    return {lo, hi, (hi - lo) / static_cast<double>(n_bins)};
}

CsrLut build_supersampled_lut_1d(const PoniGeometry& g, const GeometrySnapshot& snap, RadialUnit unit,
                                 const RadialRange& range, std::uint64_t n_bins, std::uint64_t n_ss) {
    if (n_bins == 0) throw Panic("supersampled table needs at least one bin");
    if (n_ss == 0) throw ValueError("n_ss must be positive");
    const std::uint64_t dim1 = snap.dim1, dim2 = snap.dim2;
    check_table_size(dim1, dim2, n_bins);
    RadialConverter convert(unit, g.wavelength);
    double start, step;
    std::optional<std::pair<double, double>> keep;
    if (range) {
        start = range->first;
        step = math::bin_width(range->first, range->second, n_bins);
        keep = range;
    } else {
        RadialSpan span = compute_radial_range(g, snap, n_bins, n_ss, unit);
        start = span.lo;
        step = span.step;
    }
    CsrLut table = build_supersampled_table(g, dim1, dim2, n_ss, n_bins, [&](const geometry::LabPoint& t) {
        const double x = convert(geometry::two_theta_of(t));
        if (keep && !(x >= keep->first && x < keep->second)) return std::optional<std::uint64_t>();
        return std::optional<std::uint64_t>(math::clamped_bin(x, start, step, n_bins));
    });
    set_binning(table, start, step, dim1, dim2);
    return table;
}

}  // namespace karvelum::lut
