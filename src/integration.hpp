// The shared state behind one integrator.
#pragma once

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

// Settings are plain fields: they change only while the core is not shared
// (no batch, stream or multi-detector integrator holds it), so integrations
// read them without locks.
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
};

// Empties the 1D and then the 2D table cache.
void clear_lut_caches(IntegratorCore& core);

// What a 1D table of `n_points` bins is built for under the core's settings.
Lut1dCacheKey lut1d_key(const IntegratorCore& core, std::uint64_t n_points);

// What a 2D table is built for; the histogram method has none (Panic).
Lut2dCacheKey lut2d_key(const IntegratorCore& core, std::uint64_t n_radial, std::uint64_t n_azimuthal,
                        const std::optional<std::pair<double, double>>& range);

}  // namespace karvelum::integration
