// 2D integrate operations: one image to a radial x azimuthal map.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "integration/integrate1d.hpp"

namespace karvelum {

struct Integration2dOutput {
    std::vector<double> intensities;            // flat: azimuthal bin * n_radial + radial bin
    std::optional<std::vector<double>> sigmas;  // error form only
};

// Refuses zero counts and an azimuthal range whose bin width is not a
// positive finite number (ValueError).
void check_integrate2d_arguments(std::uint64_t n_radial, std::uint64_t n_azimuthal,
                                 const std::optional<std::pair<double, double>>& azimuthal_range);

// `azimuthal_range` is (min, max) in radians. Throws ValueError for zero
// counts, an empty image, a mask of another shape, or a range whose bin width
// is not a positive finite number; the integrator stays usable.
Integration2dOutput integrate2d(IntegratorCore& core, ImageView image, std::uint64_t n_radial,
                                std::uint64_t n_azimuthal, bool errors,
                                const std::optional<std::pair<double, double>>& azimuthal_range);

}  // namespace karvelum
