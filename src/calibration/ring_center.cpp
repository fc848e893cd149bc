#include "calibration/ring_center.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "math/numeric.hpp"

namespace karvelum::calibration {

namespace {

// Sum of the `top_k` fullest of `n_bins` radial bins, from the sorted bin
// indices of the counted peaks. Only occupied bins can be among the fullest,
// so no histogram of n_bins entries is needed (n_bins may be astronomically
// large for a tiny bin width).
std::uint64_t top_bins_sum(std::vector<std::uint64_t>& bins, std::uint64_t n_bins, std::uint64_t top_k,
                           std::vector<std::uint64_t>& runs) {
    if (top_k >= n_bins) return bins.size();
    if (top_k == 0) return 0;
    std::sort(bins.begin(), bins.end());
    runs.clear();
    for (std::size_t i = 0; i < bins.size();) {
        std::size_t j = i + 1;
        while (j < bins.size() && bins[j] == bins[i]) ++j;
        runs.push_back(j - i);
        i = j;
    }
    if (top_k >= runs.size()) return bins.size();
    const auto k = static_cast<std::ptrdiff_t>(top_k);
    std::nth_element(runs.begin(), runs.begin() + k - 1, runs.end(), std::greater<>());
    std::uint64_t sum = 0;
    for (std::ptrdiff_t i = 0; i < k; ++i) sum += runs[static_cast<std::size_t>(i)];
    return sum;
}

}  // namespace

std::optional<RingCenterEstimate> estimate_ring_center_ransac(std::span<const Peak> peaks,
                                                             const RingCenterOptions& options) {
    const std::size_t n = peaks.size();
    if (n < 3 || options.max_trials == 0) return std::nullopt;
    const double max_r = options.max_radius_px;
    const double width = options.radial_bin_width;
    const std::uint64_t n_bins = math::saturating_u64(std::ceil(max_r / width));

    SplitMix64 rng(options.rng_seed);
    std::optional<RingCenterEstimate> best;
    std::uint64_t n_scored = 0;
    std::vector<std::uint64_t> bins, runs;
    bins.reserve(n);
    runs.reserve(n);
    for (std::uint64_t trial = 0; trial < options.max_trials; ++trial) {
        const std::uint64_t i = rng.next_below(n);
        std::uint64_t j = rng.next_below(n);
        while (j == i) j = rng.next_below(n);
        std::uint64_t k = rng.next_below(n);
        while (k == i || k == j) k = rng.next_below(n);

        const double x0 = peaks[i].d1, y0 = peaks[i].d2;
        const double x1 = peaks[j].d1, y1 = peaks[j].d2;
        const double x2 = peaks[k].d1, y2 = peaks[k].d2;
        const double a11 = 2.0 * (x0 - x1), a12 = 2.0 * (y0 - y1);
        const double a21 = 2.0 * (x1 - x2), a22 = 2.0 * (y1 - y2);
        const double det = a11 * a22 - a12 * a21;
        if (std::fabs(det) < 1e-12) continue;
        const double s0 = x0 * x0 + y0 * y0, s1 = x1 * x1 + y1 * y1, s2 = x2 * x2 + y2 * y2;
        const double b0 = s0 - s1, b1 = s1 - s2;
        const double cx = (b0 * a22 - a12 * b1) / det;
        const double cy = (a11 * b1 - a21 * b0) / det;
        const double r = std::sqrt((x0 - cx) * (x0 - cx) + (y0 - cy) * (y0 - cy));
        if (!(std::isfinite(r) && std::fabs(cx) <= max_r && std::fabs(cy) <= max_r)) continue;

        std::uint64_t score = 0;
        if (n_bins != 0) {
            bins.clear();
            for (const Peak& q : peaks) {
                const double dx = q.d1 - cx, dy = q.d2 - cy;
                const double rho = std::sqrt(dx * dx + dy * dy);
                if (rho >= max_r || !std::isfinite(rho)) continue;
                const std::uint64_t bin = math::saturating_u64(rho / width);
                if (bin < n_bins) bins.push_back(bin);
            }
            score = top_bins_sum(bins, n_bins, options.top_k_bins, runs);
        }
        ++n_scored;
        if (!best || score > best->score) best = RingCenterEstimate{cx, cy, score, 0};
    }
    if (!best) return std::nullopt;
    best->n_scored = n_scored;
    return best;
}

}  // namespace karvelum::calibration
