// Integration methods and the keys that say what a cached table was built for.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "unit.hpp"

namespace karvelum::integration {

enum class MethodKind : std::uint8_t {
    Histogram = 0,
    Counting = 1,
    PixelSplit = 2,
    Supersampled = 3,
};

struct IntegrationMethod {
    MethodKind kind = MethodKind::PixelSplit;
    std::uint64_t n_ss = 0;  // sub-samples per pixel side; Supersampled only
};

// Names and aliases case-insensitively (ASCII folded here; callers fold other
// letters first); no name means pixel_split, supersampled without n_ss means 5.
// Throws ValueError("Unknown integration method: ...") or, for supersampling
// with n_ss 0, ValueError("n_ss must be positive").
IntegrationMethod parse_integration_method(std::optional<std::string_view> name,
                                           std::optional<std::uint64_t> n_ss);

struct Lut1dCacheKey {
    MethodKind variant;      // Counting, PixelSplit or Supersampled
    RadialRange radial_range;
    std::uint64_t n_points;
    std::uint64_t n_ss;      // 0 unless Supersampled
    RadialUnit unit;
};

enum class Lut2dKind : std::uint8_t {
    Counting = 0,
    PixelSplit = 1,
    Supersampled = 2,
    CountingAzimuthalRange = 3,
    PixelSplitAzimuthalRange = 4,
    SupersampledAzimuthalRange = 5,
};

struct Lut2dCacheKey {
    Lut2dKind kind;
    RadialUnit unit;
    std::uint64_t n_radial;
    std::uint64_t n_azimuthal;
    std::uint64_t n_ss;  // 0 unless a supersampling kind
    std::optional<std::pair<double, double>> azimuthal_range;  // the *AzimuthalRange kinds only
};

// Floating-point fields compare by their bit patterns: 0.0 != -0.0 and a NaN
// equals the same NaN.
bool lut1d_cache_key_eq(const Lut1dCacheKey& a, const Lut1dCacheKey& b);
bool lut2d_cache_key_eq(const Lut2dCacheKey& a, const Lut2dCacheKey& b);

}  // namespace karvelum::integration
