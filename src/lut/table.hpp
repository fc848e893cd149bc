// Pixel-to-bin tables, laid out for reading the image in pixel order.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "buffer.hpp"

namespace karvelum::lut {

// Entries of one group whose pixels are consecutive pixels of one image row.
struct PixelRun {
    std::uint32_t pixel;  // of the first entry
    std::uint32_t count;  // entries
};

// Bins [first_bin, end_bin) and their entries [first_entry, end_entry), in
// runs [first_run, end_run).
struct BinGroup {
    std::uint64_t first_bin, end_bin;
    std::uint64_t first_run, end_run;
    std::uint64_t first_entry, end_entry;
};

// The normalisation sums per bin a table keeps for the arrays it was last
// used with (see lut/integrate.hpp).
struct NormalisationKeep {
    std::mutex mutex;
    std::weak_ptr<const void> normalisation, mask;
    bool masked = false;
    std::shared_ptr<const std::vector<double>> sums;
};

// The bins are cut into groups of consecutive bins with about equal entry
// counts. A group lists its entries in ascending pixel order (the entries of
// one pixel together, in the order the builder emitted them), so every bin
// sees its entries in ascending pixel order however the groups are run, and
// a kernel reads the image once, forwards. Groups own disjoint bins and run
// in parallel; a bin's sums are the same for every thread count.
//
// An entry's bin is stored relative to its group's first bin: 16 bits when
// no group spans more than 65,536 bins, 32 otherwise. A group's entries are
// cut into runs over consecutive pixels of one row. In unweighted tables
// (one entry per pixel at most, weight 1) the entries of a run are its
// pixels in turn; weighted tables give each entry its weight and its step
// from the previous entry's pixel (0 or 1; the first of a run steps onto
// the run's pixel). Tables remember the image shape they were built for and
// are applied only to images of that shape.
struct CsrLut {
    std::vector<BinGroup> groups;
    Buffer<PixelRun> runs;
    Buffer<std::uint8_t> steps;        // weighted tables: each entry's pixel step
    Buffer<std::uint16_t> local16;     // bin - group's first bin, when every group is narrow
    Buffer<std::uint32_t> local32;     // otherwise
    Buffer<double> weights;            // weighted tables: normalised per bin
    // Per bin: the factor that turns the bin's normalised weights back into
    // raw weights (empty: 1): overlap areas for pixel splitting, fractions of
    // a pixel for supersampling. Raw sums of several detectors add in these.
    Buffer<double> raw_scale;
    double start = 0.0;                // lower edge of bin 0
    double step = 0.0;                 // bin width
    std::uint64_t n_bins = 0;
    std::uint64_t n_entries = 0;
    std::uint64_t dim1 = 0, dim2 = 0;  // image shape the table belongs to
    std::shared_ptr<NormalisationKeep> kept = std::make_shared<NormalisationKeep>();

    std::uint64_t bins() const { return n_bins; }
    std::uint64_t entries() const { return n_entries; }
    std::uint64_t pixels() const { return dim1 * dim2; }
    bool weighted = false;             // unweighted: every weight is 1.0
    bool wide_bins() const { return !local32.empty(); }
};

struct CsrLut2d {
    CsrLut table;  // bins = n_radial * n_azimuthal, flat bin = radial + n_radial * azimuthal
    std::uint64_t n_radial = 0, n_azimuthal = 0;
};

}  // namespace karvelum::lut
