// Automatic calibration: from the peaks of a calibrant image to a refined
// detector geometry with no starting guess. Ellipses come from radial bands
// about one ring centre or from a RANSAC search; they are identified with
// calibrant rings, give a bootstrap geometry and control points, and the
// geometry is refined. The grid method (grid_search.hpp) needs no ellipses;
// the auto method runs all three and keeps the smallest residual.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "calibration/calibrant.hpp"
#include "calibration/ellipse.hpp"
#include "calibration/peak.hpp"
#include "calibration/radial.hpp"
#include "calibration/refinement.hpp"
#include "calibration/ring_center.hpp"
#include "calibration/ring_identity.hpp"
#include "errors.hpp"

namespace karvelum::calibration {

enum class AutoCalibrateMethod : std::uint8_t { Auto = 0, Radial = 1, Ransac = 2, Grid = 3 };

struct AutoCalibrateOptions {
    RadialBandOptions radial;
    RansacEllipseOptions ransac{.max_axis_ratio = 1.2};
    RefineLoss loss = RefineLoss::Huber;
    double huber_c = 0.002;  // radians of 2θ
    RingCenterOptions ring_center;
    RingIdOptions ring_id{.ratio_tolerance = 0.03, .max_anchor_ring = 8, .min_matches = 3};
    double grid_distance_min = 0.05;  // metres
    double grid_distance_max = 0.6;
    std::uint64_t grid_distance_steps = 14;
    double grid_rot_max = 1.0471975511965976;  // radians
    std::uint64_t grid_rot_steps = 13;
    double grid_poni_search_radius_px = 200.0;
    std::uint64_t grid_poni_steps = 5;
    double grid_tolerance_rad = 0.008;
    std::uint64_t grid_max_peaks = 400;  // 0: every peak scores
    std::uint64_t grid_max_ring_index = 12;
    std::uint64_t grid_top_k = 8;
    std::uint64_t max_iter = 200;
    double tol = 1e-9;
    double center_consistency_px = 30.0;
    std::array<bool, kParameterCount> free{true, true, true, true, true, true, false};
    AutoCalibrateMethod method = AutoCalibrateMethod::Radial;
};

struct AutoCalibrateResult {
    CalibrationResult calibration;
    std::uint64_t n_detected_ellipses = 0;
    std::uint64_t n_identified_ellipses = 0;
    double bootstrap_distance = 0.0;        // metres
    double bootstrap_ring_center_d1 = 0.0;  // metres
    double bootstrap_ring_center_d2 = 0.0;
};

// A failed automatic calibration; what() is its user-facing message.
class AutoCalibrateError : public ValueError {
public:
    enum class Kind : std::uint8_t { Refine, NoEllipses, RingsNotIdentified, NoIterationsToCheck };
    explicit AutoCalibrateError(Kind kind);
    explicit AutoCalibrateError(const RefineError& error);
    // max_iter spent before the check of a fit of `fit_iterations` could
    // decide: the budget's failure, not the fit's.
    static AutoCalibrateError no_iterations_to_check(std::uint64_t max_iter, std::uint64_t fit_iterations);
    Kind kind() const noexcept { return kind_; }
    // The refinement's error of a Refine failure.
    const std::optional<RefineError>& refine_error() const noexcept { return refine_error_; }

private:
    AutoCalibrateError(Kind kind, const std::string& message);
    Kind kind_;
    std::optional<RefineError> refine_error_;
};

// Throws AutoCalibrateError; ValueError for a Huber threshold that is not
// positive and finite, or a grid too large to count. Pool threads run the
// grid scoring and the auto method's three runs; they only read the inputs.
AutoCalibrateResult run_auto_calibration(std::span<const Peak> peaks, const Calibrant& calibrant, double wavelength,
                                         double pixel1, double pixel2, const AutoCalibrateOptions& options);

// Rings seen in the peaks by one way of finding them (the method's ellipses,
// the radial method's bands): the ring of each peak, or none, and the median
// distance in pixels of those peaks from their ring's ellipse (NaN with none),
// the scatter of peaks about a ring.
struct RingsSeen {
    std::vector<std::optional<std::uint64_t>> ring_of;
    double scatter_px = 0.0;
};
using SeenRings = std::vector<RingsSeen>;

// The tail shared by the radial and ransac methods: ring identification, a
// bootstrap geometry from the identified ellipses, control points from
// their peaks, the refinement, and the check of its result against the rings
// `seen` (checked_fit). `ellipses` ascending by semi_major,
// `assignments` one ellipse (or none) per peak.
AutoCalibrateResult calibrate_from_ellipses(std::span<const Peak> peaks, std::span<const EllipseFit> ellipses,
                                            std::span<const std::optional<std::uint64_t>> assignments,
                                            const SeenRings& seen,
                                            std::span<const double> d_spacings, double wavelength, double pixel1,
                                            double pixel2, const AutoCalibrateOptions& options);

// The rings seen in `assignments` (one ellipse per peak, or none): the
// peaks of every ellipse taken out that stands no clearer above the
// background of peaks than a band drawn through noise (the ellipse's peaks
// within 2 px must be at least three times as many as the peaks per area of
// the whole, the bounding box of the peaks, would put there along its length
// inside that box), and the scatter of the peaks left about their ellipses.
RingsSeen ring_assignments(std::span<const Peak> peaks, std::span<const EllipseFit> ellipses,
                           std::span<const std::optional<std::uint64_t>> assignments);

// What a method returns of its refined `fit`, or none when it is refused.
// Under a geometry, a peak sits on a ring when its 2θ lies within a tenth of
// the gap to the neighbouring ring (on its side) from the nearest calibrant
// ring below 90°. The fit must be finite, with a positive distance, and put
// the detected rings on the calibrant's: for each way of seeing rings in
// `seen` (as ring_assignments gives them), the peaks on calibrant rings hold
// nine in ten of the peaks of the rings counted. A ring seen sits when half
// of its peaks or more do. The other peaks of one that does not sit are a
// ring the calibrant does not list when they are concentric under the
// geometry (within twice the scatter of the rings seen from their median
// 2θ): past the last listed ring they are not counted; between listed rings
// one such ring is forgiven for every three calibrant rings sat on, while
// they hold no more peaks than those on calibrant rings. With no ring seen
// at all, nine in ten of all peaks sit on rings. It must also hold them
// tightly: the peaks on rings lie, in the median, at most twice as far from
// their rings as from an ellipse fitted to each ring's peaks alone, and as
// the peaks of the rings seen lie from their ellipses.
// A fit that holds is the result unless it stopped far from the optimum of
// its rings: the points the method assigned to rings (`assigned`), each
// labelled with the ring it sits on under the fit, are refined on from it,
// in rounds while the rms falls by more than 1 %; when that lowers their rms
// more than 1.2 times, or the fit holds the rings only loosely, that refit
// stands in for it if it holds them within 1.5 times the scatter. Whichever
// is returned must agree, within 0.5 mm and 0.25°, with a fit of every peak
// on its rings started from it. Every iteration counts against
// options.max_iter, the fit's included; n_iter counts those of the result.
// Throws AutoCalibrateError (no_iterations_to_check) when no iteration is
// left for a fit the check needs: the refit of a loose fit, or that last one.
std::optional<CalibrationResult> checked_fit(const CalibrationResult& fit, const CalibrationPoints& assigned,
                                            std::span<const Peak> peaks, const SeenRings& seen,
                                            std::span<const double> d_spacings, const RefineOptions& options);

}  // namespace karvelum::calibration
