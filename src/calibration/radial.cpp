#include "calibration/radial.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "errors.hpp"
#include "math/numeric.hpp"
#include "memory.hpp"

namespace karvelum::calibration {

namespace {

// Bin index j mirrored into [0, n) at both ends without repeating the edge bin.
std::size_t mirrored(std::int64_t j, std::int64_t n) {
    std::int64_t a = j < 0 ? -j : j;
    if (!(a < n)) a = 2 * n - 2 - a;
    return static_cast<std::size_t>(std::clamp<std::int64_t>(a, 0, n - 1));
}

// Gaussian of standard deviation sigma over 2h + 1 taps, normalised to sum 1.
std::vector<double> smoothing_kernel(double sigma, std::size_t h) {
    std::vector<double> w(2 * h + 1);
    double sum = 0.0;
    for (std::size_t k = 0; k < w.size(); ++k) {
        const double d = static_cast<double>(k) - static_cast<double>(h);
        w[k] = std::exp(-(d * d) / (2.0 * (sigma * sigma)));
        sum += w[k];
    }
    for (double& v : w) v = v / sum;
    return w;
}

}  // namespace

RansacEllipseResult radial_band_ellipses(std::span<const Peak> peaks, const RingCenterOptions& center_options,
                                         const RadialBandOptions& options) {
    RansacEllipseResult result;
    result.assignments.assign(peaks.size(), std::nullopt);
    const std::optional<RingCenterEstimate> centre = estimate_ring_center_ransac(peaks, center_options);
    if (!centre) return result;
    const double o1 = centre->center_d1, o2 = centre->center_d2;

    std::vector<double> radius(peaks.size());
    for (std::size_t i = 0; i < peaks.size(); ++i) {
        const double a = peaks[i].d1 - o1, b = peaks[i].d2 - o2;
        radius[i] = std::sqrt(a * a + b * b);
    }

    const double w = std::fmax(options.bin_width_px, 0.1);
    const std::uint64_t n_bins = math::saturating_u64(std::ceil(options.max_radius_px / w));
    if (n_bins < 3) return result;  // no bin has two neighbours to be a maximum
    require_memory(checked_mul(n_bins, 2 * sizeof(double)));
    std::vector<double> counts(n_bins, 0.0);
    for (double r : radius) {
        if (r >= options.max_radius_px) continue;
        const std::uint64_t bin = math::saturating_u64(std::floor(r / w));
        if (bin < n_bins) counts[bin] += 1.0;
    }

    const double sigma = options.smooth_sigma_bins;
    const auto h = static_cast<std::size_t>(math::saturating_u64(std::ceil(3.0 * sigma)));
    require_memory(checked_mul(checked_add(checked_mul(h, 2), 1), sizeof(double)));
    const std::vector<double> kernel = smoothing_kernel(sigma, h);
    const auto n = static_cast<std::int64_t>(n_bins);
    std::vector<double> smooth(n_bins);
    for (std::int64_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (std::size_t k = 0; k < kernel.size(); ++k) {
            s += kernel[k] * counts[mirrored(i - static_cast<std::int64_t>(h) + static_cast<std::int64_t>(k), n)];
        }
        smooth[static_cast<std::size_t>(i)] = s;
    }

    const double min_height = static_cast<double>(options.min_peak_height);
    const double half_width = options.band_half_width_px;
    std::vector<Peak> band;
    std::vector<std::size_t> members, inliers;
    for (std::size_t i = 1; i + 1 < n_bins; ++i) {
        if (!(smooth[i] >= min_height && smooth[i] > smooth[i - 1] && smooth[i] > smooth[i + 1])) continue;
        const double r_max = w * (static_cast<double>(i) + 0.5);
        band.clear();
        members.clear();
        for (std::size_t p = 0; p < peaks.size(); ++p) {
            if (std::fabs(radius[p] - r_max) <= half_width) {
                band.push_back(peaks[p]);
                members.push_back(p);
            }
        }
        if (band.size() < options.min_band_points) continue;
        const std::optional<EllipseFit> fit = fit_ellipse(band);
        if (!fit) continue;
        if (options.max_axis_ratio) {
            const double ratio = fit->semi_major / std::fmax(fit->semi_minor, 1e-12);
            if (!(ratio <= *options.max_axis_ratio)) continue;
        }
        inliers.clear();
        for (std::size_t m = 0; m < band.size(); ++m) {
            if (conic_distance(fit->conic, band[m].d1, band[m].d2) <= half_width) inliers.push_back(members[m]);
        }
        if (inliers.size() < options.min_band_points) continue;
        // A peak of an earlier band goes to this one; the ellipse stays as
        // fitted to the whole band.
        for (std::size_t p : inliers) result.assignments[p] = result.ellipses.size();
        result.ellipses.push_back(*fit);
    }

    // Ascending semi_major, equal sizes in acceptance order, NaN last.
    std::vector<std::size_t> order(result.ellipses.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const double x = result.ellipses[a].semi_major, y = result.ellipses[b].semi_major;
        return !std::isnan(x) && (std::isnan(y) || x < y);
    });
    std::vector<std::uint64_t> position(order.size());
    std::vector<EllipseFit> sorted;
    sorted.reserve(order.size());
    for (std::size_t p = 0; p < order.size(); ++p) {
        position[order[p]] = p;
        sorted.push_back(result.ellipses[order[p]]);
    }
    for (auto& a : result.assignments) {
        if (a) a = position[static_cast<std::size_t>(*a)];
    }
    result.ellipses = std::move(sorted);
    return result;
}

}  // namespace karvelum::calibration
