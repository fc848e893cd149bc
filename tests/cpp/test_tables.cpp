#include <cmath>
#include <memory>

#include "check.hpp"
#include "errors.hpp"
#include "integration.hpp"
#include "integration/corrections.hpp"
#include "integration/integrate1d.hpp"
#include "lut/counting_csr.hpp"
#include "lut/integrate.hpp"
#include "lut/pixel_split.hpp"
#include "lut/supersampled.hpp"
#include "math/histogram.hpp"
#include "math/numeric.hpp"

using namespace karvelum;
using namespace karvelum::integration;

namespace {

std::shared_ptr<IntegratorCore> tilted_core(MethodKind kind) {
    auto core = std::make_shared<IntegratorCore>();
    PoniGeometry& g = core->geometry;
    g.pixel1 = 1e-4;
    g.pixel2 = 1.3e-4;
    g.distance = 0.05;
    g.poni1 = 1.1e-3;
    g.poni2 = 2.3e-3;
    g.rot1 = 0.2;
    g.rot2 = -0.1;
    g.rot3 = 0.3;
    g.wavelength = 1e-10;
    core->method = {kind, kind == MethodKind::Supersampled ? 3u : 0u};
    return core;
}

Lut1dCacheKey key_of(const IntegratorCore& core, std::uint64_t n, RadialRange range = std::nullopt) {
    return {core.method.kind, range, n, core.method.n_ss, core.unit};
}

lut::Polygon polygon(std::initializer_list<lut::Vertex> vs) {
    lut::Polygon p;
    for (const lut::Vertex& v : vs) p.v[p.n++] = v;
    return p;
}


}  // namespace

TEST(clipping_a_square_gives_the_overlap_rectangle) {
    lut::Polygon square = polygon({{0, 0}, {2, 0}, {2, 2}, {0, 2}}), out, scratch;
    lut::clip_polygon_to_rect(square, 0.5, 1.25, -1, 3, out, scratch);
    CHECK_CLOSE(std::fabs(lut::polygon_area(out)), 0.75 * 2, 1e-15);
    lut::clip_polygon_to_rect(square, 3, 4, 0, 2, out, scratch);
    CHECK(out.n == 0);
    // A triangle cut by a vertical line: the left part of x + y <= 2.
    lut::Polygon tri = polygon({{0, 0}, {2, 0}, {0, 2}});
    lut::clip_polygon_to_rect(tri, 0, 1, 0, 2, out, scratch);
    CHECK_CLOSE(std::fabs(lut::polygon_area(out)), 1.5, 1e-15);
}

TEST(clipped_pieces_of_a_quadrilateral_add_up_to_its_area) {
    lut::Polygon quad = polygon({{0.13, -0.4}, {1.71, -0.22}, {1.52, 0.61}, {0.31, 0.48}}), out, scratch;
    double whole = std::fabs(lut::polygon_area(quad));
    double sum = 0.0;
    for (int b = 0; b < 20; ++b) {
        lut::clip_polygon_to_rect(quad, 0.1 * b, 0.1 * (b + 1), -0.4, 0.61, out, scratch);
        if (out.n >= 3) sum += std::fabs(lut::polygon_area(out));
    }
    CHECK_CLOSE(sum, whole, 1e-13);
}

TEST(every_table_bin_weighs_one_and_lists_pixels_in_order) {
    for (MethodKind kind : {MethodKind::Counting, MethodKind::PixelSplit, MethodKind::Supersampled}) {
        auto core = tilted_core(kind);
        // Large enough to be built in several chunks.
        GeometryRef snap = ensure_geometry(*core, 200, 180);
        auto table = get_or_build_lut_1d(*core, *snap, key_of(*core, 25));
        CHECK(table->bins() == 25 && table->offsets.front() == 0 && table->offsets.back() == table->indices.size());
        for (std::uint64_t b = 0; b < table->bins(); ++b) {
            double sum = 0.0;
            for (std::uint64_t k = table->offsets[b]; k < table->offsets[b + 1]; ++k) {
                if (k > table->offsets[b]) CHECK(table->indices[k] > table->indices[k - 1]);
                sum += table->weights.empty() ? 1.0 : table->weights[k];
            }
            if (!table->weights.empty() && table->offsets[b + 1] > table->offsets[b]) CHECK_CLOSE(sum, 1.0, 1e-12);
        }
        if (kind == MethodKind::Counting) CHECK(table->indices.size() == 200 * 180);
    }
}

