// Table-free integration: each pixel whole in one cell, each cell the plain
// mean of its values.
//
// The sums of a cell are added in ascending pixel order, so a result is the
// same for every thread count. Threads take chunks of consecutive pixels in
// turn, form their cells and corrected values in a chunk buffer of their own
// and add them to the sums block of cells by block, each block once the
// previous chunk is done with it. No per-pixel array is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "math/numeric.hpp"

namespace karvelum::math {

struct HistogramOutput {
    std::vector<double> centres;      // 1D forms only
    std::vector<double> intensities;
    std::vector<double> errors;       // only when asked for
};

// The image and what turns its samples into per-pixel values. All spans hold
// one entry per pixel, row-major; `mask` may be empty (nonzero = left out).
struct PixelSamples {
    std::span<const double> samples;
    std::span<const double> corrections;
    std::span<const std::uint8_t> mask;
    std::uint64_t dim1 = 0, dim2 = 0;
};

// The cell of a pixel in none.
inline constexpr std::uint32_t kNoCell = 0xffffffffu;

// Pixels to cells, numbered 0 .. n_cells - 1. Blocks are ranges of cell
// numbers, so neighbouring pixels should mostly have near numbers.
class CellMap {
public:
    std::uint64_t n_cells = 0;
    // Cell of each pixel of the run begin .. begin + count - 1, or kNoCell.
    virtual void cells(std::size_t begin, std::size_t count, std::uint32_t* out) const = 0;

protected:
    ~CellMap() = default;
};

// Clamped bins of `count` values: min(n_bins - 1, trunc((x - start) / step)),
// 0 for NaN and values below start. n_bins < 2^32.
void clamped_bins(const double* values, std::size_t count, double start, double step, std::uint64_t n_bins,
                  std::uint32_t* out);

// Per cell: the mean of sample / correction (0 where the correction is not
// positive) over its unmasked pixels and, with `errors`, sqrt(sum of
// max(sample, 0) / correction^2) / count; an empty cell gives 0. Throws Panic
// for short arrays, std::bad_alloc for 2^32 pixels or more than 2^31 cells.
HistogramOutput histogram_cells(const CellMap& map, const PixelSamples& in, bool errors);

// The 1D histogram of `in` over bins of width (hi + 2.220446049250313e-15 -
// lo) / n_bins from lo over the radial values' extent, values beyond it
// clamped into the edge bins; centres included.
HistogramOutput histogram_integrate(std::span<const double> radial, Extent extent, const PixelSamples& in,
                                    std::uint64_t n_bins, bool errors);

// The same binning over given per-pixel values and variances (`variance` may
// be empty: no errors), for a single row of pixels.
HistogramOutput histogram_integrate(std::span<const double> radial, Extent extent, std::span<const double> signal,
                                    std::span<const double> variance, std::uint64_t n_bins,
                                    std::span<const std::uint8_t> mask);

struct HistogramSpread {
    std::vector<double> centres;
    std::vector<double> means;
    std::vector<double> stds;                   // NaN for a bin without a valid pixel
    std::optional<std::vector<double>> errors;  // only when asked for
};

// Over the 1D histogram bins, per bin the mean and population spread of the
// valid values v = sample / correction (unmasked, correction > 0, v finite):
// mean sum(v) / n; spread sqrt(max(sum((v - K - d)^2) / n, 0)) with K the
// first valid v in pixel order and d = sum(v - K) / n; with `errors`
// sqrt(max(sum(max(sample, 0) / correction^2), 0)) / n. A bin without a valid
// pixel gives mean 0, error 0 and spread NaN.
HistogramSpread histogram_spread(std::span<const double> radial, Extent extent, const PixelSamples& in,
                                 std::uint64_t n_bins, bool errors);

// Bytes the histogram operations allocate besides their per-cell arrays: the
// chunk buffer of each thread (kept for later calls), independent of the
// image size.
std::uint64_t histogram_scratch_bytes();

}  // namespace karvelum::math
