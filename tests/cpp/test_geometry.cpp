#include <cmath>
#include <cstring>
#include <span>
#include <vector>

#include "check.hpp"
#include "errors.hpp"
#include "geometry.hpp"

using namespace karvelum;

namespace {

PoniGeometry flat(double distance, double pixel, double poni1, double poni2) {
    PoniGeometry g;
    g.pixel1 = g.pixel2 = pixel;
    g.distance = distance;
    g.poni1 = poni1;
    g.poni2 = poni2;
    return g;
}

bool same_bits(std::span<const double> a, std::span<const double> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace

TEST(untilted_detector_with_poni_on_first_pixel_centre) {
    PoniGeometry g = flat(0.1, 1e-4, 0.5e-4, 0.5e-4);
    auto a = geometry::pixel_angles(g, 3, 4);
    CHECK(a.two_theta[0] == 0.0);
    CHECK(a.solid_angle[0] == 1.0);
    // One row further: offset along dim1 only, azimuth +pi/2.
    CHECK_CLOSE(a.two_theta[4], std::atan2(1e-4, 0.1), 1e-15);
    CHECK_CLOSE(a.chi[4], 3.141592653589793 / 2, 1e-15);
    // One column further: offset along dim2 only, azimuth 0.
    CHECK(a.chi[1] == 0.0);
    // Solid angle is cos^3 of the angle to the normal.
    double r = std::hypot(2e-4, 3e-4);
    CHECK_CLOSE(a.solid_angle[2 * 4 + 3], std::pow(0.1 / std::hypot(0.1, r), 3), 1e-14);
}

TEST(empty_shapes_give_empty_arrays) {
    PoniGeometry g = flat(0.1, 1e-4, 0.0, 0.0);
    CHECK(geometry::pixel_angles(g, 0, 5).two_theta.empty());
    CHECK(geometry::pixel_angles(g, 5, 0).chi.empty());
}

TEST(rot3_turns_azimuth_but_not_scattering_angle) {
    PoniGeometry g = flat(0.1, 1e-4, 1e-3, 2e-3);
    g.rot1 = 0.02;
    g.rot2 = -0.03;
    auto base = geometry::pixel_angles(g, 16, 16);
    g.rot3 = 0.4;
    auto turned = geometry::pixel_angles(g, 16, 16);
    for (std::size_t k = 0; k < base.two_theta.size(); ++k) {
        CHECK_CLOSE(turned.two_theta[k], base.two_theta[k], 1e-12);
        double d = std::remainder(turned.chi[k] - base.chi[k], 2 * 3.141592653589793);
        CHECK(std::fabs(std::fabs(d) - 0.4) < 1e-12);
    }
    CHECK(same_bits(turned.solid_angle, base.solid_angle));
}

TEST(point_functions_reproduce_per_pixel_arrays_bit_for_bit) {
    PoniGeometry g = flat(0.15, 7.5e-5, 1.3e-3, 0.9e-3);
    g.pixel2 = 1.1e-4;
    g.rot1 = 0.03;
    g.rot2 = -0.02;
    g.rot3 = 0.5;
    const std::uint64_t dim1 = 37, dim2 = 23;
    auto a = geometry::pixel_angles(g, dim1, dim2);
    std::vector<double> d1, d2;
    for (std::uint64_t i = 0; i < dim1; ++i) {
        for (std::uint64_t j = 0; j < dim2; ++j) {
            d1.push_back(static_cast<double>(i) + 0.5);
            d2.push_back(static_cast<double>(j) + 0.5);
        }
    }
    auto [tth, chi] = geometry::two_theta_chi_for_points(g, d1, d2);
    CHECK(same_bits(tth, a.two_theta));
    CHECK(same_bits(chi, a.chi));
    CHECK(same_bits(geometry::two_theta_for_points(g, d1, d2), a.two_theta));
}

TEST(point_functions_refuse_unequal_lengths) {
    PoniGeometry g = flat(0.1, 1e-4, 0.0, 0.0);
    std::vector<double> d1{1.0, 2.0}, d2{1.0};
    CHECK_THROWS(Panic, "assertion failed: d1.len() == d2.len()", geometry::two_theta_for_points(g, d1, d2));
    CHECK_THROWS(Panic, "assertion failed: d1.len() == d2.len()", geometry::two_theta_chi_for_points(g, d1, d2));
}
