#include "lut/supersampled.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "errors.hpp"
#include "geometry.hpp"
#include "lut/csr_builder.hpp"
#include "math/numeric.hpp"
#include "memory.hpp"
#include "pool.hpp"

namespace karvelum::lut {

namespace {

// Builds a supersampled table: `bin_of` maps the laboratory coordinates of
// one sub-sample to its bin, or nullopt to leave it out. Sub-sample (a, k) of
// row `row` sits at d1 = row + (a + 0.5) / n_ss, d2 = (k + 0.5) / n_ss.
template <class BinOf>
CsrLut build(const PoniGeometry& g, std::uint64_t dim1, std::uint64_t dim2, std::uint64_t n_ss, std::uint64_t n_bins,
             double start, double step, BinOf&& bin_of) {
    const std::uint64_t per_pixel = checked_mul(n_ss, n_ss);
    // One pixel's sub-sample bins per worker.
    require_memory(checked_mul(checked_mul(per_pixel, sizeof(std::uint32_t)), pool::current_thread_count()));
    const geometry::Rotation rot(g);
    const double inv = static_cast<double>(n_ss);
    // Sums of whole counts are exact, so normalising makes count / points in
    // the bin; n_ss^2 points make one pixel.
    const TableLayout layout{.dim1 = dim1, .dim2 = dim2, .n_bins = n_bins, .start = start, .step = step,
                         .row_cost = checked_mul(dim2, per_pixel), .weighted = true,
                         .raw_units = 1.0 / static_cast<double>(per_pixel)};
    return build_table(layout, [&](std::uint64_t first, std::uint64_t end, EntryList& out) {
        std::vector<std::uint32_t> bins;  // sub-sample bins of one pixel
        bins.reserve(per_pixel);
        for (std::uint64_t row = first; row < end; ++row) {
            for (std::uint64_t col = 0; col < dim2; ++col) {
                bins.clear();
                for (std::uint64_t a = 0; a < n_ss; ++a) {
                    const double d1 = static_cast<double>(row) + (static_cast<double>(a) + 0.5) / inv;
                    const double p1 = geometry::point_offset(d1, g.pixel1, g.poni1);
                    for (std::uint64_t k = col * n_ss; k < (col + 1) * n_ss; ++k) {
                        const double d2 = (static_cast<double>(k) + 0.5) / inv;
                        const geometry::LabPoint t =
                            geometry::rotate(rot, p1, geometry::point_offset(d2, g.pixel2, g.poni2), g.distance);
                        if (std::optional<std::uint64_t> b = bin_of(t)) bins.push_back(static_cast<std::uint32_t>(*b));
                    }
                }
                std::sort(bins.begin(), bins.end());
                const std::uint64_t pixel = row * dim2 + col;
                for (std::size_t i = 0; i < bins.size();) {
                    std::size_t j = i;
                    while (j < bins.size() && bins[j] == bins[i]) ++j;
                    out.push(bins[i], pixel, static_cast<double>(j - i));
                    i = j;
                }
            }
        }
    });
}

}  // namespace

std::pair<std::vector<double>, std::vector<double>> detector_edge_points(std::uint64_t dim1, std::uint64_t dim2,
                                                                         std::uint64_t n) {
    std::vector<double> d1, d2;
    if (n == 0) return {d1, d2};
    const double h = 0.5 / static_cast<double>(n), s = 1.0 / static_cast<double>(n);
    const std::uint64_t along1 = checked_mul(n, dim1), along2 = checked_mul(n, dim2);
    require_memory(checked_mul(checked_add(along1, along2), kEdgeBytes));
    const std::uint64_t points = checked_mul(checked_add(along1, along2), 2);
    d1.reserve(points);
    d2.reserve(points);
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
    const std::uint64_t dim1 = snap.dim1, dim2 = snap.dim2;
    check_table_size(dim1, dim2, n_bins);
    if (n_ss == 0) throw ValueError("n_ss must be positive");
    RadialConverter convert(unit, g.wavelength);
    double start, step;
    if (range) {
        start = range->first;
        step = math::bin_width(range->first, range->second, n_bins);
    } else {
        RadialSpan span = compute_radial_range(g, snap, n_bins, n_ss, unit);
        start = span.lo;
        step = span.step;
    }
    return build(g, dim1, dim2, n_ss, n_bins, start, step, [&](const geometry::LabPoint& t) {
        const double x = convert(geometry::two_theta_of(t));
        if (range && !(x >= range->first && x < range->second)) return std::optional<std::uint64_t>();
        return std::optional<std::uint64_t>(math::clamped_bin(x, start, step, n_bins));
    });
}

CsrLut2d build_supersampled_lut_2d(const PoniGeometry& g, const GeometrySnapshot& snap, RadialUnit unit,
                                   std::uint64_t n_radial, std::uint64_t n_azimuthal, std::uint64_t n_ss,
                                   const AzimuthalRange& range) {
    const std::uint64_t n_bins = checked_mul(n_radial, n_azimuthal);
    check_table_size(snap.dim1, snap.dim2, n_bins);
    if (n_ss == 0) throw ValueError("n_ss must be positive");
    AzimuthalBins ab;
    if (range) ab = AzimuthalBins::from_range(range->first, range->second, n_azimuthal);
    const RadialSpan span = compute_radial_range(g, snap, n_radial, n_ss, unit);
    const RadialBins rb{n_radial, span.lo, span.step};
    if (!range) {
        auto [d1, d2] = detector_edge_points(snap.dim1, snap.dim2, n_ss);
        auto edge_chi = geometry::two_theta_chi_for_points(g, d1, d2).second;
        math::Extent pixels = snap.chi_extent;
        math::Extent edges = math::nan_ignoring_extent(edge_chi);
        ab = AzimuthalBins::spanning(std::fmin(pixels.lo, edges.lo), std::fmax(pixels.hi, edges.hi), n_azimuthal,
                                     6.661338147750939e-16);
    }
    RadialConverter convert(unit, g.wavelength);
    CsrLut table = build(g, snap.dim1, snap.dim2, n_ss, n_bins, rb.start, rb.step, [&](const geometry::LabPoint& t) {
        std::optional<std::uint64_t> az = ab.bin(geometry::chi_of(t));
        if (!az) return az;
        return std::optional<std::uint64_t>(rb.bin(convert(geometry::two_theta_of(t))) + n_radial * *az);
    });
    return {std::move(table), n_radial, n_azimuthal};
}

}  // namespace karvelum::lut
