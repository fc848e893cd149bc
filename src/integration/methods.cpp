#include "integration/methods.hpp"

#include <bit>
#include <string>

#include "errors.hpp"

namespace karvelum::integration {

IntegrationMethod parse_integration_method(std::optional<std::string_view> name,
                                           std::optional<std::uint64_t> n_ss) {
    std::string lower = ascii_lower(name.value_or("pixel_split"));
    if (lower == "pixel_split" || lower == "pixelsplit" || lower == "pixelsplitting" || lower == "ps") {
        return {MethodKind::PixelSplit, 0};
    }
    if (lower == "supersampled" || lower == "supersample" || lower == "ss") {
        std::uint64_t n = n_ss.value_or(5);
        if (n == 0) throw ValueError("n_ss must be positive");
        return {MethodKind::Supersampled, n};
    }
    if (lower == "histogram" || lower == "hist") return {MethodKind::Histogram, 0};
    if (lower == "counting" || lower == "count") return {MethodKind::Counting, 0};
    throw ValueError("Unknown integration method: " + lower);
}

namespace {

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

bool same_pair(const std::optional<std::pair<double, double>>& a, const std::optional<std::pair<double, double>>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    return same_bits(a->first, b->first) && same_bits(a->second, b->second);
}

}  // namespace

bool lut1d_cache_key_eq(const Lut1dCacheKey& a, const Lut1dCacheKey& b) {
    return a.variant == b.variant && a.n_points == b.n_points && a.unit == b.unit && a.n_ss == b.n_ss &&
           same_pair(a.radial_range, b.radial_range);
}

bool lut2d_cache_key_eq(const Lut2dCacheKey& a, const Lut2dCacheKey& b) {
    return a.kind == b.kind && a.unit == b.unit && a.n_radial == b.n_radial && a.n_azimuthal == b.n_azimuthal &&
           a.n_ss == b.n_ss && same_pair(a.azimuthal_range, b.azimuthal_range);
}

}  // namespace karvelum::integration
