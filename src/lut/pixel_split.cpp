#include "lut/pixel_split.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "geometry.hpp"
#include "lut/csr_builder.hpp"
#include "math/numeric.hpp"
#include "memory.hpp"
#include "pool.hpp"

namespace karvelum::lut {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kTiny = 2.220446049250313e-16;

std::uint64_t euclid_mod(std::int64_t k, std::uint64_t n) {
    std::int64_t m = k % static_cast<std::int64_t>(n);
    return static_cast<std::uint64_t>(m < 0 ? m + static_cast<std::int64_t>(n) : m);
}

template <class Inside, class Intersect>
void clip_pass(const Polygon& in, Polygon& out, Inside inside, Intersect intersect) {
    out.n = 0;
    Vertex prev = in.v[in.n - 1];
    bool prev_in = inside(prev);
    for (int i = 0; i < in.n; ++i) {
        Vertex cur = in.v[i];
        bool cur_in = inside(cur);
        if (cur_in) {
            if (!prev_in) out.v[out.n++] = intersect(prev, cur);
            out.v[out.n++] = cur;
        } else if (prev_in) {
            out.v[out.n++] = intersect(prev, cur);
        }
        prev = cur;
        prev_in = cur_in;
    }
}

Vertex cross_vertical(Vertex prev, Vertex cur, double e) {
    if (std::fabs(cur.x - prev.x) < kTiny) return {e, prev.y};
    return {e, prev.y + (e - prev.x) / (cur.x - prev.x) * (cur.y - prev.y)};
}

Vertex cross_horizontal(Vertex prev, Vertex cur, double e) {
    if (std::fabs(cur.y - prev.y) < kTiny) return {prev.x, e};
    return {prev.x + (cur.x - prev.x) * ((e - prev.y) / (cur.y - prev.y)), e};
}

}  // namespace

void clip_polygon_to_rect(const Polygon& in, double x0, double x1, double y0, double y1, Polygon& out,
                          Polygon& scratch) {
    out.n = 0;
    if (in.n == 0) return;
    clip_pass(in, scratch, [&](Vertex v) { return v.x >= x0; }, [&](Vertex a, Vertex b) { return cross_vertical(a, b, x0); });
    if (scratch.n == 0) return;
    clip_pass(scratch, out, [&](Vertex v) { return v.x <= x1; }, [&](Vertex a, Vertex b) { return cross_vertical(a, b, x1); });
    if (out.n == 0) return;
    clip_pass(out, scratch, [&](Vertex v) { return v.y >= y0; }, [&](Vertex a, Vertex b) { return cross_horizontal(a, b, y0); });
    if (scratch.n == 0) {
        out.n = 0;
        return;
    }
    clip_pass(scratch, out, [&](Vertex v) { return v.y <= y1; }, [&](Vertex a, Vertex b) { return cross_horizontal(a, b, y1); });
}

double polygon_area(const Polygon& p) {
    double sum = 0.0;
    for (int i = 0; i < p.n; ++i) {
        const Vertex& a = p.v[i];
        const Vertex& b = p.v[(i + 1) % p.n];
        sum += a.x * b.y - b.x * a.y;
    }
    return 0.5 * sum;
}

CornerGeometry corner_geometry(const PoniGeometry& g, std::uint64_t dim1, std::uint64_t dim2, RadialUnit unit) {
    RadialConverter convert(unit, g.wavelength);
    const std::uint64_t cols = checked_add(dim2, 1);
    const std::uint64_t n = checked_mul(checked_add(dim1, 1), cols);
    checked_mul(n, 2 * sizeof(double));
    CornerGeometry out{Buffer<double>(n), Buffer<double>(n)};
    const geometry::Rotation rot(g);
    pool::parallel_write(n, ClaimPart::Shared, 2 * sizeof(double), [&](std::size_t k) {
        double d1 = static_cast<double>(k / cols), d2 = static_cast<double>(k % cols);
        geometry::LabPoint t = geometry::rotate(rot, geometry::point_offset(d1, g.pixel1, g.poni1),
                                                geometry::point_offset(d2, g.pixel2, g.poni2), g.distance);
        out.radial[k] = convert(geometry::two_theta_of(t));
        out.chi[k] = geometry::chi_of(t);
    });
    return out;
}

Polygon pixel_quadrilateral(const CornerGeometry& c, std::uint64_t dim2, std::uint64_t pixel, double pixel_chi) {
    const std::uint64_t row = pixel / dim2, col = pixel - row * dim2;
    const std::uint64_t k00 = row * (dim2 + 1) + col, k01 = k00 + 1, k10 = k00 + dim2 + 1, k11 = k10 + 1;
    auto unwrap = [&](double chi) {
        double d = chi - pixel_chi;
        if (d > kPi) return chi - kTwoPi;
        if (d < -kPi) return chi + kTwoPi;
        return chi;
    };
    Polygon p;
    p.n = 4;
    p.v[0] = {c.radial[k00], unwrap(c.chi[k00])};
    p.v[1] = {c.radial[k01], unwrap(c.chi[k01])};
    p.v[2] = {c.radial[k11], unwrap(c.chi[k11])};
    p.v[3] = {c.radial[k10], unwrap(c.chi[k10])};
    return p;
}

