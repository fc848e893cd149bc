#include "lut/csr_builder.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <new>
#include <vector>

#include "errors.hpp"
#include "memory.hpp"
#include "pool.hpp"

namespace karvelum::lut {

// The entry lists of all chunks of one build. Their growth is accounted
// together, so a table too large for the machine fails as an allocation
// failure instead of exhausting memory.
struct EntryChunks {
    EntryChunks(std::size_t n, std::uint64_t threads) : lists(n), writers(std::clamp<std::uint64_t>(n, 1, threads)) {}
    std::vector<Buffer<Entry>> lists;
    std::uint64_t writers;  // lists written at once
    std::atomic<std::uint64_t> reserved{0};
    std::atomic<std::uint64_t> written{0};  // entries recorded as taken
};

namespace {

// Cuts the bins into groups of consecutive bins with about equal entry counts.
std::vector<BinGroup> cut_groups(const std::vector<std::uint64_t>& bin_entries, std::uint64_t total) {
    const std::uint64_t n_bins = bin_entries.size();
    const std::uint64_t wanted = std::clamp<std::uint64_t>(total / kGroupEntries, 1, std::min(kMaxGroups, n_bins));
    std::vector<BinGroup> groups;
    std::uint64_t first = 0, entries = 0;
    for (std::uint64_t b = 0; b < n_bins; ++b) {
        entries += bin_entries[b];
        const std::uint64_t g = groups.size();
        // Cut once the entries so far reach the next group's share (the
        // division keeps the products small).
        if (g + 1 < wanted && b + 1 < n_bins && entries >= total / wanted * (g + 1)) {
            groups.push_back(BinGroup{first, b + 1, 0, 0, 0, 0});
            first = b + 1;
        }
    }
    groups.push_back(BinGroup{first, n_bins, 0, 0, 0, 0});
    return groups;
}

// Lays the chunks' entries out group by group: inside a group, chunk after
// chunk, each chunk's entries in their (ascending pixel) order.
CsrLut assemble(const EntryChunks& chunks, const TableLayout& layout) {
    const std::uint64_t n_bins = layout.n_bins, dim2 = layout.dim2;
    const std::size_t n_chunks = chunks.lists.size();
    // Each allocation is checked before it is made: the entries may have
    // outgrown what the call was admitted for.
    require_memory(checked_mul(checked_mul(n_chunks, n_bins), sizeof(std::uint64_t)));
    std::vector<std::uint64_t> bin_counts(n_chunks * n_bins, 0);
    record_taken(ClaimPart::Shared, bin_counts.size() * sizeof(std::uint64_t));
    pool::parallel_for_index(n_chunks, [&](std::size_t c) {
        std::uint64_t* counts = bin_counts.data() + c * n_bins;
        for (const Entry& e : chunks.lists[c]) ++counts[e.bin];
    }, 1);
    std::vector<std::uint64_t> bin_entries(n_bins, 0);
    std::uint64_t total = 0;
    for (std::size_t c = 0; c < n_chunks; ++c) {
        for (std::uint64_t b = 0; b < n_bins; ++b) bin_entries[b] += bin_counts[c * n_bins + b];
    }
    for (std::uint64_t b = 0; b < n_bins; ++b) total += bin_entries[b];

    CsrLut table;
    table.n_bins = n_bins;
    table.n_entries = total;
    table.weighted = layout.weighted;
    table.groups = cut_groups(bin_entries, total);
    std::vector<BinGroup>& groups = table.groups;
    const std::size_t n_groups = groups.size();
    bool wide = false;
    for (const BinGroup& g : groups) wide = wide || g.end_bin - g.first_bin > (std::uint64_t(1) << 16);
    // Each entry's pixel, bin within its group and weight.
    const std::uint64_t entry_bytes = sizeof(std::uint32_t) + (wide ? sizeof(std::uint32_t) : sizeof(std::uint16_t)) +
                                      (layout.weighted ? sizeof(double) : 0);
    require_memory(checked_add(checked_mul(total, entry_bytes),
                               checked_add(checked_mul(checked_mul(n_chunks, n_groups), sizeof(std::uint64_t)),
                                           checked_mul(n_bins, sizeof(std::uint32_t)))));
    std::vector<std::uint32_t> group_of(n_bins);
    for (std::size_t g = 0; g < n_groups; ++g) {
        for (std::uint64_t b = groups[g].first_bin; b < groups[g].end_bin; ++b) group_of[b] = static_cast<std::uint32_t>(g);
    }
    // next[c * n_groups + g]: where chunk c's first entry of group g goes.
    std::vector<std::uint64_t> next(n_chunks * n_groups, 0);
    std::uint64_t at = 0;
    for (std::size_t g = 0; g < n_groups; ++g) {
        groups[g].first_entry = at;
        for (std::size_t c = 0; c < n_chunks; ++c) {
            next[c * n_groups + g] = at;
            for (std::uint64_t b = groups[g].first_bin; b < groups[g].end_bin; ++b) at += bin_counts[c * n_bins + b];
        }
        groups[g].end_entry = at;
    }

    Buffer<std::uint32_t> pixels(total);
    if (wide) {
        table.local32.resize(total);
    } else {
        table.local16.resize(total);
    }
    if (layout.weighted) table.weights.resize(total);
    pool::parallel_for_index(n_chunks, [&](std::size_t c) {
        std::uint64_t* cursor = next.data() + c * n_groups;
        for (const Entry& e : chunks.lists[c]) {
            const std::uint32_t g = group_of[e.bin];
            const std::uint64_t k = cursor[g]++;
            const std::uint64_t local = e.bin - groups[g].first_bin;
            pixels[k] = e.pixel;
            if (wide) {
                table.local32[k] = static_cast<std::uint32_t>(local);
            } else {
                table.local16[k] = static_cast<std::uint16_t>(local);
            }
            if (layout.weighted) table.weights[k] = e.weight;
        }
    }, 1);
    record_taken(ClaimPart::Shared, total * entry_bytes);
    // Each group's entries as runs within rows. A run breaks where a pixel is
    // skipped or a row begins.
    const bool weighted = layout.weighted;
    auto starts_run = [&](std::uint64_t k, std::uint64_t first) {
        if (k == first) return true;
        if (pixels[k] < pixels[k - 1] || (!weighted && pixels[k] == pixels[k - 1])) {
            throw Panic("table entries out of pixel order");
        }
        if (pixels[k] == pixels[k - 1]) return false;
        return pixels[k] != pixels[k - 1] + 1 || pixels[k] % dim2 == 0;
    };
    std::vector<std::uint64_t> run_counts(n_groups, 0);
    pool::parallel_for_index(n_groups, [&](std::size_t g) {
        for (std::uint64_t k = groups[g].first_entry; k < groups[g].end_entry; ++k) {
            run_counts[g] += starts_run(k, groups[g].first_entry) ? 1 : 0;
        }
    }, 1);
    std::uint64_t n_runs = 0;
    for (std::size_t g = 0; g < n_groups; ++g) {
        groups[g].first_run = n_runs;
        n_runs += run_counts[g];
        groups[g].end_run = n_runs;
    }
    require_memory(checked_add(checked_mul(n_runs, sizeof(PixelRun)), weighted ? total : 0));
    table.runs.resize(n_runs);
    if (weighted) table.steps.resize(total);
    pool::parallel_for_index(n_groups, [&](std::size_t g) {
        std::uint64_t next_run = groups[g].first_run;  // one past the current run
        for (std::uint64_t k = groups[g].first_entry; k < groups[g].end_entry; ++k) {
            const bool starts = starts_run(k, groups[g].first_entry);
            if (starts) table.runs[next_run++] = PixelRun{pixels[k], 0};
            ++table.runs[next_run - 1].count;
            if (weighted) table.steps[k] = starts ? 1 : static_cast<std::uint8_t>(pixels[k] - pixels[k - 1]);
        }
    }, 1);
    record_taken(ClaimPart::Shared, n_runs * sizeof(PixelRun) + (weighted ? total : 0));
    return table;
}

// Divides the weights of every bin by their sum (taken in entry order from
// -0.0) when that sum is greater than zero, and records sum * raw_units as
// the bin's raw scale (its raw weight in the units in which tables of
// several detectors add up).
void normalise_bin_weights(CsrLut& table, double raw_units) {
    table.raw_scale.assign(table.bins(), -0.0);
    pool::parallel_for_index(table.groups.size(), [&](std::size_t gi) {
        const BinGroup& g = table.groups[gi];
        double* sum = table.raw_scale.data() + g.first_bin;
        auto each = [&](auto local) {
            for (std::uint64_t k = g.first_entry; k < g.end_entry; ++k) sum[local[k]] += table.weights[k];
            for (std::uint64_t k = g.first_entry; k < g.end_entry; ++k) {
                const double s = sum[local[k]];
                if (s > 0.0) table.weights[k] /= s;
            }
        };
        if (table.wide_bins()) {
            each(table.local32.data());
        } else {
            each(table.local16.data());
        }
        for (std::uint64_t b = 0; b < g.end_bin - g.first_bin; ++b) sum[b] = (sum[b] > 0.0 ? sum[b] : 1.0) * raw_units;
    }, 1);
}

}  // namespace

EntryList::EntryList(EntryChunks& chunks, std::size_t c, std::uint64_t expected)
    : chunks_(chunks), out_(chunks.lists[c]) {
    grow(expected);
    next_stop_ = std::min<std::uint64_t>(out_.capacity(), kRecordedEntries);
}

void EntryList::stop() {
    if (out_.size() == out_.capacity()) {
        grow(out_.capacity() * 2);
    } else {
        record_written();
    }
    next_stop_ = std::min<std::uint64_t>(out_.capacity(), out_.size() + kRecordedEntries);
    // The next stretch, and those the other lists are writing meanwhile: a
    // call whose entries outgrow its claim goes on only while they fit in
    // what is really left.
    require_room_to_write(checked_mul((next_stop_ - out_.size()) * sizeof(Entry), chunks_.writers));
}

void EntryList::record_written() noexcept {
    const std::uint64_t fresh = out_.size() - recorded_;
    if (fresh == 0) return;
    recorded_ = out_.size();
    chunks_.written.fetch_add(fresh);
    record_taken(ClaimPart::Shared, fresh * sizeof(Entry));
}

void EntryList::grow(std::uint64_t capacity) {
    // A full list has written all it held.
    record_written();
    capacity = std::max<std::uint64_t>(capacity, kMinReservedEntries);
    const std::uint64_t added = capacity - out_.capacity();
    const std::uint64_t total = chunks_.reserved.fetch_add(added) + added;
    // The entries now, and later the pixel, bin, weight and step of each
    // entry; less the entries already written, which are in use.
    const std::uint64_t wanted = checked_mul(total, sizeof(Entry) + 2 * sizeof(std::uint32_t) + sizeof(double) + 1);
    require_memory_to_grow(wanted - std::min(wanted, chunks_.written.load() * sizeof(Entry)));
    out_.reserve(capacity);
}

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

CsrLut build_table(const TableLayout& layout, const FillRows& fill) {
    auto ranges = row_chunks(layout.dim1, layout.row_cost, layout.n_bins);
    EntryChunks chunks(ranges.size(), pool::current_thread_count());
    const std::uint64_t per_pixel = layout.weighted ? kReservedPerSplitPixel : kReservedPerPixel;
    pool::parallel_for_index(ranges.size(), [&](std::size_t c) {
        const auto [first, end] = ranges[c];
        EntryList out(chunks, c, (end - first) * layout.dim2 * per_pixel);
        fill(first, end, out);
    }, 1);
    CsrLut table = assemble(chunks, layout);
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
