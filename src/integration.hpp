// The shared state behind one integrator.
#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "integration/cache.hpp"
#include "integration/corrections.hpp"
#include "integration/methods.hpp"
#include "mask.hpp"
#include "poni.hpp"
#include "unit.hpp"

namespace karvelum {

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

// Refuses a radial range with a non-finite bound or min >= max.
void check_radial_range(const std::pair<double, double>& range);

}  // namespace karvelum
