// Assembly of pixel-to-bin tables from per-chunk entry lists.
//
// Builders walk the image in chunks of consecutive pixels, in parallel, and
// emit (bin, pixel, weight) entries in ascending pixel order within a chunk.
// Assembly places every chunk's entries after those of earlier chunks, so the
// entries of a bin are in ascending pixel order whatever the chunking and the
// thread count.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "lut/table.hpp"

namespace karvelum::lut {

struct Entry {
    std::uint32_t bin;
    std::uint32_t pixel;
    double weight;
};

// The entry lists of all chunks of one build. Their growth is accounted
// together, so a table too large for the machine fails as an allocation
// failure instead of exhausting memory.
struct EntryChunks {
    explicit EntryChunks(std::size_t n) : lists(n) {}
    std::vector<Buffer<Entry>> lists;
    std::atomic<std::uint64_t> reserved{0};
    std::size_t size() const { return lists.size(); }
};

// Appends entries to chunk c of `chunks`.
class EntryList {
public:
    EntryList(EntryChunks& chunks, std::size_t c, std::uint64_t expected);
    void push(std::uint64_t bin, std::uint64_t pixel, double weight) {
        if (out_.size() == out_.capacity()) grow(out_.capacity() * 2);
        out_.push_back(Entry{static_cast<std::uint32_t>(bin), static_cast<std::uint32_t>(pixel), weight});
    }

private:
    void grow(std::uint64_t capacity);
    EntryChunks& chunks_;
    Buffer<Entry>& out_;
};

// Row ranges [begin, end) covering 0 .. rows-1 in order, a few per thread
// (fewer for tables with very many bins).
std::vector<std::pair<std::uint64_t, std::uint64_t>> row_chunks(std::uint64_t rows, std::uint64_t row_cost,
                                                                  std::uint64_t n_bins);

// Builds the table; weights are kept when `weighted` is true.
CsrLut assemble_csr(const EntryChunks& chunks, std::uint64_t n_bins, bool weighted);

// Divides the weights of every bin by their sum (taken in entry order from
// -0.0) when that sum is greater than zero, and records sum * raw_units as
// the bin's raw scale (its raw weight in the units in which tables of
// several detectors add up).
void normalise_bin_weights(CsrLut& table, double raw_units);

// Records the radial binning and the image shape a table was built for.
inline void set_binning(CsrLut& table, double start, double step, std::uint64_t dim1, std::uint64_t dim2) {
    table.start = start;
    table.step = step;
    table.dim1 = dim1;
    table.dim2 = dim2;
}

// Refuses shapes whose pixel indices do not fit the table's index type, and
// bin counts beyond it; both are reported as allocation failures.
void check_table_size(std::uint64_t dim1, std::uint64_t dim2, std::uint64_t n_bins);

}  // namespace karvelum::lut
