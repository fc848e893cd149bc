#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "calibration/ellipse.hpp"
#include "calibration/massif.hpp"
#include "calibration/ring_center.hpp"
#include "calibration/ring_identity.hpp"
#include "check.hpp"

using namespace karvelum::calibration;

TEST(splitmix64_gives_the_reference_sequence) {
    SplitMix64 rng(0);
    CHECK(rng.next_u64() == 0xe220a8397b1dcdafULL);
    CHECK(rng.next_u64() == 0x6e789e6aa1b965f4ULL);
    CHECK(rng.next_u64() == 0x06c45d188009454fULL);
    SplitMix64 indices(0);
    CHECK(indices.next_below(10) == 5 && indices.next_below(10) == 0 && indices.next_below(10) == 9);
}

// The blur written straight from its definition, one output at a time.
static std::vector<double> naive_blur(const std::vector<double>& image, std::size_t dim1, std::size_t dim2,
                                      double sigma) {
    const auto h = static_cast<std::int64_t>(std::ceil(4.0 * sigma));
    std::vector<double> w;
    double sum = 0.0;
    for (std::int64_t k = 0; k <= 2 * h; ++k) {
        const double x = static_cast<double>(k - h);
        w.push_back(std::exp(-(x * x) / (2.0 * (sigma * sigma))));
        sum += w.back();
    }
    for (double& v : w) v /= sum;
    auto edge = [](std::int64_t j, std::size_t n) -> std::size_t {
        const std::int64_t a = j < 0 ? -j : j, m = static_cast<std::int64_t>(2 * n) - 2 - a;
        return static_cast<std::size_t>(a < static_cast<std::int64_t>(n) ? a : (m < 0 ? 0 : m));
    };
    std::vector<double> tmp(image.size()), out(image.size());
    for (std::size_t r = 0; r < dim1; ++r)
        for (std::size_t c = 0; c < dim2; ++c) {
            double acc = 0.0;
            for (std::int64_t k = 0; k <= 2 * h; ++k)
                acc += w[static_cast<std::size_t>(k)] * image[r * dim2 + edge(static_cast<std::int64_t>(c) - h + k, dim2)];
            tmp[r * dim2 + c] = acc;
        }
    for (std::size_t r = 0; r < dim1; ++r)
        for (std::size_t c = 0; c < dim2; ++c) {
            double acc = 0.0;
            for (std::int64_t k = 0; k <= 2 * h; ++k)
                acc += w[static_cast<std::size_t>(k)] * tmp[edge(static_cast<std::int64_t>(r) - h + k, dim1) * dim2 + c];
            out[r * dim2 + c] = acc;
        }
    return out;
}

TEST(gaussian_blur_equals_its_definition_bit_for_bit) {
    // Shapes around the eight-lane blocks and the column strips, kernels
    // longer than the image (mirrored, then stuck at the edge).
    const std::size_t shapes[][2] = {{37, 29}, {3, 1030}, {1, 1}, {17, 9}};
    for (const auto& shape : shapes) {
        for (double sigma : {0.7, 3.3, 5.0}) {
            std::vector<double> image(shape[0] * shape[1]);
            for (std::size_t i = 0; i < image.size(); ++i) image[i] = std::sin(0.37 * static_cast<double>(i * i % 101));
            CHECK(gaussian_blur(image, shape[0], shape[1], sigma) == naive_blur(image, shape[0], shape[1], sigma));
        }
    }
    const std::vector<double> image{1.0, 2.0, 3.0, 4.0};
    CHECK(gaussian_blur(image, 2, 2, -1.0) == image);  // one tap of weight 1
    CHECK(std::isnan(gaussian_blur(image, 2, 2, 0.0)[0]));
    CHECK(gaussian_blur({}, 0, 5, 2.0).empty());
}

