#include "math/histogram.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>
#include <thread>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "buffer.hpp"
#include "errors.hpp"
#include "pool.hpp"

namespace karvelum::math {

namespace {

constexpr std::size_t kChunk = 16384;    // consecutive pixels a thread takes at a time
constexpr std::size_t kBlocksPerThread = 2;
constexpr std::size_t kPackedCells = 65536;
constexpr std::uint32_t kNone = kNoCell;
constexpr std::uint64_t kMaxCells = std::uint64_t(1) << 31;

void check_sizes(const CellMap& map, const PixelSamples& in) {
    const std::uint64_t pixels = checked_mul(in.dim1, in.dim2);
    if (in.samples.size() != pixels || in.corrections.size() < pixels ||
        (!in.mask.empty() && in.mask.size() < pixels)) {
        throw Panic("per-pixel arrays shorter than the image");
    }
    // Pixel positions and counts are 32-bit; cell numbers stay below kNone >>
    // shift for every shift.
    if (pixels >= kNone || map.n_cells > kMaxCells) throw std::bad_alloc();
    if (map.n_cells == 0) throw Panic("histogram needs at least one cell");
}

// Cells of the pixels begin .. begin + count - 1, masked pixels in none.
void masked_cells(const CellMap& map, std::span<const std::uint8_t> mask, std::size_t begin, std::size_t count,
                  std::uint32_t* cells) {
    map.cells(begin, count, cells);
    if (mask.empty()) return;
    const std::uint8_t* m = mask.data() + begin;
    for (std::size_t j = 0; j < count; ++j) cells[j] = m[j] == 0 ? cells[j] : kNone;
}

// One chunk of pixels, their cells and values in pixel order, cut into
// stretches of consecutive pixels whose cells lie in one block (cell >>
// shift); pixels in no cell, or without a valid value, belong to no stretch.
// The stretches of each block are chained in pixel order.
//
// Each thread keeps one for good (at most kChunk pixels): allocating it per
// call would cost page faults and unmapping on every call.
struct Chunk {
    Buffer<std::uint32_t> cells;
    Buffer<double> values, variances;
    Buffer<std::uint32_t> from, to, next;   // per stretch: pixels from .. to - 1, the block's next stretch
    std::vector<std::uint32_t> head, tail;  // per block: first and last stretch, kNone when none

