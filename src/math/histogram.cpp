#include "buffer.hpp"
#include "math/histogram.hpp"

#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "errors.hpp"
#include "math/numeric.hpp"
#include "pool.hpp"

namespace karvelum::math {

namespace {

struct Binning {
    double start, step;
    Buffer<std::uint32_t> bins;  // bin per pixel
};

Binning bin_pixels(std::span<const double> radial, std::size_t n, std::uint64_t n_bins) {
    if (n_bins == 0) throw Panic("histogram needs at least one bin");
    if (n_bins > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    Extent e = nan_ignoring_extent(radial);
    Binning b{e.lo, bin_width(e.lo, e.hi, n_bins), Buffer<std::uint32_t>(n)};
    pool::parallel_for_index(n, [&](std::size_t i) {
        b.bins[i] = static_cast<std::uint32_t>(clamped_bin(radial[i], b.start, b.step, n_bins));
    });
    return b;
}

void require_length(std::span<const double> a, std::size_t n, const char* what) {
    if (a.size() < n) throw Panic(std::string(what) + " shorter than the signal");
}

std::vector<double> centres(double start, double step, std::uint64_t n_bins) {
    std::vector<double> out(n_bins);
    for (std::uint64_t i = 0; i < n_bins; ++i) out[i] = bin_centre(start, step, i);
    return out;
}

bool masked(std::span<const std::uint8_t> mask, std::size_t i) { return !mask.empty() && mask[i] != 0; }

}  // namespace

HistogramOutput histogram_integrate(std::span<const double> radial, std::span<const double> signal,
                                    std::uint64_t n_bins, std::span<const std::uint8_t> mask) {
    const std::size_t n = signal.size();
    require_length(radial, n, "radial values");
    if (!mask.empty() && mask.size() < n) throw Panic("mask shorter than the signal");
    Binning b = bin_pixels(radial, n, n_bins);
    std::vector<double> sums(n_bins, 0.0), counts(n_bins, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (masked(mask, i)) continue;
        sums[b.bins[i]] += signal[i];
        counts[b.bins[i]] += 1.0;
    }
    HistogramOutput out{centres(b.start, b.step, n_bins), std::vector<double>(n_bins), {}};
    for (std::uint64_t k = 0; k < n_bins; ++k) out.intensities[k] = counts[k] == 0.0 ? 0.0 : sums[k] / counts[k];
    return out;
}

HistogramOutput histogram_integrate_with_variance(std::span<const double> radial, std::span<const double> signal,
                                                  std::span<const double> variance, std::uint64_t n_bins,
                                                  std::span<const std::uint8_t> mask) {
    const std::size_t n = signal.size();
    require_length(radial, n, "radial values");
    require_length(variance, n, "variance");
    if (!mask.empty() && mask.size() < n) throw Panic("mask shorter than the signal");
    Binning b = bin_pixels(radial, n, n_bins);
    std::vector<double> sums(n_bins, 0.0), variance_sums(n_bins, 0.0);
    std::vector<std::uint64_t> counts(n_bins, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (masked(mask, i)) continue;
        std::uint32_t k = b.bins[i];
        sums[k] += signal[i];
        variance_sums[k] += variance[i];
        counts[k] += 1;
    }
    HistogramOutput out{centres(b.start, b.step, n_bins), std::vector<double>(n_bins), std::vector<double>(n_bins)};
    for (std::uint64_t k = 0; k < n_bins; ++k) {
        if (counts[k] == 0) continue;
        double c = static_cast<double>(counts[k]);
        out.intensities[k] = sums[k] / c;
        double v = variance_sums[k] / (c * c);
        out.errors[k] = v > 0.0 ? std::sqrt(v) : 0.0;
    }
    return out;
}

HistogramOutput histogram_cells(std::span<const std::uint64_t> bins, std::span<const double> signal,
                                std::span<const double> variance, std::uint64_t n_bins,
                                std::span<const std::uint8_t> mask) {
    const std::size_t n = signal.size();
    const bool with_variance = !variance.empty();
    if (bins.size() < n || (with_variance && variance.size() < n) || (!mask.empty() && mask.size() < n)) {
        throw Panic("per-pixel arrays shorter than the signal");
    }
    std::vector<double> sums(n_bins, 0.0), variance_sums(with_variance ? n_bins : 0, 0.0);
    std::vector<std::uint64_t> counts(n_bins, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (masked(mask, i) || bins[i] >= n_bins) continue;
        sums[bins[i]] += signal[i];
        if (with_variance) variance_sums[bins[i]] += variance[i];
        counts[bins[i]] += 1;
    }
    HistogramOutput out{{}, std::vector<double>(n_bins), std::vector<double>(with_variance ? n_bins : 0)};
    for (std::uint64_t k = 0; k < n_bins; ++k) {
        if (counts[k] == 0) continue;
        double c = static_cast<double>(counts[k]);
        out.intensities[k] = sums[k] / c;
        if (with_variance) {
            double v = variance_sums[k] / (c * c);
            out.errors[k] = v > 0.0 ? std::sqrt(v) : 0.0;
        }
    }
    return out;
}

}  // namespace karvelum::math
