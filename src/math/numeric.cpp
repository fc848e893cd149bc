#include "math/numeric.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "errors.hpp"
#include "pool.hpp"

namespace karvelum::math {

Extent nan_ignoring_extent(std::span<const double> values) {
    if (values.empty()) throw Panic("cannot compute the range of an empty array");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // fmin/fmax ignore NaN, so chunk results combine exactly in any order.
    return pool::run([&] {
        return tbb::parallel_reduce(
            tbb::blocked_range<std::size_t>(0, values.size(), 1 << 16), Extent{nan, nan},
            [&](const tbb::blocked_range<std::size_t>& r, Extent e) {
                for (std::size_t i = r.begin(); i != r.end(); ++i) {
                    e.lo = std::fmin(e.lo, values[i]);
                    e.hi = std::fmax(e.hi, values[i]);
                }
                return e;
            },
            [](Extent a, Extent b) { return Extent{std::fmin(a.lo, b.lo), std::fmax(a.hi, b.hi)}; });
    });
}

}  // namespace karvelum::math