    // The calling thread's chunk, with room for `pixels` pixels and `blocks` blocks.
    static Chunk& of_thread(std::size_t pixels, std::size_t blocks, bool with_variance) {
        thread_local Chunk chunk;
        for (Buffer<std::uint32_t>* b : {&chunk.cells, &chunk.from, &chunk.to, &chunk.next}) {
            if (b->size() < pixels) b->resize(pixels);
        }
        if (chunk.values.size() < pixels) chunk.values.resize(pixels);
        if (with_variance && chunk.variances.size() < pixels) chunk.variances.resize(pixels);
        chunk.head.resize(blocks);
        chunk.tail.resize(blocks);
        return chunk;
    }
};

// Forms the chunk of the pixels first .. last - 1.
template <bool WithVariance, class Values>
void fill_chunk(const CellMap& map, const PixelSamples& in, const Values& values, unsigned shift,
                std::size_t first, std::size_t last, Chunk& chunk) {
    const std::size_t n = last - first;
    std::uint32_t* cells = chunk.cells.data();
    masked_cells(map, in.mask, first, n, cells);
    values.template operator()<WithVariance>(first, n, chunk.values.data(), chunk.variances.data());
    if constexpr (!Values::kAllValid) {
        const double* v = chunk.values.data();
        for (std::size_t j = 0; j < n; ++j) cells[j] = Values::valid(v[j]) ? cells[j] : kNone;
    }
    std::uint32_t* head = chunk.head.data();
    std::uint32_t* tail = chunk.tail.data();
    std::uint32_t* from = chunk.from.data();
    std::uint32_t* to = chunk.to.data();
    std::uint32_t* next = chunk.next.data();
    std::fill(chunk.head.begin(), chunk.head.end(), kNone);
    // kNone >> shift lies beyond every block, so pixels in no cell form
    // stretches of their own that are not kept.
    const std::uint32_t outside = kNone >> shift;
    std::uint32_t block = outside, stretches = 0;
    for (std::uint32_t j = 0; j < n;) {
        // Most pixels continue the stretch: test eight at a time.
        if (j + 8 <= n) {
            std::uint32_t changed = 0;
            for (std::uint32_t k = j; k < j + 8; ++k) changed |= (cells[k] >> shift) ^ block;
            if (changed == 0) {
                j += 8;
                continue;
            }
        }
        const std::uint32_t b = cells[j] >> shift;
        if (b != block) {
            if (block != outside) to[stretches - 1] = j;
            block = b;
            if (b != outside) {
                from[stretches] = j;
                next[stretches] = kNone;
                if (head[b] == kNone) {
                    head[b] = stretches;
                } else {
                    next[tail[b]] = stretches;
                }
                tail[b] = stretches++;
            }
        }
        ++j;
    }
    if (block != outside) to[stretches - 1] = static_cast<std::uint32_t>(n);
}

// Calls f(from, to) for the stretches of `block`, in pixel order.
template <class F>
void for_each_stretch(const Chunk& chunk, std::size_t block, F&& f) {
    for (std::uint32_t s = chunk.head[block]; s != kNone; s = chunk.next[s]) f(chunk.from[s], chunk.to[s]);
}

// Waits until `done` passes `target`, or a failure elsewhere ends the call.
void wait_until_above(const std::atomic<std::uint32_t>& done, std::uint32_t target, const std::atomic<bool>& failed) {
    for (unsigned spins = 0; done.load(std::memory_order_acquire) <= target; ++spins) {
        if (failed.load(std::memory_order_relaxed)) throw Panic("histogram worker failed");
        if (spins >= 64) std::this_thread::yield();
    }
}

// Calls consume(chunk, block) for every chunk of kChunk consecutive pixels
// and every block of cells, each block seeing the chunks in ascending pixel
// order: the sums of every cell are then added in pixel order.
//
// Threads take chunks in turn, form a chunk in their own buffer (it stays in
// their cache) and consume it block after block, each once the previous
// chunk is done with that block: only the blocks' sums pass between threads.
// A chunk is taken only by a thread that works it to the end, and the
// earliest unfinished chunk never waits, so the waits always end, whatever
// the number of threads.
template <bool WithVariance, class Values, class Consume>
void for_each_block(const CellMap& map, const PixelSamples& in, const Values& values, Consume&& consume) {
    const std::size_t pixels = static_cast<std::size_t>(in.dim1 * in.dim2);
    // Few blocks: every block a chunk has pixels in is handed on between
    // threads, which costs more than finer blocks gain, unless there are
    // many cells (measured on 1000 and 1000 x 360 cells).
    const std::uint64_t per_thread = map.n_cells > kPackedCells ? 4 * kBlocksPerThread : kBlocksPerThread;
    const std::uint64_t max_blocks = per_thread * pool::current_thread_count();
    unsigned shift = 0;
    while (((map.n_cells - 1) >> shift) >= max_blocks) ++shift;
    const std::size_t n_blocks = static_cast<std::size_t>(((map.n_cells - 1) >> shift) + 1);
    const std::size_t n_chunks = (pixels + kChunk - 1) / kChunk;
    const std::size_t workers = std::min(n_chunks, pool::current_thread_count());
    std::vector<std::atomic<std::uint32_t>> progress(n_chunks);  // blocks each chunk is done with
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    // One task per worker (simple partitioner): a task runs until no chunk is left.
    auto work = [&](const tbb::blocked_range<std::size_t>&) {
        Chunk& chunk = Chunk::of_thread(std::min(pixels, kChunk), n_blocks, WithVariance);
        try {
            for (std::size_t c; (c = next.fetch_add(1, std::memory_order_relaxed)) < n_chunks;) {
                fill_chunk<WithVariance>(map, in, values, shift, c * kChunk, std::min(pixels, (c + 1) * kChunk),
                                         chunk);
                for (std::size_t b = 0; b < n_blocks; ++b) {
                    if (c > 0) wait_until_above(progress[c - 1], static_cast<std::uint32_t>(b), failed);
                    if (chunk.head[b] != kNone) consume(chunk, b);
                    progress[c].store(static_cast<std::uint32_t>(b + 1), std::memory_order_release);
                }
            }
        } catch (...) {
            failed.store(true);
            throw;
        }
    };
    pool::run([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, workers, 1), work, tbb::simple_partitioner());
    });
}

double non_negative_sqrt(double v) { return v > 0.0 ? std::sqrt(v) : 0.0; }

