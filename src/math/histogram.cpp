#include "math/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "buffer.hpp"
#include "errors.hpp"
#include "pool.hpp"

namespace karvelum::math {

namespace {

// Pixels per cell (the last slot collects pixels in no cell). Integer
// counts are exact, so they are taken in parallel.
std::vector<std::uint64_t> count_cells(std::span<const std::uint32_t> bins, std::uint64_t n_bins) {
    const std::size_t n = bins.size();
    const std::size_t chunks = std::clamp<std::size_t>(std::min<std::size_t>(pool::current_thread_count() * 2,
                                                                             (std::size_t(64) << 20) / (n_bins + 1)),
                                                       1, std::max<std::size_t>(1, n / 65536));
    std::vector<std::uint64_t> per_chunk(chunks * (n_bins + 1), 0);
    pool::parallel_for_index(chunks, [&](std::size_t c) {
        std::uint64_t* counts = per_chunk.data() + c * (n_bins + 1);
        for (std::size_t i = n * c / chunks; i < n * (c + 1) / chunks; ++i) ++counts[bins[i]];
    }, 1);
    std::vector<std::uint64_t> counts(n_bins + 1, 0);
    for (std::size_t c = 0; c < chunks; ++c) {
        for (std::uint64_t b = 0; b <= n_bins; ++b) counts[b] += per_chunk[c * (n_bins + 1) + b];
    }
    return counts;
}

}  // namespace

HistogramOutput histogram_cells(std::span<const std::uint32_t> bins, std::span<const double> signal,
                                std::span<const double> variance, std::uint64_t n_bins,
                                std::span<const std::uint8_t> mask) {
    const std::size_t n = signal.size();
    const bool with_variance = !variance.empty();
    if (bins.size() < n || (with_variance && variance.size() < n) || (!mask.empty() && mask.size() < n)) {
        throw Panic("per-pixel arrays shorter than the signal");
    }
    if (n_bins >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    // Masked pixels go to the extra slot, so the summing loop has no branch.
    Buffer<std::uint32_t> cell(n);
    pool::parallel_for_index(n, [&](std::size_t i) {
        cell[i] = (!mask.empty() && mask[i] != 0) || bins[i] >= n_bins ? static_cast<std::uint32_t>(n_bins) : bins[i];
    });
    // Each cell's sums run over its pixels in ascending order. Few cells:
    // the counts are taken in parallel beforehand. Many cells: per-thread
    // count arrays would cost more than counting along.
    const bool count_first = n_bins <= 16384;
    std::vector<std::uint64_t> counts = count_first ? count_cells(cell, n_bins) : std::vector<std::uint64_t>(n_bins + 1, 0);
    std::vector<double> sums(n_bins + 1, 0.0), variance_sums(with_variance ? n_bins + 1 : 0, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t c = cell[i];
        sums[c] += signal[i];
        if (with_variance) variance_sums[c] += variance[i];
        if (!count_first) ++counts[c];
    }
    HistogramOutput out{{}, std::vector<double>(n_bins), std::vector<double>(with_variance ? n_bins : 0)};
    for (std::uint64_t k = 0; k < n_bins; ++k) {
        if (counts[k] == 0) continue;
        const double c = static_cast<double>(counts[k]);
        out.intensities[k] = sums[k] / c;
        if (with_variance) {
            const double v = variance_sums[k] / (c * c);
            out.errors[k] = v > 0.0 ? std::sqrt(v) : 0.0;
        }
    }
    return out;
}

HistogramOutput histogram_integrate(std::span<const double> radial, Extent extent, std::span<const double> signal,
                                    std::span<const double> variance, std::uint64_t n_bins,
                                    std::span<const std::uint8_t> mask) {
    const std::size_t n = signal.size();
    if (n_bins == 0) throw Panic("histogram needs at least one bin");
    if (radial.size() < n) throw Panic("radial values shorter than the signal");
    const double start = extent.lo, step = bin_width(extent.lo, extent.hi, n_bins);
    Buffer<std::uint32_t> bins(n);
    pool::parallel_for_index(n, [&](std::size_t i) {
        bins[i] = static_cast<std::uint32_t>(clamped_bin(radial[i], start, step, n_bins));
    });
    HistogramOutput out = histogram_cells(bins, signal, variance, n_bins, mask);
    out.centres.resize(n_bins);
    for (std::uint64_t i = 0; i < n_bins; ++i) out.centres[i] = bin_centre(start, step, i);
    return out;
}

}  // namespace karvelum::math
