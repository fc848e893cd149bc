#include "lut/azimuthal.hpp"

#include <algorithm>
#include <cmath>

#include "errors.hpp"
#include "geometry.hpp"
#include "lut/csr_builder.hpp"
#include "lut/pixel_split.hpp"
#include "lut/supersampled.hpp"
#include "math/numeric.hpp"
#include "pool.hpp"

namespace karvelum::lut {

namespace {

constexpr double kTwoPi = 6.283185307179586;

std::uint64_t euclid_mod(std::int64_t k, std::uint64_t n) {
    std::int64_t m = k % static_cast<std::int64_t>(n);
    return static_cast<std::uint64_t>(m < 0 ? m + static_cast<std::int64_t>(n) : m);
}

void check_counts(std::uint64_t dim1, std::uint64_t dim2, std::uint64_t n_radial, std::uint64_t n_azimuthal) {
    if (n_radial == 0 || n_azimuthal == 0) throw Panic("2D tables need at least one bin in each direction");
    check_table_size(dim1, dim2, checked_mul(n_radial, n_azimuthal));
}

CsrLut2d finish(CsrLut&& table, const GeometrySnapshot& snap, const RadialBins& rb, std::uint64_t n_azimuthal) {
    CsrLut2d out;
    out.table = std::move(table);
    set_binning(out.table, rb.start, rb.step, snap.dim1, snap.dim2);
    out.n_radial = rb.n;
    out.n_azimuthal = n_azimuthal;
    return out;
}

RadialBins radial_spanning(math::Extent e, std::uint64_t n) { return {n, e.lo, math::bin_width(e.lo, e.hi, n)}; }

AzimuthalBins azimuthal_bins(math::Extent chi, std::uint64_t n, const AzimuthalRange& range) {
    if (range) return AzimuthalBins::from_range(range->first, range->second, n);
    return AzimuthalBins::spanning(chi.lo, chi.hi, n, 2.220446049250313e-15);
}

}  // namespace

AzimuthalBins AzimuthalBins::from_range(double lo, double hi, std::uint64_t n) {
    AzimuthalBins b;
    b.n = n;
    b.step = (hi - lo) / static_cast<double>(n);
    if (!(b.step > 0.0) || !std::isfinite(b.step) || !std::isfinite(lo)) {
        throw ValueError("azimuthal_step must be positive");
    }
    b.start = lo;
    b.ranged = true;
    b.lo = lo;
    b.hi = hi;
    return b;
}

AzimuthalBins AzimuthalBins::spanning(double lo, double hi, std::uint64_t n, double margin) {
    AzimuthalBins b;
    b.n = n;
    b.start = lo;
    b.step = (hi + margin - lo) / static_cast<double>(n);
    return b;
}

double AzimuthalBins::into_turn(double chi) const {
    double c = chi - kTwoPi * std::floor((chi - lo) / kTwoPi);
    if (c < lo) c += kTwoPi;
    if (c >= lo + kTwoPi) c -= kTwoPi;
    return c;
}

std::optional<std::uint64_t> AzimuthalBins::bin(double chi) const {
    if (!ranged) {
        const std::uint64_t u = math::saturating_u64((chi - start) / step);
        return u < n ? u : u % n;  // the remainder only when it differs
    }
    double c = into_turn(chi);
    if (!(c >= lo && c < hi && c < lo + kTwoPi)) return std::nullopt;
    return std::min(math::saturating_u64((c - start) / step), n - 1);
}

std::uint64_t RadialBins::bin(double r) const { return math::clamped_bin(r, start, step, n); }

std::pair<RadialBins, AzimuthalBins> histogram_bins_2d(const GeometrySnapshot& snap, std::uint64_t n_radial,
                                                       std::uint64_t n_azimuthal, const AzimuthalRange& range) {
    return {radial_spanning(snap.radial_extent, n_radial), azimuthal_bins(snap.chi_extent, n_azimuthal, range)};
}

CsrLut2d build_counting_lut_2d(const GeometrySnapshot& snap, std::uint64_t n_radial, std::uint64_t n_azimuthal,
                               const AzimuthalRange& range) {
    check_counts(snap.dim1, snap.dim2, n_radial, n_azimuthal);
    const RadialBins rb = radial_spanning(snap.radial_extent, n_radial);
    const AzimuthalBins ab = azimuthal_bins(snap.chi_extent, n_azimuthal, range);
    const Buffer<double>& radial = *snap.radial_values;
    const Buffer<double>& chi = *snap.chi;
    const std::uint64_t dim2 = snap.dim2;
    auto ranges = row_chunks(snap.dim1, dim2, n_radial * n_azimuthal);
    EntryChunks chunks(ranges.size());
    pool::parallel_for_index(ranges.size(), [&](std::size_t c) {
        EntryList out(chunks, c, (ranges[c].second - ranges[c].first) * dim2);
        for (std::uint64_t p = ranges[c].first * dim2; p < ranges[c].second * dim2; ++p) {
            if (std::optional<std::uint64_t> a = ab.bin(chi[p])) {
                out.push(static_cast<std::uint32_t>(rb.bin(radial[p]) + n_radial * *a),
                                    static_cast<std::uint32_t>(p), 1.0);
            }
        }
    }, 1);
    return finish(assemble_csr(chunks, n_radial * n_azimuthal, false), snap, rb, n_azimuthal);
}

CsrLut2d build_pixel_split_lut_2d(const PoniGeometry& geometry, const GeometrySnapshot& snap, RadialUnit unit,
                                  std::uint64_t n_radial, std::uint64_t n_azimuthal, const AzimuthalRange& range) {
    check_counts(snap.dim1, snap.dim2, n_radial, n_azimuthal);
    const std::uint64_t dim2 = snap.dim2;
    if (snap.radial_values->size() != snap.pixels() || snap.chi->size() != snap.pixels()) {
        throw Panic("per-pixel arrays do not match the image shape");
    }
    CornerGeometry corners = corner_geometry(geometry, snap.dim1, dim2, unit);
    const RadialBins rb = radial_spanning(math::nan_ignoring_extent(corners.radial), n_radial);
    const AzimuthalBins ab = azimuthal_bins(math::nan_ignoring_extent(corners.chi), n_azimuthal, range);
    const Buffer<double>& radial = *snap.radial_values;
    const Buffer<double>& chi = *snap.chi;
    const std::int64_t nr = static_cast<std::int64_t>(n_radial);
    const std::int64_t na = static_cast<std::int64_t>(n_azimuthal);
    const double az_step = ab.step;

    auto ranges = row_chunks(snap.dim1, dim2 * 8, n_radial * n_azimuthal);
    EntryChunks chunks(ranges.size());
    pool::parallel_for_index(ranges.size(), [&](std::size_t c) {
        EntryList out(chunks, c, (ranges[c].second - ranges[c].first) * dim2 * 2);
        Polygon clipped, scratch;
        std::vector<std::pair<std::uint64_t, double>> pieces;  // (bin, area) of one pixel
        for (std::uint64_t p = ranges[c].first * dim2; p < ranges[c].second * dim2; ++p) {
            const std::uint32_t pixel = static_cast<std::uint32_t>(p);
            Polygon quad = pixel_quadrilateral(corners, dim2, p, chi[p]);
            if (polygon_area(quad) == 0.0) {
                const std::uint64_t r = rb.bin(radial[p]);
                std::optional<std::uint64_t> a;
                if (ab.ranged) {
                    a = ab.bin(chi[p]);
                } else {
                    a = euclid_mod(math::saturating_i64(std::floor((chi[p] - ab.start) / az_step)), n_azimuthal);
                }
                if (a) out.push(static_cast<std::uint32_t>(r + n_radial * *a), pixel, 1.0);
                continue;
            }
            double rmin = quad.v[0].x, rmax = quad.v[0].x;
            for (int i = 1; i < 4; ++i) rmin = std::min(rmin, quad.v[i].x), rmax = std::max(rmax, quad.v[i].x);
            if (std::isnan(rmin) || std::isnan(rmax)) continue;
            const std::int64_t r_hi = math::saturating_i64(std::floor((rmax - rb.start) / rb.step));
            const std::int64_t r_lo = math::saturating_i64(std::floor((rmin - rb.start) / rb.step));
            if (r_hi < 0 || r_lo >= nr) continue;

            // With a range, the pixel is moved by whole turns so that its
            // centre lies in [min, min + 2 pi); parts of it beyond either end
            // of that turn are the same angles one turn away.
            double base_shift = ab.ranged ? ab.into_turn(chi[p]) - chi[p] : 0.0;
            const double turn_shifts[3] = {0.0, kTwoPi, -kTwoPi};
            const int copies = ab.ranged ? 3 : 1;
            pieces.clear();
            for (int copy = 0; copy < copies; ++copy) {
                Polygon shifted = quad;
                const double shift = base_shift + turn_shifts[copy];
                for (int i = 0; i < 4; ++i) shifted.v[i].y += shift;
                double ymin = shifted.v[0].y, ymax = shifted.v[0].y;
                for (int i = 1; i < 4; ++i) ymin = std::min(ymin, shifted.v[i].y), ymax = std::max(ymax, shifted.v[i].y);
                std::int64_t k_lo = math::saturating_i64(std::floor((ymin - ab.start) / az_step));
                std::int64_t k_hi = math::saturating_i64(std::floor((ymax - ab.start) / az_step));
                if (ab.ranged) {
                    k_lo = std::max<std::int64_t>(k_lo, 0);
                    k_hi = std::min<std::int64_t>(k_hi, na - 1);
                } else {
                    k_hi = std::min(k_hi, k_lo + na - 1);  // never more cells than exist
                }
                for (std::int64_t k = k_lo; k <= k_hi; ++k) {
                    double y0 = ab.start + az_step * static_cast<double>(k);
                    double y1 = az_step + y0;
                    if (ab.ranged) {
                        y0 = std::max(y0, ab.lo);
                        y1 = std::min({y1, ab.hi, ab.lo + kTwoPi});
                        if (!(y1 > y0)) continue;
                    }
                    const std::uint64_t a = ab.ranged ? static_cast<std::uint64_t>(k) : euclid_mod(k, n_azimuthal);
                    for (std::int64_t i = std::max<std::int64_t>(r_lo, 0); i <= std::min(r_hi, nr - 1); ++i) {
                        const double e0 = rb.start + rb.step * static_cast<double>(i);
                        clip_polygon_to_rect(shifted, e0, rb.step + e0, y0, y1, clipped, scratch);
                        if (clipped.n < 3) continue;
                        const double area = polygon_area(clipped);
                        if (area != 0.0) pieces.emplace_back(static_cast<std::uint64_t>(i) + n_radial * a, std::fabs(area));
                    }
                }
            }
            // One entry per (pixel, bin): pieces of the same bin are added.
            std::sort(pieces.begin(), pieces.end(),
                      [](const auto& x, const auto& y) { return x.first < y.first; });
            for (std::size_t i = 0; i < pieces.size();) {
                double area = pieces[i].second;
                std::size_t j = i + 1;
                for (; j < pieces.size() && pieces[j].first == pieces[i].first; ++j) area += pieces[j].second;
                out.push(static_cast<std::uint32_t>(pieces[i].first), pixel, area);
                i = j;
            }
        }
    }, 1);
    CsrLut table = assemble_csr(chunks, n_radial * n_azimuthal, true);
    normalise_bin_weights(table, 1.0);
    return finish(std::move(table), snap, rb, n_azimuthal);
}

CsrLut2d build_supersampled_lut_2d(const PoniGeometry& g, const GeometrySnapshot& snap, RadialUnit unit,
                                   std::uint64_t n_radial, std::uint64_t n_azimuthal, std::uint64_t n_ss,
                                   const AzimuthalRange& range) {
    check_counts(snap.dim1, snap.dim2, n_radial, n_azimuthal);
    if (n_ss == 0) throw ValueError("n_ss must be positive");
    AzimuthalBins ab;
    if (range) ab = AzimuthalBins::from_range(range->first, range->second, n_azimuthal);
    const RadialSpan span = compute_radial_range(g, snap, n_radial, n_ss, unit);
    const RadialBins rb{n_radial, span.lo, span.step};
    if (!range) {
        auto [d1, d2] = detector_edge_points(snap.dim1, snap.dim2, n_ss);
        auto edge_chi = geometry::two_theta_chi_for_points(g, d1, d2).second;
        math::Extent pixels = snap.chi_extent;
        math::Extent edges = math::nan_ignoring_extent(edge_chi);
        ab = AzimuthalBins::spanning(std::fmin(pixels.lo, edges.lo), std::fmax(pixels.hi, edges.hi), n_azimuthal,
                                     6.661338147750939e-16);
    }
    RadialConverter convert(unit, g.wavelength);
    CsrLut table = build_supersampled_table(
        g, snap.dim1, snap.dim2, n_ss, n_radial * n_azimuthal, [&](const geometry::LabPoint& t) {
            std::optional<std::uint64_t> az = ab.bin(geometry::chi_of(t));
            if (!az) return az;
            return std::optional<std::uint64_t>(rb.bin(convert(geometry::two_theta_of(t))) + n_radial * *az);
        });
    return finish(std::move(table), snap, rb, n_azimuthal);
}

}  // namespace karvelum::lut
