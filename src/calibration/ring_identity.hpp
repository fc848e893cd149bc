// Which calibrant ring each fitted ellipse is, from the size-ratio invariant
// of a detector roughly perpendicular to the beam: a ring's size is
// proportional to tan(2θ), so size / tan(2θ) is the same for every correctly
// identified ellipse.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "calibration/ellipse.hpp"

namespace karvelum::calibration {

struct RingIdOptions {
    double ratio_tolerance = 0.02;  // relative, for ring matching and distance agreement
    std::uint64_t max_anchor_ring = 8;
    std::uint64_t min_matches = 3;
    // Prefer the acceptable hypothesis that matches the most ellipses, then
    // the smaller spread; otherwise the smaller spread alone decides.
    bool most_matches_first = false;
};

struct RingIdResult {
    std::optional<std::uint64_t> anchor_ring;           // ring_index[0]
    std::vector<std::optional<std::uint64_t>> ring_index;  // per ellipse, in input order
    std::uint64_t n_matched = 0;
    bool confident = false;
};

// `ellipses` in ascending semi_major (only semi_major is read); d-spacings in
// Å in calibrant order; wavelength in metres. Never fails.
RingIdResult identify_ring_indices(std::span<const EllipseFit> ellipses, std::span<const double> d_spacings,
                                   const RingIdOptions& options, double wavelength);

}  // namespace karvelum::calibration
