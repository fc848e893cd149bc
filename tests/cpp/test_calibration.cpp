#include <cmath>
#include <limits>
#include <vector>

#include "calibration/refinement.hpp"
#include "check.hpp"
#include "errors.hpp"

using namespace karvelum;
using namespace karvelum::calibration;

TEST(median_sorts_small_and_large_inputs_with_nan_last) {
    CHECK(median({1.0, 4.0, 2.0, 3.0}) == 2.5);
    CHECK(median({3.0, 1.0, 2.0}) == 2.0);
    CHECK(median({-7.0}) == -7.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // 21 or more values take the general sort; NaN must neither break it nor
    // land in the middle.
    std::vector<double> many;
    for (int i = 0; i < 25; ++i) many.push_back(static_cast<double>((i * 7) % 25));
    CHECK(median(many) == 12.0);
    many[11] = nan;  // was 2
    many[15] = nan;  // was 5
    CHECK(median(many) == 14.0);
    CHECK_THROWS(Panic, "median of no values", median({}));
}
