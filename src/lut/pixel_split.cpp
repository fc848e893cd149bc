#include "lut/pixel_split.hpp"

#include <algorithm>
#include <cmath>

#include "errors.hpp"
#include "geometry.hpp"
#include "lut/csr_builder.hpp"
#include "math/numeric.hpp"
#include "pool.hpp"

namespace karvelum::lut {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kTiny = 2.220446049250313e-16;

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
    pool::parallel_for_index(n, [&](std::size_t k) {
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
    if (n_bins == 0) throw Panic("pixel-splitting table needs at least one bin");
    const std::uint64_t dim1 = snap.dim1, dim2 = snap.dim2;
    check_table_size(dim1, dim2, n_bins);
    if (snap.radial_values->size() != dim1 * dim2) throw Panic("radial values do not match the image shape");
    CornerGeometry corners = corner_geometry(geometry, dim1, dim2, unit);
    double start, step;
    if (range) {
        start = range->first;
        step = math::bin_width(range->first, range->second, n_bins);
    } else {
        math::Extent e = math::nan_ignoring_extent(corners.radial);
        start = e.lo;
        step = math::bin_width(e.lo, e.hi, n_bins);
    }
    const Buffer<double>& radial = *snap.radial_values;
    const Buffer<double>& chi = *snap.chi;
    const std::int64_t bins = static_cast<std::int64_t>(n_bins);

    auto ranges = row_chunks(dim1, dim2 * 8, n_bins);
    EntryChunks chunks(ranges.size());
    pool::parallel_for_index(ranges.size(), [&](std::size_t c) {
        EntryList out(chunks, c, (ranges[c].second - ranges[c].first) * dim2 * 2);
        Polygon clipped, scratch;
        for (std::uint64_t p = ranges[c].first * dim2; p < ranges[c].second * dim2; ++p) {
            Polygon quad = pixel_quadrilateral(corners, dim2, p, chi[p]);
            const std::uint32_t pixel = static_cast<std::uint32_t>(p);
            if (polygon_area(quad) == 0.0) {
                double t = (radial[p] - start) / step;
                if (!(t >= 0.0)) continue;
                std::int64_t b = math::saturating_i64(std::floor(t));
                if (b < bins) out.push(static_cast<std::uint32_t>(b), pixel, 1.0);
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
                if (a != 0.0) out.push(static_cast<std::uint32_t>(b), pixel, std::fabs(a));
            }
        }
    }, 1);
    CsrLut table = assemble_csr(chunks, n_bins, true);
    // Raw weights stay overlap areas (radial unit x radian), the units in
    // which pixel-splitting tables of several detectors add up.
    normalise_bin_weights(table, 1.0);
    set_binning(table, start, step, dim1, dim2);
    return table;
}

}  // namespace karvelum::lut
