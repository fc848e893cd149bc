#include "lut/counting_csr.hpp"

#include <optional>

#include "errors.hpp"
#include "lut/csr_builder.hpp"
#include "math/numeric.hpp"

namespace karvelum::lut {

namespace {

// `bin_of(p)` returns the bin of pixel p, or nullopt to leave it out.
template <class BinOf>
CsrLut build(std::uint64_t dim1, std::uint64_t dim2, std::uint64_t n_bins, double start, double step,
             BinOf&& bin_of) {
    const TableLayout layout{.dim1 = dim1, .dim2 = dim2, .n_bins = n_bins, .start = start, .step = step, .row_cost = dim2};
    return build_table(layout, [&](std::uint64_t first, std::uint64_t end, EntryList& out) {
        for (std::uint64_t p = first * dim2; p < end * dim2; ++p) {
            if (std::optional<std::uint64_t> b = bin_of(p)) out.push(*b, p, 1.0);
        }
    });
}

void check_values(std::span<const double> values, std::uint64_t dim1, std::uint64_t dim2, std::uint64_t n_bins) {
    check_table_size(dim1, dim2, n_bins);
    if (values.size() != dim1 * dim2) throw Panic("counting table: one value per pixel expected");
}

}  // namespace

CsrLut build_counting_lut_1d(std::span<const double> values, std::uint64_t dim1, std::uint64_t dim2,
                             std::uint64_t n_bins) {
    check_values(values, dim1, dim2, n_bins);
    math::Extent e = math::nan_ignoring_extent(values);
    const double start = e.lo, step = math::bin_width(e.lo, e.hi, n_bins);
    return build(dim1, dim2, n_bins, start, step, [&](std::uint64_t p) -> std::optional<std::uint64_t> {
        return math::clamped_bin(values[p], start, step, n_bins);
    });
}

CsrLut build_counting_lut_1d_ranged(std::span<const double> values, std::uint64_t dim1, std::uint64_t dim2,
                                    double lo, double hi, std::uint64_t n_bins) {
    check_values(values, dim1, dim2, n_bins);
    const double step = math::bin_width(lo, hi, n_bins);
    return build(dim1, dim2, n_bins, lo, step, [&](std::uint64_t p) -> std::optional<std::uint64_t> {
        const double x = values[p];
        if (!(x >= lo && x < hi)) return std::nullopt;
        return math::clamped_bin(x, lo, step, n_bins);
    });
}

CsrLut2d build_counting_lut_2d(const GeometrySnapshot& snap, std::uint64_t n_radial, std::uint64_t n_azimuthal,
                               const AzimuthalRange& range) {
    const std::uint64_t n_bins = checked_mul(n_radial, n_azimuthal);
    check_table_size(snap.dim1, snap.dim2, n_bins);
    const RadialBins rb = RadialBins::spanning(snap.radial_extent, n_radial);
    const AzimuthalBins ab = azimuthal_bins(snap.chi_extent, n_azimuthal, range);
    const Buffer<double>& radial = *snap.radial_values;
    const Buffer<double>& chi = *snap.chi;
    auto cell_of = [&](std::uint64_t p) -> std::optional<std::uint64_t> {
        const std::optional<std::uint64_t> a = ab.bin(chi[p]);
        if (!a) return a;
        return rb.bin(radial[p]) + n_radial * *a;
    };
    return {build(snap.dim1, snap.dim2, n_bins, rb.start, rb.step, cell_of), n_radial, n_azimuthal};
}

}  // namespace karvelum::lut
