// Table-free integration: each pixel whole in the radial bin of its centre,
// each bin the plain mean of its values.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace karvelum::math {

struct HistogramOutput {
    std::vector<double> centres;
    std::vector<double> intensities;
    std::vector<double> errors;  // filled by the variance form only
};

// Bins span the radial values themselves. `mask` may be empty (no mask).
// Sums run in ascending pixel order, so the result is the same for every
// thread count. Throws Panic for an empty input or short companion arrays.
HistogramOutput histogram_integrate(std::span<const double> radial, std::span<const double> signal,
                                    std::uint64_t n_bins, std::span<const std::uint8_t> mask);

HistogramOutput histogram_integrate_with_variance(std::span<const double> radial, std::span<const double> signal,
                                                  std::span<const double> variance, std::uint64_t n_bins,
                                                  std::span<const std::uint8_t> mask);

// Table-free 2D integration: each unmasked pixel with a bin (`bins[i]` below
// n_bins; values at or above n_bins leave the pixel out) adds its signal and,
// when `variance` is not empty, its variance; a cell reports the plain mean
// and sqrt(sum(variance)) / count. Sums run in ascending pixel order.
HistogramOutput histogram_cells(std::span<const std::uint64_t> bins, std::span<const double> signal,
                                std::span<const double> variance, std::uint64_t n_bins,
                                std::span<const std::uint8_t> mask);

}  // namespace karvelum::math
