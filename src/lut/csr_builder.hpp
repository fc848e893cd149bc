// The one way pixel-to-bin tables are built.
//
// A build walks the image in chunks of consecutive rows, in parallel; a
// method's fill function emits the (bin, pixel, weight) entries of one chunk
// in ascending pixel order. Assembly places every chunk's entries after those
// of earlier chunks, so the entries of a bin are in ascending pixel order
// whatever the chunking and the thread count.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "lut/table.hpp"

namespace karvelum::lut {

struct Entry {
    std::uint32_t bin;
    std::uint32_t pixel;
    double weight;
};

struct EntryChunks;

// Appends entries to one chunk of a build.
class EntryList {
public:
    EntryList(EntryChunks& chunks, std::size_t c, std::uint64_t expected);
    EntryList(const EntryList&) = delete;
    EntryList& operator=(const EntryList&) = delete;
    ~EntryList() { record_written(); }
    void push(std::uint64_t bin, std::uint64_t pixel, double weight) {
        if (out_.size() == next_stop_) stop();
        out_.push_back(Entry{static_cast<std::uint32_t>(bin), static_cast<std::uint32_t>(pixel), weight});
    }

private:
    // Entries written between two records of what the build has taken.
    static constexpr std::uint64_t kRecordedEntries = std::uint64_t(1) << 16;
    // The list is full, or has written kRecordedEntries since its last record.
    void stop();
    void grow(std::uint64_t capacity);
    // The entries written since the last record are taken by the build.
    void record_written() noexcept;
    EntryChunks& chunks_;
    Buffer<Entry>& out_;
    std::uint64_t recorded_ = 0;  // entries of this list recorded as taken
    std::uint64_t next_stop_ = 0;
};

struct TableLayout {
    std::uint64_t dim1 = 0, dim2 = 0;  // image shape
    std::uint64_t n_bins = 0;
    double start = 0.0, step = 0.0;    // radial binning, recorded in the table
    std::uint64_t row_cost = 0;        // work per image row, for the chunking
    // Unweighted tables keep no weights (every weight 1). Weighted ones are
    // normalised per bin, the bin's sum * raw_units kept as its raw scale.
    bool weighted = false;
    double raw_units = 1.0;
};

// `fill(first_row, end_row, out)` emits the entries of rows
// [first_row, end_row) in ascending pixel order; it runs once per chunk.
using FillRows = std::function<void(std::uint64_t, std::uint64_t, EntryList&)>;
CsrLut build_table(const TableLayout& layout, const FillRows& fill);

// The row ranges [begin, end) a build cuts the rows into: a few per thread of
// the pool, fewer for tables with very many bins.
std::vector<std::pair<std::uint64_t, std::uint64_t>> row_chunks(std::uint64_t rows, std::uint64_t row_cost,
                                                                  std::uint64_t n_bins);

// Entries a chunk reserves per pixel before it grows (doubling): counting
// puts a pixel in at most one bin, split pixels mostly in two; and its
// smallest reservation.
inline constexpr std::uint64_t kReservedPerPixel = 1;
inline constexpr std::uint64_t kReservedPerSplitPixel = 2;
inline constexpr std::uint64_t kMinReservedEntries = 4096;

// Entries per group of bins at least, and groups at most: enough groups to
// share a large table among the threads, few enough that the runs stay short
// lists.
inline constexpr std::uint64_t kGroupEntries = 1 << 14;
inline constexpr std::uint64_t kMaxGroups = 32;

// Refuses tables without bins (Panic), and shapes whose pixel indices do not
// fit the table's index type and bin counts beyond it (both reported as
// allocation failures).
void check_table_size(std::uint64_t dim1, std::uint64_t dim2, std::uint64_t n_bins);

}  // namespace karvelum::lut
