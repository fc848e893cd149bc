// 1D integrate operations: one image to a radial pattern with the
// integrator's method, range, unit, mask and corrections.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "integration.hpp"
#include "integration/call.hpp"

namespace karvelum::integration {

struct Options1d {
    std::uint64_t n_points = 0;
    bool errors = false;
    bool azimuthal_std = false;
};

struct Integration1dOutput {
    std::vector<double> centres;
    std::vector<double> intensities;
    std::optional<std::vector<double>> sigmas;
    std::optional<std::vector<double>> azimuthal_std;
};

// Throws ValueError for 0 points, an empty image or a mask of another shape;
// the integrator stays usable.
Integration1dOutput integrate1d(IntegratorCore& core, ImageView image, const Options1d& options);

// Whether integrate1d with these options reads a decoded file's own samples
// (ImageView::file) without widening them first, for the types the kernels
// read (lut::reads_file_samples); a caller that decodes a file for it loads
// the file in that form.
bool reads_file_samples(const IntegratorCore& core, const Options1d& options);

}  // namespace karvelum::integration
