#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "errors.hpp"
#include "integration.hpp"
#include "integration/corrections.hpp"
#include "integration/integrate1d.hpp"
#include "integration/working_set.hpp"
#include "lut/counting_csr.hpp"
#include "lut/csr_builder.hpp"
#include "lut/integrate.hpp"
#include "lut/pixel_split.hpp"
#include "lut/supersampled.hpp"
#include "math/histogram.hpp"
#include "math/numeric.hpp"
#include "pool.hpp"

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


// A bin's entries as (pixel, weight), in the table's order for that bin.
using Row = std::vector<std::pair<std::uint32_t, double>>;

std::vector<Row> rows_of(const lut::CsrLut& t) {
    std::vector<Row> rows(t.bins());
    for (const lut::BinGroup& g : t.groups) {
        CHECK(g.first_bin < g.end_bin && g.end_bin <= t.bins());
        std::uint64_t k = g.first_entry;
        auto local = [&](std::uint64_t e) -> std::uint64_t { return t.wide_bins() ? t.local32[e] : t.local16[e]; };
        for (std::uint64_t r = g.first_run; r < g.end_run; ++r) {
            const lut::PixelRun run = t.runs[r];
            std::uint32_t p = run.pixel;
            for (std::uint32_t j = 0; j < run.count; ++j, ++k) {
                if (t.weighted) {
                    CHECK(t.steps[k] <= 1 && (j > 0 || t.steps[k] == 1));
                    if (j > 0) p += t.steps[k];
                } else if (j > 0) {
                    ++p;
                }
                CHECK(p / t.dim2 == run.pixel / t.dim2);  // one row
                rows[g.first_bin + local(k)].emplace_back(p, t.weighted ? t.weights[k] : 1.0);
            }
        }
        CHECK(k == g.end_entry);
    }
    return rows;
}

double nn_sqrt(double v) { return v > 0.0 ? std::sqrt(v) : 0.0; }

// The per-bin sums of a row table, term by term in row order: the oracle of
// the pixel-order kernels.
struct RowSums {
    double s = 0.0, n = 0.0, v = 0.0, w = 0.0;
};

RowSums row_sums(const Row& row, const lut::PixelInputs& in, bool poisson) {
    RowSums acc;
    for (const auto& [p, w] : row) {
        if (!in.mask.empty() && in.mask[p] != 0) continue;
        const double x = in.signal[p];
        const double v = poisson ? (x > 0.0 ? x : 0.0) : in.variance[p];
        acc.s += w * x;
        acc.n += w * in.normalisation[p];
        acc.v += w * w * v;
        acc.w += w;
    }
    return acc;
}

struct RowSpread {
    double mean = 0.0, std = std::nan(""), error = 0.0;
};

RowSpread row_spread(const Row& row, const lut::PixelInputs& in) {
    struct Valid { double w, s, value, wn, var; };
    std::vector<Valid> valid;
    for (const auto& [p, w] : row) {
        if (!in.mask.empty() && in.mask[p] != 0) continue;
        const double n = in.normalisation[p], s = in.signal[p], v = s / n, wn = n * w;
        if (std::isfinite(n) && n > 0.0 && std::isfinite(w) && w > 0.0 && std::isfinite(wn) && wn > 0.0 &&
            std::isfinite(v) && std::isfinite(s)) {
            valid.push_back({w, s, v, wn, in.variance[p]});
        }
    }
    RowSpread out;
    if (valid.empty()) return out;
    const double shift = valid[0].value;
    double ss = 0.0, sn = 0.0, sd = 0.0, sv = 0.0, sq = 0.0;
    for (const Valid& e : valid) {
        ss += e.w * e.s;
        sn += e.wn;
        sd += e.wn * (e.value - shift);
        sv += e.w * e.w * e.var;
    }
    const double d = sd / sn;
    for (const Valid& e : valid) {
        const double dev = e.value - shift - d;
        sq += dev * (e.wn * dev);
    }
    out.mean = ss / sn;
    out.std = nn_sqrt(sq / sn);
    out.error = nn_sqrt(sv) / sn;
    return out;
}

