#include "lut/counting_csr.hpp"

#include <optional>

#include "errors.hpp"
#include "lut/csr_builder.hpp"
#include "math/numeric.hpp"
#include "pool.hpp"

namespace karvelum::lut {

namespace {

// `bin_of` returns the bin of a value, or nullopt to leave the pixel out.
template <class BinOf>
CsrLut build(std::span<const double> values, std::uint64_t dim1, std::uint64_t dim2, std::uint64_t n_bins,
             BinOf&& bin_of) {
    check_table_size(dim1, dim2, n_bins);
    if (values.size() != dim1 * dim2) throw Panic("counting table: one value per pixel expected");
    auto ranges = row_chunks(dim1, dim2, n_bins);
    EntryChunks chunks(ranges.size());
    pool::parallel_for_index(ranges.size(), [&](std::size_t c) {
        EntryList out(chunks, c, (ranges[c].second - ranges[c].first) * dim2);
        for (std::uint64_t p = ranges[c].first * dim2; p < ranges[c].second * dim2; ++p) {
            if (std::optional<std::uint64_t> b = bin_of(values[p])) {
                out.push(static_cast<std::uint32_t>(*b), static_cast<std::uint32_t>(p), 1.0);
            }
        }
    }, 1);
    return assemble_csr(chunks, n_bins, false);
}

}  // namespace

CsrLut build_counting_lut_1d(std::span<const double> values, std::uint64_t dim1, std::uint64_t dim2,
                             std::uint64_t n_bins) {
    if (n_bins == 0) throw Panic("counting table needs at least one bin");
    math::Extent e = math::nan_ignoring_extent(values);
    const double start = e.lo, step = math::bin_width(e.lo, e.hi, n_bins);
    CsrLut table = build(values, dim1, dim2, n_bins, [&](double x) -> std::optional<std::uint64_t> {
        return math::clamped_bin(x, start, step, n_bins);
    });
    set_binning(table, start, step, dim1, dim2);
    return table;
}

CsrLut build_counting_lut_1d_ranged(std::span<const double> values, std::uint64_t dim1, std::uint64_t dim2,
                                    double lo, double hi, std::uint64_t n_bins) {
    if (n_bins == 0) throw Panic("counting table needs at least one bin");
    const double step = math::bin_width(lo, hi, n_bins);
    CsrLut table = build(values, dim1, dim2, n_bins, [&](double x) -> std::optional<std::uint64_t> {
        if (!(x >= lo && x < hi)) return std::nullopt;
        return math::clamped_bin(x, lo, step, n_bins);
    });
    set_binning(table, lo, step, dim1, dim2);
    return table;
}

}  // namespace karvelum::lut
