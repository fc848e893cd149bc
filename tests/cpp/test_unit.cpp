#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"
#include "errors.hpp"
#include "integration/methods.hpp"
#include "unit.hpp"

using namespace karvelum;

TEST(unit_names_and_aliases) {
    CHECK(parse_radial_unit(std::nullopt) == RadialUnit::TwoThetaRad);
    for (const char* n : {"2TH_DEG", "TTH_deg", "2Theta_Deg"}) CHECK(parse_radial_unit(n) == RadialUnit::TwoThetaDeg);
    for (const char* n : {"Q_A^-1", "q_A", "Q_Angstrom"}) CHECK(parse_radial_unit(n) == RadialUnit::QInvAngstrom);
    CHECK(parse_radial_unit("Q_NM") == RadialUnit::QInvNanometer);
    CHECK(std::string(unit_name(parse_radial_unit("q_a"))) == "q_A^-1");
    CHECK_THROWS(ValueError, "Unknown radial unit: q_xyz. Valid options: 2th_rad, 2th_deg, q_A^-1, q_nm^-1",
                 parse_radial_unit("Q_XYZ"));
    for (const char* n : {"2th", "2th_rad ", ""}) {
        bool thrown = false;
        try {
            parse_radial_unit(n);
        } catch (const ValueError&) {
            thrown = true;
        }
        CHECK(thrown);
    }
}

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

TEST(method_names_aliases_and_n_ss) {
    CHECK(parse_integration_method(std::nullopt, std::nullopt).kind == MethodKind::PixelSplit);
    for (const char* n : {"PS", "Pixel_Split", "PIXELSPLITTING", "pixelsplit"}) {
        CHECK(parse_integration_method(n, std::nullopt).kind == MethodKind::PixelSplit);
    }
    IntegrationMethod ss = parse_integration_method("SS", std::nullopt);
    CHECK(ss.kind == MethodKind::Supersampled && ss.n_ss == 5);
    CHECK(parse_integration_method("supersample", 3).n_ss == 3);
    CHECK(parse_integration_method("hist", 7).kind == MethodKind::Histogram);
    CHECK(parse_integration_method("Count", 0).kind == MethodKind::Counting);
    CHECK_THROWS(ValueError, "n_ss must be positive", parse_integration_method("supersampled", 0));
    CHECK_THROWS(ValueError, "Unknown integration method: pixel-split", parse_integration_method("Pixel-Split", 1));
    CHECK_THROWS(ValueError, "Unknown integration method:  ps", parse_integration_method(" ps", 1));
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
