// 2D integrate operations: one image to a radial x azimuthal map.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "integration.hpp"
#include "integration/call.hpp"

namespace karvelum::integration {

struct Options2d {
    std::uint64_t n_radial = 0;
    std::uint64_t n_azimuthal = 0;
    bool errors = false;
    // (min, max) in radians; azimuths outside are left out.
    std::optional<std::pair<double, double>> azimuthal_range;
};

struct Integration2dOutput {
    std::vector<double> intensities;            // flat: azimuthal bin * n_radial + radial bin
    std::optional<std::vector<double>> sigmas;  // error form only
};

// Refuses zero counts and an azimuthal range whose bin width is not a
// positive finite number (ValueError).
void check_integrate2d_options(const Options2d& options);

// Throws ValueError as check_integrate2d_options, and for an empty image or a
// mask of another shape; the integrator stays usable.
Integration2dOutput integrate2d(IntegratorCore& core, ImageView image, const Options2d& options);

}  // namespace karvelum::integration
