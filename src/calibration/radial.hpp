// Ellipses of calibrant rings found by radial bands: one common ring centre,
// a histogram of the peaks' distances from it, and one ellipse fitted to the
// peaks of the band around each histogram maximum.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "calibration/ellipse.hpp"
#include "calibration/peak.hpp"
#include "calibration/ring_center.hpp"

namespace karvelum::calibration {

struct RadialBandOptions {
    std::optional<double> max_axis_ratio = 1.2;  // semi_major / semi_minor cap of a band ellipse
    double bin_width_px = 2.0;                   // histogram bin; below 0.1 (or NaN) taken as 0.1
    double smooth_sigma_bins = 1.5;              // Gaussian smoothing of the counts, in bins
    std::uint64_t min_peak_height = 8;           // smallest smoothed count of a maximum
    double band_half_width_px = 6.0;             // band around a maximum, and the inlier distance
    std::uint64_t min_band_points = 8;           // before and after the inlier test
    double max_radius_px = 5000.0;               // peaks this far from the centre are not counted
};

// The accepted ellipses in ascending semi_major (stable) and each peak's
// ellipse; no ellipses when there is no ring centre or no band gave one.
RansacEllipseResult radial_band_ellipses(std::span<const Peak> peaks, const RingCenterOptions& center_options,
                                         const RadialBandOptions& options);

}  // namespace karvelum::calibration
