#include "integration.hpp"

#include "errors.hpp"

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

Lut2dCacheKey lut2d_key(const IntegratorCore& core, std::uint64_t n_radial, std::uint64_t n_azimuthal,
                      const std::optional<std::pair<double, double>>& range) {
    Lut2dCacheKey key{Lut2dKind::Counting, core.unit, n_radial, n_azimuthal, 0, range};
    switch (core.method.kind) {
        case MethodKind::Counting:
            key.kind = range ? Lut2dKind::CountingAzimuthalRange : Lut2dKind::Counting;
            break;
        case MethodKind::PixelSplit:
            key.kind = range ? Lut2dKind::PixelSplitAzimuthalRange : Lut2dKind::PixelSplit;
            break;
        case MethodKind::Supersampled:
            key.kind = range ? Lut2dKind::SupersampledAzimuthalRange : Lut2dKind::Supersampled;
            key.n_ss = core.method.n_ss;
            break;
        case MethodKind::Histogram:
            throw Panic("the histogram method has no table");
    }
    return key;
}

}  // namespace karvelum::integration
