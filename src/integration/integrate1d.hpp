// 1D integrate operations: one image to a radial pattern with the
// integrator's method, range, unit, mask and corrections.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "integration.hpp"

namespace karvelum {

// Samples of one image, row-major: a decoded frame or a caller's array.
struct ImageView {
    std::span<const double> data;
    std::uint64_t dim1 = 0, dim2 = 0;
};

struct Integration1dOutput {
    std::vector<double> centres;
    std::vector<double> intensities;
    std::optional<std::vector<double>> sigmas;
    std::optional<std::vector<double>> azimuthal_std;
};

// Each throws ValueError for 0 points, an empty image or a mask of another
// shape; the integrator stays usable.
Integration1dOutput integrate1d(IntegratorCore& core, ImageView image, std::uint64_t n_points);
Integration1dOutput integrate1d_with_variance(IntegratorCore& core, ImageView image, std::uint64_t n_points);
Integration1dOutput integrate1d_with_azimuthal_std(IntegratorCore& core, ImageView image, std::uint64_t n_points,
                                                   bool errors);

// What every operation holds for the whole call: one geometry snapshot (so
// corrections, radial values and tables all belong to the image's shape)
// and the mask, checked against that shape.
struct CallState {
    GeometryRef snap;
    std::shared_ptr<const PixelMask> mask;
    std::span<const std::uint8_t> mask_bytes() const {
        return mask ? std::span<const std::uint8_t>(mask->values) : std::span<const std::uint8_t>();
    }
};

// Checks the image and mask, and makes the geometry match the image shape.
// Throws ValueError for 0 bins, an empty image or a mask of another shape.
CallState begin_call(IntegratorCore& core, const ImageView& image, std::uint64_t n_bins);

// Poisson variance of every sample: max(x, 0), NaN giving 0.
Buffer<double> poisson_variance(std::span<const double> samples);

// Refuses a mask whose shape differs from the image.
void check_mask_shape(const PixelMask& mask, std::uint64_t dim1, std::uint64_t dim2);

}  // namespace karvelum
