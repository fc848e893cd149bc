// Table-free integration: each pixel whole in one bin, each bin the plain
// mean of its values.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "math/numeric.hpp"

namespace karvelum::math {

struct HistogramOutput {
    std::vector<double> centres;      // 1D form only
    std::vector<double> intensities;
    std::vector<double> errors;       // only when a variance was given
};

// Means over cells: pixel i belongs to cell bins[i], or to none when
// bins[i] >= n_bins or it is masked. A cell reports sum(signal) / count and,
// with a variance, sqrt(sum(variance)) / count; an empty cell 0. Sums run in
// ascending pixel order, so the result is the same for every thread count.
// `variance` and `mask` may be empty.
HistogramOutput histogram_cells(std::span<const std::uint32_t> bins, std::span<const double> signal,
                                std::span<const double> variance, std::uint64_t n_bins,
                                std::span<const std::uint8_t> mask);

// The 1D histogram: bins of width (hi + 2.220446049250313e-15 - lo) / n_bins
// from lo over the radial values' extent, values beyond it clamped into the
// edge bins; centres included. Throws Panic for short companion arrays.
HistogramOutput histogram_integrate(std::span<const double> radial, Extent extent, std::span<const double> signal,
                                    std::span<const double> variance, std::uint64_t n_bins,
                                    std::span<const std::uint8_t> mask);

}  // namespace karvelum::math
