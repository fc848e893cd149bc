#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"
#include "errors.hpp"
#include "integration/methods.hpp"
#include "unit.hpp"

using namespace karvelum;
using namespace karvelum::integration;

TEST(radial_conversions_match_closed_forms) {
    const double pi = 3.141592653589793;
    std::vector<double> tth{pi / 2, pi, 0.0};
    auto deg = convert_radial(RadialUnit::TwoThetaDeg, tth, 0.0);
    CHECK_CLOSE(deg[0], 90.0, 1e-15);
    CHECK_CLOSE(deg[1], 180.0, 1e-15);
    auto qa = convert_radial(RadialUnit::QInvAngstrom, tth, 1e-10);
    CHECK_CLOSE(qa[1], 4 * pi, 1e-15);
    CHECK(qa[2] == 0.0);
    auto qnm = convert_radial(RadialUnit::QInvNanometer, tth, 1e-10);
    CHECK_CLOSE(qnm[1], 40 * pi, 1e-15);
    // q = 4 pi sin(theta) / lambda with lambda in the unit's length.
    auto q = convert_radial(RadialUnit::QInvAngstrom, std::vector<double>{0.3}, 0.7e-10);
    CHECK_CLOSE(q[0], 4 * pi * std::sin(0.15) / 0.7, 1e-14);
    auto rad = convert_radial(RadialUnit::TwoThetaRad, tth, std::nan(""));
    CHECK(rad == tth);
}

TEST(q_units_need_a_positive_wavelength_even_for_no_values) {
    const char* msg = "Wavelength must be positive for q conversion";
    std::vector<double> none;
    for (double wl : {0.0, -1e-10, std::nan("")}) {
        CHECK_THROWS(ValueError, msg, convert_radial(RadialUnit::QInvAngstrom, none, wl));
        CHECK_THROWS(ValueError, msg, convert_radial(RadialUnit::QInvNanometer, std::vector<double>{1.0}, wl));
        CHECK(convert_radial(RadialUnit::TwoThetaDeg, std::vector<double>{1.0}, wl).size() == 1);
    }
}

TEST(cache_keys_compare_floats_by_bits) {
    Lut1dCacheKey a{MethodKind::Counting, std::pair{0.0, 1.0}, 100, 0, RadialUnit::TwoThetaRad};
    Lut1dCacheKey b = a;
    CHECK(lut1d_cache_key_eq(a, b));
    b.radial_range = std::pair{-0.0, 1.0};
    CHECK(!lut1d_cache_key_eq(a, b));
    double nan = std::numeric_limits<double>::quiet_NaN();
    a.radial_range = b.radial_range = std::pair{nan, 1.0};
    CHECK(lut1d_cache_key_eq(a, b));
    b = a;
    b.variant = MethodKind::PixelSplit;
    CHECK(!lut1d_cache_key_eq(a, b));
    b = a;
    b.radial_range.reset();
    CHECK(!lut1d_cache_key_eq(a, b));
    b = a;
    b.unit = RadialUnit::TwoThetaDeg;
    CHECK(!lut1d_cache_key_eq(a, b));

    Lut2dCacheKey c{Lut2dKind::Counting, RadialUnit::TwoThetaRad, 10, 20, 0, std::nullopt};
    Lut2dCacheKey d{Lut2dKind::CountingAzimuthalRange, RadialUnit::TwoThetaRad, 10, 20, 0, std::pair{0.0, 1.0}};
    CHECK(lut2d_cache_key_eq(c, c));
    CHECK(!lut2d_cache_key_eq(c, d));
    Lut2dCacheKey e = d;
    e.azimuthal_range = std::pair{0.0, -0.0 + 1.0};
    CHECK(lut2d_cache_key_eq(d, e));
    e.azimuthal_range = std::pair{-0.0, 1.0};
    CHECK(!lut2d_cache_key_eq(d, e));
}
