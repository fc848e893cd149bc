// The shared state behind one integrator.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "geometry_state.hpp"
#include "integration/cache.hpp"
#include "integration/methods.hpp"
#include "mask.hpp"
#include "poni.hpp"
#include "unit.hpp"

namespace karvelum::integration {

// Settings are plain fields: they change only while the core is not in use
// (no CoreHold of it exists), so integrations read them without locks.
struct IntegratorCore {
    std::optional<double> polarization_factor;
    RadialRange radial_range;
    IntegrationMethod method;
    PoniGeometry geometry;
    std::shared_ptr<const PixelMask> mask;
    GeometryState geometry_state;
    Lut1dCache lut1d;
    Lut2dCache lut2d;
    RadialUnit unit = RadialUnit::TwoThetaRad;
    // The CoreHolds of this core; changed by CoreHold alone.
    std::atomic<std::size_t> holds{0};
};

// The share of a core that a batch, a stream or a multi-detector integrator
// keeps, in every thread that uses it: while one exists the core is in use.
// Dropping one releases what its thread did with the core to the in-use
// check, so a setter that finds the core free comes after all of it.
class CoreHold {
public:
    CoreHold() = default;
    explicit CoreHold(std::shared_ptr<IntegratorCore> core) noexcept;
    CoreHold(const CoreHold& other) noexcept;
    CoreHold(CoreHold&& other) noexcept = default;
    CoreHold& operator=(CoreHold other) noexcept {
        core_.swap(other.core_);
        return *this;
    }
    ~CoreHold() { reset(); }

    // Lets go of the core; the hold is empty afterwards.
    void reset() noexcept;
    IntegratorCore* get() const noexcept { return core_.get(); }
    IntegratorCore& operator*() const noexcept { return *core_; }
    IntegratorCore* operator->() const noexcept { return core_.get(); }

private:
    std::shared_ptr<IntegratorCore> core_;
};

// Whether a CoreHold of `core` exists. When none does, everything the
// holders did with the core happened before this call returned.
bool in_use(const IntegratorCore& core) noexcept;

// ValueError "Integrator is in use by a batch operation" while `core` is in
// use: settings change only through this check.
void require_not_in_use(const IntegratorCore& core);

// Empties the 1D and then the 2D table cache.
void clear_lut_caches(IntegratorCore& core);

// What a 1D table of `n_points` bins is built for under the core's settings.
Lut1dCacheKey lut1d_key(const IntegratorCore& core, std::uint64_t n_points);

// What a 2D table is built for; the histogram method has none (Panic).
Lut2dCacheKey lut2d_key(const IntegratorCore& core, std::uint64_t n_radial, std::uint64_t n_azimuthal,
                        const std::optional<std::pair<double, double>>& range);

}  // namespace karvelum::integration
