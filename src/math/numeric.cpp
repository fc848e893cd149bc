#include "math/numeric.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "errors.hpp"
#include "pool.hpp"

namespace karvelum::math {

Extent nan_ignoring_extent(std::span<const double> values) {
    if (values.empty()) throw Panic("cannot compute the range of an empty array");
    constexpr double inf = std::numeric_limits<double>::infinity();
    // A NaN value never compares smaller or larger, so it never replaces an
    // extreme; minima and maxima combine exactly in any order.
    Extent e = pool::run([&] {
        return tbb::parallel_reduce(
            tbb::blocked_range<std::size_t>(0, values.size(), 1 << 16), Extent{inf, -inf},
            [&](const tbb::blocked_range<std::size_t>& r, Extent partial) {
                double lo = partial.lo, hi = partial.hi;
                for (std::size_t i = r.begin(); i != r.end(); ++i) {
                    const double v = values[i];
                    lo = v < lo ? v : lo;
                    hi = v > hi ? v : hi;
                }
                return Extent{lo, hi};
            },
            [](Extent a, Extent b) { return Extent{a.lo < b.lo ? a.lo : b.lo, a.hi > b.hi ? a.hi : b.hi}; });
    });
    if (e.lo > e.hi) {  // every value is NaN
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan};
    }
    return e;
}

}  // namespace karvelum::math