// Bitwise equal, NaN equal to NaN.
bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

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
        // Large enough to be built in several chunks and cut into several groups.
        GeometryRef snap = ensure_geometry(*core, 200, 180);
        auto table = get_or_build_lut_1d(*core, *snap, key_of(*core, 25));
        CHECK(table->bins() == 25 && table->groups.size() > 1);
        const std::vector<Row> rows = rows_of(*table);
        for (const Row& row : rows) {
            double sum = 0.0;
            for (std::size_t k = 0; k < row.size(); ++k) {
                if (k > 0) CHECK(row[k].first > row[k - 1].first);
                sum += row[k].second;
            }
            if (kind != MethodKind::Counting && !row.empty()) CHECK_CLOSE(sum, 1.0, 1e-12);
        }
        if (kind == MethodKind::Counting) CHECK(table->entries() == 200 * 180 && table->runs.size() < 200 * 25 * 4);
    }
}

TEST(pixel_order_kernels_add_each_bin_as_its_row_in_ascending_pixel_order) {
    // Full-precision samples: a term added out of order changes the last bits.
    const std::uint64_t d1 = 150, d2 = 131;
    std::vector<double> signal(d1 * d2), variance(d1 * d2);
    auto norm_owner = std::make_shared<std::vector<double>>(d1 * d2);
    auto other_norm = std::make_shared<std::vector<double>>(d1 * d2);
    auto mask_owner = std::make_shared<std::vector<std::uint8_t>>(d1 * d2);
    std::vector<double>& norm = *norm_owner;
    std::vector<std::uint8_t>& mask = *mask_owner;
    for (std::uint64_t p = 0; p < d1 * d2; ++p) {
        signal[p] = std::sin(0.37 * double(p)) * 1000.0 + 3.0;
        norm[p] = 0.5 + std::fabs(std::cos(0.11 * double(p)));
        variance[p] = std::fabs(signal[p]) * 0.7;
        mask[p] = p % 7 == 3;
        (*other_norm)[p] = norm[p] * 1.25;
    }
    // A file's samples (rows top-down) of three types, and the image each reads as.
    std::vector<float> f32(d1 * d2);
    std::vector<std::uint16_t> u16(d1 * d2);
    std::vector<std::int32_t> i32(d1 * d2);
    std::vector<double> as_f32(d1 * d2), as_u16(d1 * d2), as_i32(d1 * d2);
    for (std::uint64_t r = 0; r < d1; ++r) {
        for (std::uint64_t c = 0; c < d2; ++c) {
            const std::uint64_t file = r * d2 + c, p = (d1 - 1 - r) * d2 + c;
            f32[file] = static_cast<float>(signal[p]);
            u16[file] = static_cast<std::uint16_t>(std::fabs(signal[p]));
            i32[file] = static_cast<std::int32_t>(signal[p] * 1000.0);
            as_f32[p] = f32[file];
            as_u16[p] = u16[file];
            as_i32[p] = i32[file];
        }
    }
    const std::vector<std::pair<FileSamples, const std::vector<double>*>> files{
        {{SampleType::F32, f32.data()}, &as_f32}, {{SampleType::U16, u16.data()}, &as_u16},
        {{SampleType::I32, i32.data()}, &as_i32}};
    for (MethodKind kind : {MethodKind::Counting, MethodKind::PixelSplit, MethodKind::Supersampled}) {
        auto core = tilted_core(kind);
        GeometryRef snap = ensure_geometry(*core, d1, d2);
        for (std::uint64_t bins : {1u, 40u, 3000u, 70000u}) {
            auto table = get_or_build_lut_1d(*core, *snap, key_of(*core, bins));
            bool wide = false;  // counting: one group of 70,000 bins
            for (const lut::BinGroup& g : table->groups) wide = wide || g.end_bin - g.first_bin > 65536;
            CHECK(table->wide_bins() == wide && (wide || kind != MethodKind::Counting || bins < 70000u));
            const std::vector<Row> rows = rows_of(*table);
            for (bool masked : {false, true}) {
                const std::span<const std::uint8_t> m = masked ? std::span<const std::uint8_t>(mask) : std::span<const std::uint8_t>();
                lut::PixelInputs in{signal, norm, variance, m, false};
                lut::PixelInputs poisson{signal, norm, {}, m, true};
                // The same on 1, 3 and 8 threads, and as the rows add them.
                for (std::size_t threads : {1u, 3u, 8u}) {
                    pool::Arena arena(threads);
                    pool::run_in(arena, [&] {
                        const lut::MeanVar mv = lut::apply_lut_mean_var(*table, in);
                        const lut::MeanVar pv = lut::apply_lut_mean_var(*table, poisson);
                        const std::vector<double> mean = lut::apply_lut_mean(*table, in);
                        const lut::RawSums raw = lut::apply_lut_raw_sums(*table, in, true);
                        for (std::uint64_t b = 0; b < bins; ++b) {
                            const RowSums r = row_sums(rows[b], in, false), q = row_sums(rows[b], in, true);
                            const double k = table->raw_scale.empty() ? 1.0 : table->raw_scale[b];
                            CHECK(same(mean[b], r.n == 0.0 ? 0.0 : r.s / r.n));
                            CHECK(same(mv.intensities[b], mean[b]) && same(pv.intensities[b], mean[b]));
                            CHECK(same(mv.sigmas[b], r.n == 0.0 ? 0.0 : nn_sqrt(r.v / (r.n * r.n))));
                            CHECK(same(pv.sigmas[b], q.n == 0.0 ? 0.0 : nn_sqrt(q.v / (q.n * q.n))));
                            CHECK(same(raw.signal[b], r.s * k) && same(raw.normalisation[b], r.n * k));
                            CHECK(same(raw.variance[b], r.v * (k * k)) && same(raw.weight[b], r.w * k));
                        }
                        // Normalisation sums kept with the table: the same, and
                        // taken again for other arrays.
                        for (const auto& owner : {norm_owner, norm_owner, other_norm, norm_owner}) {
                            lut::PixelInputs kept{signal, *owner, {}, m, true, owner, masked ? mask_owner : nullptr};
                            const lut::MeanVar kv = lut::apply_lut_mean_var(*table, kept);
                            for (std::uint64_t b = 0; b < bins; ++b) {
                                const RowSums q = row_sums(rows[b], kept, true);
                                CHECK(same(kv.intensities[b], q.n == 0.0 ? 0.0 : q.s / q.n));
                                CHECK(same(kv.sigmas[b], q.n == 0.0 ? 0.0 : nn_sqrt(q.v / (q.n * q.n))));
                            }
                        }
                        // A file's samples read in place as their image.
                        for (const auto& [file, image] : files) {
                            for (bool errors : {false, true}) {
                                lut::PixelInputs from_file{{}, norm, {}, m, errors, norm_owner, mask_owner, file};
                                lut::PixelInputs from_image{*image, norm, {}, m, errors};
                                const lut::MeanVar a = errors ? lut::apply_lut_mean_var(*table, from_file)
                                                              : lut::MeanVar{lut::apply_lut_mean(*table, from_file), {}};
                                const lut::MeanVar e = errors ? lut::apply_lut_mean_var(*table, from_image)
                                                              : lut::MeanVar{lut::apply_lut_mean(*table, from_image), {}};
                                CHECK(a.intensities.size() == bins);
                                for (std::uint64_t b = 0; b < bins; ++b) CHECK(same(a.intensities[b], e.intensities[b]));
                                for (std::uint64_t b = 0; b < a.sigmas.size(); ++b) CHECK(same(a.sigmas[b], e.sigmas[b]));
                            }
                        }
                        const lut::AzimuthalStats st = lut::apply_lut_azimuthal_stats(*table, in);
                        for (std::uint64_t b = 0; b < bins; ++b) {
                            const RowSpread r = row_spread(rows[b], in);
                            CHECK(same(st.means[b], r.mean) && same(st.stds[b], r.std) && same((*st.errors)[b], r.error));
                        }
                    });
                }
            }
        }
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
    // Bin 0 empty, pixels 0 and 1 in bin 1, pixel 2 in bin 2.
    const lut::TableLayout layout{.dim1 = 1, .dim2 = 3, .n_bins = 3, .start = 1.0, .step = 0.5, .row_cost = 3};
    const lut::CsrLut t = lut::build_table(layout, [](std::uint64_t, std::uint64_t, lut::EntryList& out) {
        out.push(1, 0, 1.0);
        out.push(1, 1, 1.0);
        out.push(2, 2, 1.0);
    });
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

namespace {

// Tilted detectors beside the beam whose azimuths cross the seam at +-pi:
// along a slanted line through a square of side x (side + side / 8) pixels,
// or along a strip of side / 6 x side pixels. Their pixels scale with the
// side, so that they cover the same angles whatever it is (and a sub-sample
// the same angle when n_ss * side is the same).
struct Detector {
    std::uint64_t dim1, dim2;
    PoniGeometry geometry;
};

std::vector<Detector> seam_detectors(std::uint64_t side) {
    PoniGeometry g;
    const double scale = 96.0 / static_cast<double>(side);
    g.pixel1 = 1e-4 * scale;
    g.pixel2 = 1.3e-4 * scale;
    g.distance = 0.05;
    g.rot1 = 0.03;
    g.rot2 = -0.02;
    g.rot3 = 0.1;
    g.wavelength = 1e-10;
    g.poni1 = 4.837e-3;             // the middle row, off its pixel edges
    g.poni2 = 108 * 1.3e-4 + 5e-3;  // 5 mm beyond the last column
    PoniGeometry strip = g;
    strip.rot3 = 0.01;
    strip.poni1 = 0.811e-3;
    strip.poni2 = 96 * 1.3e-4 + 3e-3;
    return {{side, side + side / 8, g}, {std::max<std::uint64_t>(side / 6, 2), side, strip}};
}

}  // namespace

TEST(supersampled_estimates_count_the_entries_of_the_table_built) {
    // Radial x azimuthal bins (0: a 1D table), coarse and finer than the
    // sub-samples' spacing; 1D with and without a radial range, 2D with and
    // without an azimuthal range across the seam. Up to 64 x 64 sub-samples
    // the estimate counts what the table holds but for its sampling of the
    // pixels (a few per cent); beyond, it is a bound, and no lower.
    const std::pair<std::uint64_t, std::uint64_t> binnings[] = {{40, 0}, {9000, 0}, {30, 36}, {300, 720}};
    const std::pair<double, double> radial_range{0.15, 0.28}, azimuthal_range{2.6, 3.9};
    // The estimate samples each chunk of the build, and the chunks follow
    // the pool's size: a large pool's have one row each (up to 85 here),
    // sampled in groups of neighbouring chunks. The pools are made once: a
    // pool's threads are slow to start under a sanitizer, and many threads
    // on few processors slow to run.
    const std::size_t pool_sizes[] = {1, 8, 64};
    std::vector<std::unique_ptr<pool::Arena>> pools;
    for (std::size_t threads : pool_sizes) pools.push_back(std::make_unique<pool::Arena>(threads));
    for (std::uint64_t n_ss : {9u, 12u, 16u, 32u, 64u, 80u}) {
        for (const Detector& detector : seam_detectors(n_ss > 64 ? 6 : 768 / n_ss)) {
            const std::uint64_t d1 = detector.dim1, d2 = detector.dim2;
            auto core = std::make_shared<IntegratorCore>();
            core->geometry = detector.geometry;
            core->method = {MethodKind::Supersampled, n_ss};
            GeometryRef snap = ensure_geometry(*core, d1, d2);
            for (const auto& [n_radial, n_azimuthal] : binnings) {
                for (bool ranged : {false, true}) {
                    std::uint64_t built = 0;
                    const Options1d options1d{n_radial};
                    Options2d options2d{n_radial, n_azimuthal, false, std::nullopt};
                    if (n_azimuthal == 0) {
                        core->radial_range = ranged ? RadialRange(radial_range) : std::nullopt;
                        built = get_or_build_lut_1d(*core, *snap, lut1d_key(*core, n_radial))->entries();
                    } else {
                        core->radial_range = std::nullopt;
                        if (ranged) options2d.azimuthal_range = azimuthal_range;
                        const Lut2dCacheKey key = lut2d_key(*core, n_radial, n_azimuthal, options2d.azimuthal_range);
                        built = get_or_build_lut_2d(*core, *snap, key)->table.entries();
                    }
                    for (std::size_t p = 0; p < pools.size(); ++p) {
                        const std::size_t threads = pool_sizes[p];
                        const std::uint64_t estimate = pool::run_in(*pools[p], [&] {
                            return n_azimuthal == 0 ? estimated_table_entries_1d(*core, options1d, d1, d2)
                                                    : estimated_table_entries_2d(*core, options2d, d1, d2);
                        });
                        const double ratio = static_cast<double>(estimate) / static_cast<double>(built);
                        if (!(ratio >= 0.97 && (n_ss > 64 || ratio <= 1.1))) {
                            check::fail(__FILE__, __LINE__,
                                        std::to_string(d1) + " x " + std::to_string(d2) + " pixels, n_ss " +
                                            std::to_string(n_ss) + ", " + std::to_string(n_radial) + " x " +
                                            std::to_string(n_azimuthal) + " bins" + (ranged ? ", ranged" : "") +
                                            ", " + std::to_string(threads) + " threads: " +
                                            std::to_string(estimate) + " entries estimated, " +
                                            std::to_string(built) + " built");
                        }
                    }
                }
            }
        }
    }
}

TEST(entry_lists_count_written_huge_pages_and_outgrown_heap_blocks_once_per_worker) {
    // An entry is 16 bytes: 131072 entries fill one 2 MiB huge page.
    constexpr std::uint64_t KiB = 1024, MiB = 1024 * KiB, page = 131072;
    using Lists = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    // A mapped reservation (8 MiB) takes the huge pages its entries were
    // written in, however large it is: none, one, or two.
    CHECK(entry_list_bytes(Lists{{4 * page, 0}}, 4) == 0);
    CHECK(entry_list_bytes(Lists{{4 * page, 63488}}, 4) == 2 * MiB);
    CHECK(entry_list_bytes(Lists{{4 * page, page}}, 4) == 2 * MiB);
    CHECK(entry_list_bytes(Lists{{4 * page, page + 1}}, 4) == 4 * MiB);
    // A heap block (512 KiB) counts whole, written or not.
    CHECK(entry_list_bytes(Lists{{32768, 0}}, 4) == 512 * KiB);
    CHECK(entry_list_bytes(Lists{{32768, 20000}}, 4) == 512 * KiB);
    // Grown from 128 KiB: the heap blocks of 128 KiB to 1 MiB it outgrew
    // stay, the 2 MiB block it ends in is mapped, one page written.
    const std::uint64_t outgrown = (128 + 256 + 512 + 1024) * KiB;
    CHECK(entry_list_bytes(Lists{{8192, 69000}}, 4) == 2 * MiB + outgrown);
    // Grown past mapped blocks: those outgrown are unmapped.
    CHECK(entry_list_bytes(Lists{{page, 2 * page + 1}}, 4) == 6 * MiB);
    // What the chunks outgrew counts once per worker, as the most any chunk
    // left, and never for more chunks than there are.
    const Lists sixteen(16, {8192, 69000});
    CHECK(entry_list_bytes(sixteen, 4) == 16 * 2 * MiB + 4 * outgrown);
    CHECK(entry_list_bytes(sixteen, 1) == 16 * 2 * MiB + outgrown);
    CHECK(entry_list_bytes(Lists{{8192, 69000}, {8192, 8192}}, 8) == 2 * MiB + 128 * KiB + 2 * outgrown);
    CHECK(entry_list_bytes(Lists{{8192, 10000}, {8192, 100}}, 8) == 256 * KiB + 128 * KiB + 2 * 128 * KiB);
}