// Per-pixel values and variances of the mean forms, for one run: sample /
// correction and max(sample, 0) / correction^2 where the correction is
// positive, else 0. Every lane divides and a separate loop selects: a
// division under a condition does not vectorise.
struct Corrected {
    const double* samples;
    const double* corrections;
    static constexpr bool kAllValid = true;
    static bool valid(double) { return true; }
    template <bool WithVariance>
    void operator()(std::size_t p, std::size_t n, double* v, double* var) const {
        const double* x = samples + p;
        const double* c = corrections + p;
        for (std::size_t j = 0; j < n; ++j) v[j] = x[j] / c[j];
        for (std::size_t j = 0; j < n; ++j) v[j] = c[j] > 0.0 ? v[j] : 0.0;
        if constexpr (WithVariance) {
            for (std::size_t j = 0; j < n; ++j) {
                const double poisson = x[j] > 0.0 ? x[j] : 0.0;
                var[j] = poisson / (c[j] * c[j]);
            }
            for (std::size_t j = 0; j < n; ++j) var[j] = c[j] > 0.0 ? var[j] : 0.0;
        }
    }
};

// Given values and variances.
struct Given {
    const double* signal;
    const double* variance;
    static constexpr bool kAllValid = true;
    static bool valid(double) { return true; }
    template <bool WithVariance>
    void operator()(std::size_t p, std::size_t n, double* v, double* var) const {
        std::copy(signal + p, signal + p + n, v);
        if constexpr (WithVariance) std::copy(variance + p, variance + p + n, var);
    }
};

// Values of the azimuthal spread: sample / correction, valid only where the
// correction is positive and the quotient finite; variances max(sample, 0) /
// correction^2.
struct Spread {
    const double* samples;
    const double* corrections;
    static constexpr bool kAllValid = false;
    // As std::isfinite, in a form that vectorises.
    static bool valid(double v) { return std::fabs(v) <= std::numeric_limits<double>::max(); }
    template <bool WithVariance>
    void operator()(std::size_t p, std::size_t n, double* v, double* var) const {
        const double* x = samples + p;
        const double* c = corrections + p;
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t j = 0; j < n; ++j) v[j] = x[j] / c[j];
        for (std::size_t j = 0; j < n; ++j) v[j] = c[j] > 0.0 ? v[j] : nan;
        if constexpr (WithVariance) {
            for (std::size_t j = 0; j < n; ++j) {
                const double poisson = x[j] > 0.0 ? x[j] : 0.0;
                var[j] = poisson / (c[j] * c[j]);
            }
        }
    }
};

// Where a cell's sums accumulate: together in one record per cell for few
// cells (adding a pixel touches one cache line), in the result vectors and a
// count array for many (a large fresh array costs more in page faults than
// the extra line).
template <bool WithVariance>
struct CellSums {
    double sum = 0.0;
    std::uint64_t count = 0;
    double variance_sum() const { return 0.0; }
};
template <>
struct CellSums<true> {
    double sum = 0.0;
    std::uint64_t count = 0;
    double variance = 0.0;
    double variance_sum() const { return variance; }
};

template <bool WithVariance, bool Packed>
struct Accumulator {
    CellSums<WithVariance>* packed;
    double* sums;
    double* variance_sums;
    std::uint32_t* counts;

    // Adds the block's pixels to their cells' sums, in pixel order.
    void add(const Chunk& chunk, std::size_t block) const {
        const std::uint32_t* cells = chunk.cells.data();
        const double* values = chunk.values.data();
        const double* variances = chunk.variances.data();
        CellSums<WithVariance>* p = packed;
        double* s = sums;
        double* vs = variance_sums;
        std::uint32_t* n = counts;
        for_each_stretch(chunk, block, [&](std::uint32_t from, std::uint32_t to) {
            for (std::uint32_t i = from; i < to; ++i) {
                const std::uint32_t c = cells[i];
                if constexpr (Packed) {
                    p[c].sum += values[i];
                    ++p[c].count;
                    if constexpr (WithVariance) p[c].variance += variances[i];
                } else {
                    s[c] += values[i];
                    ++n[c];
                    if constexpr (WithVariance) vs[c] += variances[i];
                }
            }
        });
    }
};

