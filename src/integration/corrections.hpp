// Building and updating an integrator's geometry snapshot: per-pixel
// angles, radial values and correction factors.
#pragma once

#include <cstdint>

#include "geometry_state.hpp"
#include "unit.hpp"

namespace karvelum::integration {

struct IntegratorCore;

// Makes the geometry match the image shape and returns the snapshot for it.
// A rebuild empties both table caches afterwards. Throws ValueError for a q
// unit without a positive wavelength; the state is then unchanged.
GeometryRef ensure_geometry(IntegratorCore& core, std::uint64_t dim1, std::uint64_t dim2);

// The current correction factors.
CorrectionArrays corrections(const IntegratorCore& core);

// Recomputes polarization and correction factors after the polarization
// factor changed. Nothing happens before the first image.
void update_corrections(IntegratorCore& core);

// Converts the stored 2-theta to `unit` and swaps in the new radial values.
// Throws ValueError (state unchanged) for a q unit without a positive
// wavelength, when there are values to convert.
void update_radial_values(IntegratorCore& core, RadialUnit unit);

}  // namespace karvelum::integration
