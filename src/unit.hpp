// Radial units of integration results and the conversion from 2-theta.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace karvelum {

enum class RadialUnit : std::uint8_t {
    TwoThetaRad = 0,
    TwoThetaDeg = 1,
    QInvAngstrom = 2,
    QInvNanometer = 3,
};

// Accepts the names and aliases case-insensitively (ASCII letters are folded
// here; callers fold other letters first). No name means 2th_rad.
// Throws ValueError("Unknown radial unit: ...").
RadialUnit parse_radial_unit(std::optional<std::string_view> name);

// "2th_rad", "2th_deg", "q_A^-1" or "q_nm^-1".
const char* unit_name(RadialUnit unit);

bool is_q_unit(RadialUnit unit);

// Throws ValueError("Wavelength must be positive for q conversion") for a q
// unit with a wavelength that is not > 0 (NaN included).
void check_wavelength(RadialUnit unit, double wavelength);

// Converts 2-theta values (radians) to `unit`; `wavelength` in metres.
// Throws as check_wavelength, before looking at the values.
std::vector<double> convert_radial(RadialUnit unit, std::span<const double> two_theta, double wavelength);

// Scale and kind of the conversion, for callers that convert one value at a
// time inside their own loops. Gives bit-identical results to convert_radial.
struct RadialConverter {
    RadialUnit unit;
    double q_scale = 0.0;
    RadialConverter(RadialUnit unit, double wavelength);
    double operator()(double two_theta) const;
};

// An optional (min, max) range of radial values in the integrator's unit.
using RadialRange = std::optional<std::pair<double, double>>;

// Refuses a radial range with a non-finite bound or width, or min >= max.
void check_radial_range(const std::pair<double, double>& range);

// ASCII lower-casing, used for method and unit names.
std::string ascii_lower(std::string_view text);

}  // namespace karvelum