TEST(pixel_split_shares_each_pixel_by_overlap_area) {
    // Raw areas: a pixel's pieces over all bins add up to its quadrilateral.
    auto core = tilted_core(MethodKind::PixelSplit);
    GeometryRef snap = ensure_geometry(*core, 12, 9);
    lut::CornerGeometry corners = lut::corner_geometry(core->geometry, 12, 9, core->unit);
    math::Extent e = math::nan_ignoring_extent(corners.radial);
    const int bins = 17;
    const double step = math::bin_width(e.lo, e.hi, bins);
    lut::Polygon out, scratch;
    for (std::uint64_t p = 0; p < 12 * 9; ++p) {
        lut::Polygon quad = lut::pixel_quadrilateral(corners, 9, p, (*snap->chi)[p]);
        double ymin = 1e9, ymax = -1e9;
        for (int i = 0; i < 4; ++i) ymin = std::min(ymin, quad.v[i].y), ymax = std::max(ymax, quad.v[i].y);
        double sum = 0.0;
        for (int b = 0; b < bins; ++b) {
            lut::clip_polygon_to_rect(quad, e.lo + step * b, e.lo + step * b + step, ymin, ymax, out, scratch);
            if (out.n >= 3) sum += std::fabs(lut::polygon_area(out));
        }
        CHECK_CLOSE(sum, std::fabs(lut::polygon_area(quad)), 1e-9);
    }
}

TEST(edge_points_sit_half_a_sample_inside_the_border) {
    auto [d1, d2] = lut::detector_edge_points(3, 2, 2);
    CHECK(d1.size() == 6 + 6 + 3 + 3);
    CHECK(d1[0] == 0.25 && d2[0] == 0.25);
    CHECK(d1[6] == 0.25 && d2[6] == 1.75);
    CHECK(d1[12] == 0.25 && d2[12] == 0.75);
    CHECK(d1[17] == 2.75 && d2[17] == 1.75);
}

TEST(cache_reuses_a_table_only_for_the_same_key_and_shape) {
    auto core = tilted_core(MethodKind::PixelSplit);
    GeometryRef snap = ensure_geometry(*core, 16, 16);
    auto first = get_or_build_lut_1d(*core, *snap, key_of(*core, 10));
    CHECK(get_or_build_lut_1d(*core, *snap, key_of(*core, 10)) == first);
    auto other = get_or_build_lut_1d(*core, *snap, key_of(*core, 11));
    CHECK(other != first && other->bins() == 11);
    CHECK(get_or_build_lut_1d(*core, *snap, key_of(*core, 10)) != first);
    // A table stored for another shape is never handed out.
    GeometryRef small = ensure_geometry(*core, 4, 4);
    auto table = get_or_build_lut_1d(*core, *small, key_of(*core, 10));
    CHECK(table->pixels() == 16);
    core->lut1d.store(key_of(*core, 10), first);
    CHECK(get_or_build_lut_1d(*core, *small, key_of(*core, 10))->pixels() == 16);
}

TEST(empty_bins_and_degenerate_sums_follow_the_error_model) {
    lut::CsrLut t;
    t.offsets = {0, 0, 2, 3};
    t.indices = {0, 1, 2};
    t.dim1 = 1;
    t.dim2 = 3;
    t.start = 1.0;
    t.step = 0.5;
    std::vector<double> signal{4.0, std::nan(""), 9.0}, norm{1.0, 1.0, 0.0};
    std::vector<std::uint8_t> mask{0, 1, 0};
    lut::PixelInputs in{signal, norm, {}, mask, true};
    auto mv = lut::apply_lut_mean_var(t, in);
    CHECK(mv.intensities[0] == 0.0 && mv.sigmas[0] == 0.0);      // empty row
    CHECK(mv.intensities[1] == 4.0 && mv.sigmas[1] == 2.0);      // NaN pixel masked
    CHECK(mv.intensities[2] == 0.0 && mv.sigmas[2] == 0.0);      // zero normalisation
    auto centres = lut::bin_centres(t);
    CHECK(centres[0] == 1.25 && centres[1] == 1.75 && centres[2] == 2.25);
    lut::PixelInputs unmasked{signal, norm, {}, {}, false};
    CHECK(std::isnan(lut::apply_lut_mean(t, unmasked)[1]));
    auto stats = lut::apply_lut_azimuthal_stats(t, unmasked);
    CHECK(std::isnan(stats.stds[0]) && stats.means[0] == 0.0);
    CHECK(stats.means[1] == 4.0 && stats.stds[1] == 0.0);  // NaN entry dropped
    CHECK(std::isnan(stats.stds[2]));                      // zero normalisation is not valid
    CHECK(!stats.errors.has_value());
    auto raw = lut::apply_lut_raw_sums(t, in, true);
    CHECK(raw.weight[1] == 1.0 && raw.signal[1] == 4.0 && raw.variance[1] == 4.0);
}

TEST(histogram_puts_the_maximum_in_the_last_bin) {
    std::vector<double> radial, signal;
    for (int i = 0; i <= 44; ++i) radial.push_back(1.0 + i), signal.push_back(1.0);
    auto h = math::histogram_integrate(radial, math::nan_ignoring_extent(radial), signal, {}, 1000, {});
    CHECK(h.intensities[999] == 1.0);
    std::vector<double> variance(radial.size(), 1.0), same(radial.size(), 2.0);
    auto flat = math::histogram_integrate(same, math::nan_ignoring_extent(same), signal, variance, 4, {});
    CHECK(flat.intensities[0] == 1.0 && flat.intensities[1] == 0.0);
    CHECK_CLOSE(flat.errors[0], 1.0 / std::sqrt(45.0), 1e-15);
}
