// Several detectors as one instrument: per-detector raw bin sums added
// before the one division.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "integration/request.hpp"

namespace karvelum {

using integration::ImageSource;
using integration::Integration1dOutput;
using integration::IntegratorCore;

// The rules members of one multi-detector integrator follow: table methods
// only, no mix of pixel splitting with other methods, one unit, and a radial
// range on each, equal to the first member's within one machine epsilon.
// Throws ValueError naming the first member that breaks one.
void check_multi_members(std::span<const std::shared_ptr<IntegratorCore>> members);

// Integrates image d with cores[d] into the common radial bins and merges:
// intensity = sum_d S_d / sum_d N_d, sigma = sqrt(sum_d V_d) / sum_d N_d.
// Bin centres come from detector 0. Throws ValueError for 0 points, an empty
// image or a mask of another shape, Panic for a histogram-method core or a
// count mismatch (callers check both first).
Integration1dOutput integrate1d_raw(std::span<IntegratorCore* const> cores,
                                    std::span<const integration::ImageView> images, std::uint64_t n_points,
                                    bool errors);

// One image per detector, merged. Checks the point count, then the number of
// images, then loads the paths ("Failed to load TIFF for detector {}: {}").
Integration1dOutput integrate_multi_1d(std::span<IntegratorCore* const> cores, std::span<const ImageSource> images,
                                       std::uint64_t n_points, bool errors);

// One merged pattern per frame set, in order; a set of the wrong size or a
// path that fails ("... for detector {} frame {}: {}") ends the call.
std::vector<Integration1dOutput> batch_multi_1d(std::span<IntegratorCore* const> cores,
                                                std::span<const std::vector<ImageSource>> frame_sets,
                                                std::uint64_t n_points, bool errors);

}  // namespace karvelum