TEST(subpixel_refinement_climbs_and_fits_a_parabola) {
    // f = -(r - 2.3)² - (c - 3.1)² on a 6 x 7 grid: the vertex exactly.
    std::vector<double> image(42);
    for (std::size_t r = 0; r < 6; ++r)
        for (std::size_t c = 0; c < 7; ++c)
            image[r * 7 + c] = -(static_cast<double>(r) - 2.3) * (static_cast<double>(r) - 2.3) -
                               (static_cast<double>(c) - 3.1) * (static_cast<double>(c) - 3.1);
    const Peak p = refine_peak_subpixel(image, 6, 7, 5, 0, 100);
    CHECK_CLOSE(p.d1, 2.3, 1e-12);
    CHECK_CLOSE(p.d2, 3.1, 1e-12);
    const Peak stuck = refine_peak_subpixel(image, 6, 7, 99, 99, 0);  // clamped start, no moves: on the border
    CHECK(stuck.d1 == 5.0 && stuck.d2 == 6.0);
    // Out of steps before the maximum: the offset is capped at half a pixel.
    const std::vector<double> slope{0, 0, 0, 0, 1, 10, 0, 0, 0};
    const Peak capped = refine_peak_subpixel(slope, 3, 3, 1, 1, 0);
    CHECK(capped.d1 == 1.0 && capped.d2 == 0.5);
}

TEST(fit_ellipse_refuses_degenerate_conics_and_names_axis_aligned_angles) {
    std::vector<Peak> line;
    for (double x : {1.0, 2.0, 3.0, 4.0, 5.0}) line.push_back({x, 0.0});
    CHECK(!fit_ellipse(line));
    CHECK(!fit_ellipse(std::vector<Peak>(line.begin(), line.begin() + 4)));
    // x²/4 + y² = 1 and x² + y²/4 = 1 through points symmetric about both
    // axes, so that B comes out exactly 0.
    const double p = std::sqrt(2.0), q = std::sqrt(0.5);
    const std::vector<Peak> wide{{2, 0}, {-2, 0}, {0, 1}, {0, -1}, {p, q}, {-p, q}, {p, -q}, {-p, -q}};
    std::vector<Peak> tall;
    for (const Peak& w : wide) tall.push_back({w.d2, w.d1});
    const auto a = fit_ellipse(wide), b = fit_ellipse(tall);
    CHECK(a && b);
    if (a && b) {
        CHECK(a->conic[1] == 0.0 && a->theta == 0.0 && b->conic[1] == 0.0 && b->theta == 1.5707963267948966);
        CHECK_CLOSE(a->semi_major, 2.0, 1e-12);
        CHECK_CLOSE(b->semi_minor, 1.0, 1e-12);
    }
    std::vector<std::size_t> parent{1, 2, 3, 3};
    CHECK(union_find_root(parent, 0) == 3 && parent == std::vector<std::size_t>({3, 3, 3, 3}));
}

TEST(ring_identity_takes_the_smallest_spread_or_first_the_most_matches) {
    // Rings of tan(2θ) 0.1, 0.2, 0.3, 0.4 and 0.6 and ellipses of sizes 100, 200, 300 and 404: rings 0 to 3 take
    // all four with a spread of 0.75 %, rings 1, 3 and 4 the first three with none.
    std::vector<double> d;
    for (double t : {0.1, 0.2, 0.3, 0.4, 0.6}) d.push_back(1.0 / (2.0 * std::sin(0.5 * std::atan(t))));
    std::vector<EllipseFit> ellipses;
    for (double a : {100.0, 200.0, 300.0, 404.0}) ellipses.push_back(EllipseFit{{}, 0.0, 0.0, a, a, 0.0});
    RingIdOptions options{.ratio_tolerance = 0.03, .max_anchor_ring = 8, .min_matches = 3};
    const RingIdResult tightest = identify_ring_indices(ellipses, d, options, 1e-10);
    options.most_matches_first = true;
    const RingIdResult most = identify_ring_indices(ellipses, d, options, 1e-10);
    using Rings = std::vector<std::optional<std::uint64_t>>;
    CHECK(tightest.ring_index == Rings({1, 3, 4, std::nullopt}) && tightest.n_matched == 3);
    CHECK(most.ring_index == Rings({0, 1, 2, 3}) && most.n_matched == 4 && most.confident);
}
