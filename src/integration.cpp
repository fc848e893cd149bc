#include "integration.hpp"

#include <utility>

#include "errors.hpp"

namespace karvelum::integration {

// Holds are made on the thread that runs the check (the integrator's owner)
// or copied from a live one, so making one needs no ordering. Dropping one
// must order the holder's work before the check: release here, acquire there;
// the last drop carries every earlier one, as they all change one counter.
CoreHold::CoreHold(std::shared_ptr<IntegratorCore> core) noexcept : core_(std::move(core)) {
    if (core_) core_->holds.fetch_add(1, std::memory_order_relaxed);
}

CoreHold::CoreHold(const CoreHold& other) noexcept : core_(other.core_) {
    if (core_) core_->holds.fetch_add(1, std::memory_order_relaxed);
}

void CoreHold::reset() noexcept {
    if (!core_) return;
    core_->holds.fetch_sub(1, std::memory_order_release);
    core_.reset();
}

bool in_use(const IntegratorCore& core) noexcept { return core.holds.load(std::memory_order_acquire) != 0; }

void require_not_in_use(const IntegratorCore& core) {
    if (in_use(core)) throw ValueError("Integrator is in use by a batch operation");
}

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
