// Several detectors as one instrument: per-detector raw bin sums added
// before the one division.
#pragma once

#include <cstdint>
#include <span>

#include "integration/integrate1d.hpp"

namespace karvelum {

// Integrates image d with cores[d] into the common radial bins and merges:
// intensity = sum_d S_d / sum_d N_d, sigma = sqrt(sum_d V_d) / sum_d N_d.
// Bin centres come from detector 0. Throws ValueError for 0 points, an empty
// image or a mask of another shape, Panic for a histogram-method core or a
// count mismatch (callers check both first).
Integration1dOutput integrate1d_raw(std::span<IntegratorCore* const> cores, std::span<const ImageView> images,
                                    std::uint64_t n_points, bool errors);

}  // namespace karvelum