template <bool WithVariance, class Values>
HistogramOutput cell_means(const CellMap& map, const PixelSamples& in, const Values& values) {
    const std::size_t n_cells = static_cast<std::size_t>(map.n_cells);
    HistogramOutput out{{}, std::vector<double>(n_cells), std::vector<double>(WithVariance ? n_cells : 0)};
    double* intensities = out.intensities.data();
    double* errors = out.errors.data();
    auto finish = [=](std::size_t c, double sum, double variance_sum, std::uint64_t count) {
        if (count == 0) return;
        const double n = static_cast<double>(count);
        intensities[c] = sum / n;
        if constexpr (WithVariance) errors[c] = non_negative_sqrt(variance_sum / (n * n));
    };
    auto add = [](const auto& acc) { return [&acc](const Chunk& chunk, std::size_t block) { acc.add(chunk, block); }; };
    if (n_cells <= kPackedCells) {
        std::vector<CellSums<WithVariance>> packed(n_cells);
        const Accumulator<WithVariance, true> acc{packed.data(), nullptr, nullptr, nullptr};
        for_each_block<WithVariance>(map, in, values, add(acc));
        for (std::size_t c = 0; c < n_cells; ++c) finish(c, packed[c].sum, packed[c].variance_sum(), packed[c].count);
        return out;
    }
    std::vector<std::uint32_t> counts(n_cells);
    const Accumulator<WithVariance, false> acc{nullptr, intensities, errors, counts.data()};
    for_each_block<WithVariance>(map, in, values, add(acc));
    const std::uint32_t* n = counts.data();
    pool::parallel_for_index(n_cells, [=](std::size_t c) { finish(c, intensities[c], errors ? errors[c] : 0.0, n[c]); },
                             16384);
    return out;
}

// Clamped radial bins as cells.
class RadialCells final : public CellMap {
public:
    RadialCells(std::span<const double> radial, double start, double step, std::uint64_t n_bins)
        : radial_(radial.data()), start_(start), step_(step) {
        n_cells = n_bins;
    }
    void cells(std::size_t begin, std::size_t count, std::uint32_t* out) const override {
        clamped_bins(radial_ + begin, count, start_, step_, n_cells, out);
    }

private:
    const double* radial_;
    double start_, step_;
};

std::vector<double> centres(double start, double step, std::uint64_t n_bins) {
    std::vector<double> out(n_bins);
    for (std::uint64_t i = 0; i < n_bins; ++i) out[i] = bin_centre(start, step, i);
    return out;
}

void check_radial(std::span<const double> radial, std::uint64_t pixels, std::uint64_t n_bins) {
    if (n_bins == 0) throw Panic("histogram needs at least one bin");
    if (radial.size() < pixels) throw Panic("radial values shorter than the image");
}

// First pass of the spread: the first value of a bin is its shift; sums of
// values, of shifted values and of variances.
template <bool WithVariance>
void add_spread_records(const Chunk& chunk, std::size_t block, double* sums, double* shifted, double* first,
                        double* variance_sums, std::uint64_t* count) {
    const std::uint32_t* bins = chunk.cells.data();
    const double* values = chunk.values.data();
    const double* variances = chunk.variances.data();
    for_each_stretch(chunk, block, [&](std::uint32_t from, std::uint32_t to) {
        for (std::uint32_t i = from; i < to; ++i) {
            const std::uint32_t b = bins[i];
            const double v = values[i];
            if (count[b]++ == 0) first[b] = v;
            sums[b] += v;
            shifted[b] += v - first[b];
            if constexpr (WithVariance) variance_sums[b] += variances[i];
        }
    });
}

// Second pass: squared deviations from the mean.
void add_squares(const Chunk& chunk, std::size_t block, const double* first, const double* mean_shifted,
                 double* squares) {
    const std::uint32_t* bins = chunk.cells.data();
    const double* values = chunk.values.data();
    for_each_stretch(chunk, block, [&](std::uint32_t from, std::uint32_t to) {
        for (std::uint32_t i = from; i < to; ++i) {
            const std::uint32_t b = bins[i];
            const double dev = values[i] - first[b] - mean_shifted[b];
            squares[b] += dev * dev;
        }
    });
}

