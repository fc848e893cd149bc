#include "lut/csr_builder.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <new>
#include <vector>

#include "errors.hpp"
#include "pool.hpp"

namespace karvelum::lut {

// The entry lists of all chunks of one build. Their growth is accounted
// together, so a table too large for the machine fails as an allocation
// failure instead of exhausting memory.
struct EntryChunks {
    explicit EntryChunks(std::size_t n) : lists(n) {}
    std::vector<Buffer<Entry>> lists;
    std::atomic<std::uint64_t> reserved{0};
};

namespace {

// Row ranges [begin, end) covering 0 .. rows-1 in order, a few per thread
// (fewer for tables with very many bins).
std::vector<std::pair<std::uint64_t, std::uint64_t>> row_chunks(std::uint64_t rows, std::uint64_t row_cost,
                                                                  std::uint64_t n_bins) {
    std::uint64_t threads = pool::current_thread_count();
    // Enough chunks to balance the load, few enough that the per-chunk bin
    // counts of the assembly (chunks x bins) stay within 256 MiB.
    std::uint64_t wanted = std::max<std::uint64_t>(1, std::min<std::uint64_t>(rows, threads * 4));
    wanted = std::max<std::uint64_t>(1, std::min(wanted, (std::uint64_t(32) << 20) / std::max<std::uint64_t>(n_bins, 1)));
    if (row_cost * rows < (1u << 15)) wanted = 1;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    for (std::uint64_t c = 0; c < wanted; ++c) {
        std::uint64_t begin = rows * c / wanted, end = rows * (c + 1) / wanted;
        if (end > begin) out.emplace_back(begin, end);
    }
    return out;
}

CsrLut assemble_csr(const EntryChunks& chunks, std::uint64_t n_bins, bool weighted) {
    const std::size_t n_chunks = chunks.lists.size();
    checked_mul(checked_mul(n_chunks, n_bins), sizeof(std::uint64_t));
    // cursor[c * n_bins + b]: first free position of chunk c's entries in bin b.
    std::vector<std::uint64_t> cursor(n_chunks * n_bins, 0);
    pool::parallel_for_index(n_chunks, [&](std::size_t c) {
        std::uint64_t* counts = cursor.data() + c * n_bins;
        for (const Entry& e : chunks.lists[c]) ++counts[e.bin];
    }, 1);
    CsrLut table;
    table.offsets.assign(n_bins + 1, 0);
    std::uint64_t total = 0;
    for (std::uint64_t b = 0; b < n_bins; ++b) {
        table.offsets[b] = total;
        for (std::size_t c = 0; c < n_chunks; ++c) {
            std::uint64_t count = cursor[c * n_bins + b];
            cursor[c * n_bins + b] = total;
            total += count;
        }
    }
    table.offsets[n_bins] = total;
    table.indices.resize(total);
    if (weighted) table.weights.resize(total);
    pool::parallel_for_index(n_chunks, [&](std::size_t c) {
        std::uint64_t* next = cursor.data() + c * n_bins;
        for (const Entry& e : chunks.lists[c]) {
            std::uint64_t at = next[e.bin]++;
            table.indices[at] = e.pixel;
            if (weighted) table.weights[at] = e.weight;
        }
    }, 1);
    return table;
}

// Divides the weights of every bin by their sum (taken in entry order from
// -0.0) when that sum is greater than zero, and records sum * raw_units as
// the bin's raw scale (its raw weight in the units in which tables of
// several detectors add up).
void normalise_bin_weights(CsrLut& table, double raw_units) {
    table.raw_scale.resize(table.bins());
    pool::parallel_for_index(table.bins(), [&](std::size_t b) {
        std::uint64_t o0 = table.offsets[b], o1 = table.offsets[b + 1];
        double sum = -0.0;
        for (std::uint64_t k = o0; k < o1; ++k) sum += table.weights[k];
        if (sum > 0.0) {
            for (std::uint64_t k = o0; k < o1; ++k) table.weights[k] /= sum;
        }
        table.raw_scale[b] = (sum > 0.0 ? sum : 1.0) * raw_units;
    }, 64);
}

}  // namespace

EntryList::EntryList(EntryChunks& chunks, std::size_t c, std::uint64_t expected)
    : chunks_(chunks), out_(chunks.lists[c]) {
    grow(expected);
}

void EntryList::grow(std::uint64_t capacity) {
    capacity = std::max<std::uint64_t>(capacity, 4096);
    const std::uint64_t added = capacity - out_.capacity();
    const std::uint64_t total = chunks_.reserved.fetch_add(added) + added;
    // The entries now, and the table's index and weight per entry later.
    require_memory(checked_mul(total, sizeof(Entry) + sizeof(std::uint32_t) + sizeof(double)));
    out_.reserve(capacity);
}

CsrLut build_table(const TableLayout& layout, const FillRows& fill) {
    auto ranges = row_chunks(layout.dim1, layout.row_cost, layout.n_bins);
    EntryChunks chunks(ranges.size());
    // Counting puts a pixel in at most one bin; split pixels mostly in two.
    const std::uint64_t per_pixel = layout.weighted ? 2 : 1;
    pool::parallel_for_index(ranges.size(), [&](std::size_t c) {
        const auto [first, end] = ranges[c];
        EntryList out(chunks, c, (end - first) * layout.dim2 * per_pixel);
        fill(first, end, out);
    }, 1);
    CsrLut table = assemble_csr(chunks, layout.n_bins, layout.weighted);
    if (layout.weighted) normalise_bin_weights(table, layout.raw_units);
    table.start = layout.start;
    table.step = layout.step;
    table.dim1 = layout.dim1;
    table.dim2 = layout.dim2;
    return table;
}

void check_table_size(std::uint64_t dim1, std::uint64_t dim2, std::uint64_t n_bins) {
    if (n_bins == 0) throw Panic("a table needs at least one bin");
    std::uint64_t pixels = checked_mul(dim1, dim2);
    if (pixels > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    if (n_bins >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    // Row offsets, per-chunk counts and the per-bin results.
    require_memory(checked_mul(checked_add(n_bins, 1), 4 * sizeof(std::uint64_t)));
}

}  // namespace karvelum::lut
