// Supersampled tables: n_ss x n_ss sub-pixel points per pixel, each counted
// in the bin of its own radial value; a pixel's weight in a bin is its share
// of the bin's points.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "errors.hpp"
#include "geometry.hpp"
#include "lut/table.hpp"
#include "lut/csr_builder.hpp"
#include "pool.hpp"
#include "geometry_state.hpp"
#include "unit.hpp"
#include "poni.hpp"

namespace karvelum::lut {

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

// Builds a supersampled table over n_bins bins: `bin_of` maps the laboratory
// coordinates of one sub-sample to its bin, or nullopt to leave it out. A
// pixel's weight in a bin is its share of the bin's sub-samples. Sub-sample
// (a, k) of row `row` sits at d1 = row + (a + 0.5) / n_ss, d2 = (k + 0.5) / n_ss.
template <class BinOf>
CsrLut build_supersampled_table(const PoniGeometry& g, std::uint64_t dim1, std::uint64_t dim2, std::uint64_t n_ss,
                                std::uint64_t n_bins, BinOf&& bin_of) {
    const std::uint64_t per_pixel = checked_mul(n_ss, n_ss);
    // One pixel's sub-sample bins per worker.
    require_memory(checked_mul(checked_mul(per_pixel, sizeof(std::uint32_t)), pool::current_thread_count()));
    const geometry::Rotation rot(g);
    const double inv = static_cast<double>(n_ss);
    auto ranges = row_chunks(dim1, checked_mul(dim2, per_pixel), n_bins);
    EntryChunks chunks(ranges.size());
    pool::parallel_for_index(ranges.size(), [&](std::size_t c) {
        EntryList out(chunks, c, (ranges[c].second - ranges[c].first) * dim2 * 2);
        std::vector<std::uint32_t> bins;  // sub-sample bins of one pixel
        bins.reserve(per_pixel);
        for (std::uint64_t row = ranges[c].first; row < ranges[c].second; ++row) {
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
                const std::uint32_t pixel = static_cast<std::uint32_t>(row * dim2 + col);
                for (std::size_t i = 0; i < bins.size();) {
                    std::size_t j = i;
                    while (j < bins.size() && bins[j] == bins[i]) ++j;
                    out.push(bins[i], pixel, static_cast<double>(j - i));
                    i = j;
                }
            }
        }
    }, 1);
    CsrLut table = assemble_csr(chunks, n_bins, true);
    // Sums of whole counts are exact, so this makes count / points in the
    // bin; n_ss^2 points make one pixel.
    normalise_bin_weights(table, 1.0 / static_cast<double>(per_pixel));
    return table;
}

}  // namespace karvelum::lut
