#include "integration.hpp"

namespace karvelum::integration {

void clear_lut_caches(IntegratorCore& core) {
    core.lut1d.clear();
    core.lut2d.clear();
}

Lut1dCacheKey lut1d_key(const IntegratorCore& core, std::uint64_t n_points) {
    const IntegrationMethod& m = core.method;
    return Lut1dCacheKey{m.kind, core.radial_range, n_points, m.kind == MethodKind::Supersampled ? m.n_ss : 0,
                         core.unit};
}

}  // namespace karvelum::integration