CsrLut build_pixel_split_lut_1d(const PoniGeometry& geometry, const GeometrySnapshot& snap, RadialUnit unit,
                                const RadialRange& range, std::uint64_t n_bins) {
    const std::uint64_t dim1 = snap.dim1, dim2 = snap.dim2;
    check_table_size(dim1, dim2, n_bins);
    if (snap.radial_values->size() != dim1 * dim2) throw Panic("radial values do not match the image shape");
    CornerGeometry corners = corner_geometry(geometry, dim1, dim2, unit);
    const math::Extent e =
        range ? math::Extent{range->first, range->second} : math::nan_ignoring_extent(corners.radial);
    const double start = e.lo, step = math::bin_width(e.lo, e.hi, n_bins);
    const Buffer<double>& radial = *snap.radial_values;
    const Buffer<double>& chi = *snap.chi;
    const std::int64_t bins = static_cast<std::int64_t>(n_bins);

    // Raw weights stay overlap areas (radial unit x radian), the units in
    // which pixel-splitting tables of several detectors add up.
    const TableLayout layout{.dim1 = dim1, .dim2 = dim2, .n_bins = n_bins, .start = start, .step = step,
                         .row_cost = dim2 * 8, .weighted = true, .raw_units = 1.0};
    return build_table(layout, [&](std::uint64_t first, std::uint64_t end, EntryList& out) {
        Polygon clipped, scratch;
        for (std::uint64_t p = first * dim2; p < end * dim2; ++p) {
            Polygon quad = pixel_quadrilateral(corners, dim2, p, chi[p]);
            if (polygon_area(quad) == 0.0) {
                double t = (radial[p] - start) / step;
                if (!(t >= 0.0)) continue;
                std::int64_t b = math::saturating_i64(std::floor(t));
                if (b < bins) out.push(static_cast<std::uint64_t>(b), p, 1.0);
                continue;
            }
            double rmin = quad.v[0].x, rmax = quad.v[0].x, cmin = quad.v[0].y, cmax = quad.v[0].y;
            for (int i = 1; i < 4; ++i) {
                rmin = std::min(rmin, quad.v[i].x);
                rmax = std::max(rmax, quad.v[i].x);
                cmin = std::min(cmin, quad.v[i].y);
                cmax = std::max(cmax, quad.v[i].y);
            }
            if (std::isnan(rmin) || std::isnan(rmax)) continue;
            std::int64_t b_hi = math::saturating_i64(std::floor((rmax - start) / step));
            std::int64_t b_lo = math::saturating_i64(std::floor((rmin - start) / step));
            if (b_hi < 0 || b_lo >= bins) continue;
            for (std::int64_t b = std::max<std::int64_t>(b_lo, 0); b <= std::min(b_hi, bins - 1); ++b) {
                double e0 = start + step * static_cast<double>(b);
                double e1 = step + e0;
                clip_polygon_to_rect(quad, e0, e1, cmin, cmax, clipped, scratch);
                if (clipped.n < 3) continue;
                double a = polygon_area(clipped);
                if (a != 0.0) out.push(static_cast<std::uint64_t>(b), p, std::fabs(a));
            }
        }
    });
}

CsrLut2d build_pixel_split_lut_2d(const PoniGeometry& geometry, const GeometrySnapshot& snap, RadialUnit unit,
                                  std::uint64_t n_radial, std::uint64_t n_azimuthal, const AzimuthalRange& range) {
    const std::uint64_t n_bins = checked_mul(n_radial, n_azimuthal);
    check_table_size(snap.dim1, snap.dim2, n_bins);
    const std::uint64_t dim2 = snap.dim2;
    if (snap.radial_values->size() != snap.pixels() || snap.chi->size() != snap.pixels()) {
        throw Panic("per-pixel arrays do not match the image shape");
    }
    CornerGeometry corners = corner_geometry(geometry, snap.dim1, dim2, unit);
    const RadialBins rb = RadialBins::spanning(math::nan_ignoring_extent(corners.radial), n_radial);
    const AzimuthalBins ab = azimuthal_bins(math::nan_ignoring_extent(corners.chi), n_azimuthal, range);
    const Buffer<double>& radial = *snap.radial_values;
    const Buffer<double>& chi = *snap.chi;
    const std::int64_t nr = static_cast<std::int64_t>(n_radial);
    const std::int64_t na = static_cast<std::int64_t>(n_azimuthal);
    const double az_step = ab.step;

    const TableLayout layout{.dim1 = snap.dim1, .dim2 = dim2, .n_bins = n_bins, .start = rb.start, .step = rb.step,
                         .row_cost = dim2 * 8, .weighted = true, .raw_units = 1.0};
    CsrLut table = build_table(layout, [&](std::uint64_t first, std::uint64_t end, EntryList& out) {
        Polygon clipped, scratch;
        std::vector<std::pair<std::uint64_t, double>> pieces;  // (bin, area) of one pixel
        for (std::uint64_t p = first * dim2; p < end * dim2; ++p) {
            Polygon quad = pixel_quadrilateral(corners, dim2, p, chi[p]);
            if (polygon_area(quad) == 0.0) {
                const std::uint64_t r = rb.bin(radial[p]);
                std::optional<std::uint64_t> a;
                if (ab.ranged) {
                    a = ab.bin(chi[p]);
                } else {
                    a = euclid_mod(math::saturating_i64(std::floor((chi[p] - ab.start) / az_step)), n_azimuthal);
                }
                if (a) out.push(r + n_radial * *a, p, 1.0);
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
                    // A pixel across the seam reaches cells one turn on, which
                    // wrap onto the first ones. More than a few turns only
                    // happen when the pixel centres cover a sliver of azimuth
                    // while one pixel surrounds the beam; the cap keeps such a
                    // build finite.
                    k_hi = std::min(k_hi, k_lo + 8 * na - 1);
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
                out.push(pieces[i].first, p, area);
                i = j;
            }
        }
    });
    return {std::move(table), n_radial, n_azimuthal};
}

}  // namespace karvelum::lut
