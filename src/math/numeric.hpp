// Numeric helpers shared by the table builders, kernels and histogram.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

namespace karvelum::math {

// Truncation toward zero with saturation; NaN and negatives give 0.
inline std::uint64_t saturating_u64(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

// Truncation toward zero with saturation; NaN gives 0.
inline std::int64_t saturating_i64(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (x < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(x);
}

// Bin of x for bins of width `step` from `start`, clamped into [0, bins).
inline std::uint64_t clamped_bin(double x, double start, double step, std::uint64_t bins) {
    std::uint64_t u = saturating_u64((x - start) / step);
    return u < bins - 1 ? u : bins - 1;
}

struct Extent {
    double lo;
    double hi;
};

// Minimum and maximum ignoring NaN (both NaN when every value is NaN).
// Throws Panic for an empty input.
Extent nan_ignoring_extent(std::span<const double> values);

// Bin width rule of the tables and the histogram.
inline double bin_width(double lo, double hi, std::uint64_t bins) { return (hi + 2.220446049250313e-15 - lo) / static_cast<double>(bins); }

// Centre of bin i.
inline double bin_centre(double start, double step, std::uint64_t i) {
    return start + step * (static_cast<double>(i) + 0.5);
}

}  // namespace karvelum::math
