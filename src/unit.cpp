#include "unit.hpp"

#include <cmath>

#include "errors.hpp"

namespace karvelum {

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

RadialUnit parse_radial_unit(std::optional<std::string_view> name) {
    std::string lower = ascii_lower(name.value_or("2th_rad"));
    if (lower == "2th_rad" || lower == "tth_rad" || lower == "2theta_rad") return RadialUnit::TwoThetaRad;
    if (lower == "2th_deg" || lower == "tth_deg" || lower == "2theta_deg") return RadialUnit::TwoThetaDeg;
    if (lower == "q_a^-1" || lower == "q_a" || lower == "q_angstrom") return RadialUnit::QInvAngstrom;
    if (lower == "q_nm^-1" || lower == "q_nm") return RadialUnit::QInvNanometer;
    throw ValueError("Unknown radial unit: " + lower + ". Valid options: 2th_rad, 2th_deg, q_A^-1, q_nm^-1");
}

const char* unit_name(RadialUnit unit) {
    switch (unit) {
        case RadialUnit::TwoThetaRad: return "2th_rad";
        case RadialUnit::TwoThetaDeg: return "2th_deg";
        case RadialUnit::QInvAngstrom: return "q_A^-1";
        case RadialUnit::QInvNanometer: return "q_nm^-1";
    }
    return "2th_rad";
}

bool is_q_unit(RadialUnit unit) {
    return unit == RadialUnit::QInvAngstrom || unit == RadialUnit::QInvNanometer;
}

void check_wavelength(RadialUnit unit, double wavelength) {
    if (is_q_unit(unit) && !(wavelength > 0.0)) throw ValueError("Wavelength must be positive for q conversion");
}

RadialConverter::RadialConverter(RadialUnit unit_, double wavelength) : unit(unit_) {
    check_wavelength(unit, wavelength);
    if (unit == RadialUnit::QInvAngstrom) q_scale = 12.566370614359172 / (wavelength * 1e10);
    if (unit == RadialUnit::QInvNanometer) q_scale = 12.566370614359172 / (wavelength * 1e9);
}

double RadialConverter::operator()(double two_theta) const {
    switch (unit) {
        case RadialUnit::TwoThetaRad: return two_theta;
        case RadialUnit::TwoThetaDeg: return two_theta * 57.29577951308232;
        default: return q_scale * std::sin(two_theta * 0.5);
    }
}

std::vector<double> convert_radial(RadialUnit unit, std::span<const double> two_theta, double wavelength) {
    RadialConverter convert(unit, wavelength);
    std::vector<double> out(two_theta.size());
    for (std::size_t i = 0; i < two_theta.size(); ++i) out[i] = convert(two_theta[i]);
    return out;
}

void check_radial_range(const std::pair<double, double>& range) {
    if (!std::isfinite(range.first) || !std::isfinite(range.second) || !(range.first < range.second) ||
        !std::isfinite(range.second - range.first)) {
        throw ValueError("radial_range must be finite with min < max");
    }
}

}  // namespace karvelum
