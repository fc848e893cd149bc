// Levenberg-Marquardt refinement of a detector geometry from control points
// on calibrant rings: the 2θ forward model, automatic ring assignment,
// residuals, L2 and Huber weights, and the fit itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "calibration/points.hpp"
#include "errors.hpp"
#include "poni.hpp"

namespace karvelum::calibration {

// The refinable parameters, in this index order everywhere.
enum RefineParameter : std::size_t { kDistance, kPoni1, kPoni2, kRot1, kRot2, kRot3, kWavelength };
inline constexpr std::size_t kParameterCount = 7;
using Parameters = std::array<double, kParameterCount>;

Parameters parameters_of(const PoniGeometry& g);
// `start` with the seven parameters replaced.
PoniGeometry geometry_with(const PoniGeometry& start, const Parameters& p);

enum class RefineLoss : std::uint8_t { L2 = 0, Huber = 1 };

struct RefineOptions {
    RefineLoss loss = RefineLoss::L2;
    double huber_c = 0.001;     // radians of 2θ; read for Huber only
    double assign_tol = 0.05;   // radians of 2θ
    std::uint64_t max_iter = 100;
    double tol = 1e-9;          // relative cost decrease that ends the fit
    std::array<bool, kParameterCount> free{true, true, true, true, true, true, false};
    bool auto_assign = false;
};

struct CalibrationResult {
    PoniGeometry geometry;
    std::vector<std::optional<std::uint64_t>> assignments;
    std::vector<bool> inliers;
    std::uint64_t n_iter = 0;
    double chi2 = 0.0;
    double rms_rad = 0.0;
};

// A failure of the fit; what() is its user-facing message.
class RefineError : public ValueError {
public:
    enum class Kind {
        NoControlPoints,
        Underdetermined,          // a: effective points, b: free parameters
        SingularNormalEquations,
        UnassignedPoint,          // a: point
        RingOutOfRange,           // a: point, b: ring, c: number of rings
        BadWavelength,
        NonFiniteCoordinates,     // a: point
    };
    explicit RefineError(Kind kind, std::uint64_t a = 0, std::uint64_t b = 0, std::uint64_t c = 0);
    Kind kind() const noexcept { return kind_; }
    std::array<std::uint64_t, 3> fields() const noexcept { return fields_; }

private:
    Kind kind_;
    std::array<std::uint64_t, 3> fields_;
};

std::string refine_error_message(const RefineError& error);

// Refines the free parameters of `start`. Throws RefineError; Panic when the
// point vectors differ in length.
CalibrationResult refine_geometry_lm(const PoniGeometry& start, const CalibrationPoints& points,
                                     std::span<const double> d_spacings, const RefineOptions& options);

// refine_geometry_lm of a start a caller gave: after the fit's own input
// checks (points, wavelength, each point's ring and coordinates), ValueError
// "start {name} must be finite" for the first start value, other than the
// wavelength, that is not finite: the fit would come back from it as a NaN
// geometry.
CalibrationResult refine_given_start(const PoniGeometry& start, const CalibrationPoints& points,
                                     std::span<const double> d_spacings, const RefineOptions& options);

// 2θ of every point (min(d1, d2) of them).
std::vector<double> predict_two_theta(const CalibrationPoints& points, const Parameters& p, double pixel1,
                                      double pixel2);

// The given rings, with every unlabelled point given the nearest ring (lowest
// index on ties) when it lies within `assign_tol`.
std::vector<std::optional<std::uint64_t>> auto_assign_rings(const CalibrationPoints& points, const Parameters& p,
                                                            std::span<const double> d_spacings, double pixel1,
                                                            double pixel2, double assign_tol);

struct PointResiduals {
    std::vector<double> residuals;    // predicted − ring 2θ; 0 where not valid
    std::vector<std::uint8_t> valid;  // 1: an assigned ring with a defined 2θ
};

PointResiduals point_residuals(const CalibrationPoints& points, const Parameters& p,
                               std::span<const std::optional<std::uint64_t>> assignments,
                               std::span<const double> d_spacings, double pixel1, double pixel2);

std::vector<double> loss_weights(std::span<const double> residuals, std::span<const std::uint8_t> valid,
                                 RefineLoss loss, double huber_c);

// Median of at least one value (Panic when empty). NaN sorts last.
double median(std::vector<double> values);

}  // namespace karvelum::calibration