template <bool WithVariance>
HistogramSpread spread(const CellMap& map, const PixelSamples& in) {
    const std::uint64_t n_bins = map.n_cells;
    HistogramSpread out{{}, std::vector<double>(n_bins), std::vector<double>(n_bins), std::nullopt};
    if constexpr (WithVariance) out.errors.emplace(n_bins);
    // Per bin: the first valid value (the shift), the sum of shifted values
    // and then their mean, and the number of valid values.
    std::vector<double> shift(n_bins), shifted(n_bins);
    std::vector<std::uint64_t> counts(n_bins, 0);
    double* sums = out.means.data();
    double* squares = out.stds.data();
    double* variance_sums = WithVariance ? out.errors->data() : nullptr;
    double* first = shift.data();
    double* mean_shifted = shifted.data();
    std::uint64_t* count = counts.data();
    const Spread values{in.samples.data(), in.corrections.data()};
    for_each_block<WithVariance>(map, in, values, [=](const Chunk& chunk, std::size_t block) {
        add_spread_records<WithVariance>(chunk, block, sums, mean_shifted, first, variance_sums, count);
    });
    for (std::uint64_t b = 0; b < n_bins; ++b) {
        if (count[b] != 0) mean_shifted[b] = mean_shifted[b] / static_cast<double>(count[b]);
    }
    for_each_block<false>(map, in, values, [=](const Chunk& chunk, std::size_t block) {
        add_squares(chunk, block, first, mean_shifted, squares);
    });
    for (std::uint64_t b = 0; b < n_bins; ++b) {
        if (count[b] == 0) {
            squares[b] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        const double n = static_cast<double>(count[b]);
        sums[b] = sums[b] / n;
        squares[b] = non_negative_sqrt(squares[b] / n);
        if constexpr (WithVariance) variance_sums[b] = non_negative_sqrt(variance_sums[b]) / n;
    }
    return out;
}

}  // namespace

void clamped_bins(const double* values, std::size_t count, double start, double step, std::uint64_t n_bins,
                  std::uint32_t* out) {
    if (n_bins > (std::uint64_t(1) << 31)) {
        for (std::size_t j = 0; j < count; ++j) {
            out[j] = static_cast<std::uint32_t>(clamped_bin(values[j], start, step, n_bins));
        }
        return;
    }
    // clamped_bin in floating point, so that the loop vectorises: below 0 and
    // NaN give 0, from n_bins - 1 up the last bin, else the truncation.
    const double top = static_cast<double>(n_bins - 1);
    for (std::size_t j = 0; j < count; ++j) {
        double t = (values[j] - start) / step;
        t = t > 0.0 ? t : 0.0;
        t = t < top ? t : top;
        out[j] = static_cast<std::uint32_t>(static_cast<std::int32_t>(t));
    }
}

HistogramOutput histogram_cells(const CellMap& map, const PixelSamples& in, bool errors) {
    check_sizes(map, in);
    const Corrected values{in.samples.data(), in.corrections.data()};
    return errors ? cell_means<true>(map, in, values) : cell_means<false>(map, in, values);
}

HistogramOutput histogram_integrate(std::span<const double> radial, Extent extent, const PixelSamples& in,
                                    std::uint64_t n_bins, bool errors) {
    check_radial(radial, in.samples.size(), n_bins);
    const double start = extent.lo, step = bin_width(extent.lo, extent.hi, n_bins);
    HistogramOutput out = histogram_cells(RadialCells(radial, start, step, n_bins), in, errors);
    out.centres = centres(start, step, n_bins);
    return out;
}

HistogramOutput histogram_integrate(std::span<const double> radial, Extent extent, std::span<const double> signal,
                                    std::span<const double> variance, std::uint64_t n_bins,
                                    std::span<const std::uint8_t> mask) {
    const std::size_t n = signal.size();
    const bool errors = !variance.empty();
    check_radial(radial, n, n_bins);
    if ((errors && variance.size() < n) || (!mask.empty() && mask.size() < n)) {
        throw Panic("per-pixel arrays shorter than the signal");
    }
    const double start = extent.lo, step = bin_width(extent.lo, extent.hi, n_bins);
    const RadialCells map(radial, start, step, n_bins);
    const PixelSamples in{signal, signal, mask, 1, n};
    check_sizes(map, in);
    const Given values{signal.data(), variance.data()};
    HistogramOutput out = errors ? cell_means<true>(map, in, values) : cell_means<false>(map, in, values);
    out.centres = centres(start, step, n_bins);
    return out;
}

HistogramSpread histogram_spread(std::span<const double> radial, Extent extent, const PixelSamples& in,
                                 std::uint64_t n_bins, bool errors) {
    check_radial(radial, in.samples.size(), n_bins);
    const double start = extent.lo, step = bin_width(extent.lo, extent.hi, n_bins);
    const RadialCells map(radial, start, step, n_bins);
    check_sizes(map, in);
    HistogramSpread out = errors ? spread<true>(map, in) : spread<false>(map, in);
    out.centres = centres(start, step, n_bins);
    return out;
}

std::uint64_t histogram_scratch_bytes() {
    // Per pixel of a chunk: cell, value, variance and up to one stretch.
    const std::uint64_t per_chunk = kChunk * (4 * sizeof(std::uint32_t) + 2 * sizeof(double));
    return checked_mul(per_chunk, pool::current_thread_count());
}

}  // namespace karvelum::math
