#include "integration.hpp"

#include <cmath>

#include "errors.hpp"

namespace karvelum {

void clear_lut_caches(IntegratorCore& core) {
    core.lut1d.clear();
    core.lut2d.clear();
}

void check_radial_range(const std::pair<double, double>& range) {
    if (!std::isfinite(range.first) || !std::isfinite(range.second) || !(range.first < range.second) ||
        !std::isfinite(range.second - range.first)) {
        throw ValueError("radial_range must be finite with min < max");
    }
}

}  // namespace karvelum
