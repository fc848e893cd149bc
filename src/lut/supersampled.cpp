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
    math::Extent pixels = math::nan_ignoring_extent(*snap.radial_values);
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
    const std::uint64_t per_pixel = checked_mul(n_ss, n_ss);
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
    const geometry::Rotation rot(g);
    const double inv = static_cast<double>(n_ss);

    auto ranges = row_chunks(dim1, checked_mul(dim2, per_pixel));
    EntryChunks chunks(ranges.size());
    pool::parallel_for_index(ranges.size(), [&](std::size_t c) {
        Buffer<Entry>& out = chunks[c];
        out.reserve((ranges[c].second - ranges[c].first) * dim2 * 2);
        std::vector<std::uint32_t> bins;  // sub-sample bins of one pixel
        bins.reserve(per_pixel);
        for (std::uint64_t row = ranges[c].first; row < ranges[c].second; ++row) {
            for (std::uint64_t col = 0; col < dim2; ++col) {
                bins.clear();
                for (std::uint64_t a = 0; a < n_ss; ++a) {
                    double d1 = static_cast<double>(row) + (static_cast<double>(a) + 0.5) / inv;
                    double p1 = geometry::point_offset(d1, g.pixel1, g.poni1);
                    for (std::uint64_t k = col * n_ss; k < (col + 1) * n_ss; ++k) {
                        double d2 = (static_cast<double>(k) + 0.5) / inv;
                        geometry::LabPoint t =
                            geometry::rotate(rot, p1, geometry::point_offset(d2, g.pixel2, g.poni2), g.distance);
                        double x = convert(geometry::two_theta_of(t));
                        if (keep && !(x >= keep->first && x < keep->second)) continue;
                        bins.push_back(static_cast<std::uint32_t>(math::clamped_bin(x, start, step, n_bins)));
                    }
                }
                std::sort(bins.begin(), bins.end());
                const std::uint32_t pixel = static_cast<std::uint32_t>(row * dim2 + col);
                for (std::size_t i = 0; i < bins.size();) {
                    std::size_t j = i;
                    while (j < bins.size() && bins[j] == bins[i]) ++j;
                    out.push_back(Entry{bins[i], pixel, static_cast<double>(j - i)});
                    i = j;
                }
            }
        }
    }, 1);
    CsrLut table = assemble_csr(chunks, n_bins, true);
    // Sums of whole counts are exact, so this is count / points in the bin.
    normalise_bin_weights(table);
    table.start = start;
    table.step = step;
    table.dim1 = dim1;
    table.dim2 = dim2;
    return table;
}

}  // namespace karvelum::lut
