#include "calibration/auto.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include <tbb/parallel_invoke.h>

#include "calibration/grid_search.hpp"
#include "calibration/points.hpp"
#include "pool.hpp"

namespace karvelum::calibration {

namespace {

using Kind = AutoCalibrateError::Kind;

constexpr double kHalfPi = 1.5707963267948966;

std::string message_of(Kind kind) {
    switch (kind) {
        case Kind::NoEllipses: return "no ellipses detected by RANSAC";
        case Kind::RingsNotIdentified: return "could not confidently assign ellipses to calibrant rings";
        case Kind::Refine: break;
    }
    return "refinement failed";
}

// Ascending with NaN last, then the element at n / 2 (the upper middle).
double upper_middle(std::vector<double> values) {
    std::sort(values.begin(), values.end(),
              [](double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); });
    return values[values.size() / 2];
}

double mean(const std::vector<double>& values) {
    double sum = 0.0;
    for (double v : values) sum += v;
    return sum / static_cast<double>(values.size());
}

// One tilt estimate from an ellipse, before the tilt direction is chosen.
struct TiltSample {
    double distance;  // along the detector normal
    double e1, e2;    // the ellipse centre, metres from the detector edge
    double shift;     // from the ellipse centre to the PONI, along the major axis
    double tau;       // tilt angle
    double phi;       // major-axis direction
};

AutoCalibrateResult run_ransac(std::span<const Peak> peaks, std::span<const double> d_spacings, double wavelength,
                               double pixel1, double pixel2, const AutoCalibrateOptions& options) {
    RansacEllipseResult found = ransac_ellipse_search(peaks, options.ransac);
    const std::size_t n = found.ellipses.size();
    if (n == 0) throw AutoCalibrateError(Kind::NoEllipses);
    const double limit = options.center_consistency_px;
    if (n >= 3 && limit > 0.0) {
        // Ellipses whose centre is far from the (upper) median centre are
        // not rings of this beam.
        std::vector<double> c1(n), c2(n);
        for (std::size_t e = 0; e < n; ++e) c1[e] = found.ellipses[e].center_d1, c2[e] = found.ellipses[e].center_d2;
        const double m1 = upper_middle(c1), m2 = upper_middle(c2);
        std::vector<std::optional<std::uint64_t>> position(n);
        std::vector<EllipseFit> kept;
        for (std::size_t e = 0; e < n; ++e) {
            const double a = c1[e] - m1, b = c2[e] - m2;
            if (a * a + b * b <= limit * limit) {
                position[e] = kept.size();
                kept.push_back(found.ellipses[e]);
            }
        }
        for (auto& a : found.assignments) {
            if (a) a = position[static_cast<std::size_t>(*a)];
        }
        found.ellipses = std::move(kept);
    }
    return calibrate_from_ellipses(peaks, found.ellipses, found.assignments, d_spacings, wavelength, pixel1, pixel2,
                                   options);
}

AutoCalibrateResult run_radial(std::span<const Peak> peaks, std::span<const double> d_spacings, double wavelength,
                               double pixel1, double pixel2, const AutoCalibrateOptions& options) {
    const RansacEllipseResult found = radial_band_ellipses(peaks, options.ring_center, options.radial);
    if (found.ellipses.empty()) throw AutoCalibrateError(Kind::NoEllipses);
    return calibrate_from_ellipses(peaks, found.ellipses, found.assignments, d_spacings, wavelength, pixel1, pixel2,
                                   options);
}

struct Outcome {
    std::optional<AutoCalibrateResult> result;
    std::optional<AutoCalibrateError> error;
};

template <class F>
Outcome attempt(F&& f) {
    try {
        return {f(), std::nullopt};
    } catch (const AutoCalibrateError& e) {
        return {std::nullopt, e};
    }
}

AutoCalibrateResult run_all(std::span<const Peak> peaks, std::span<const double> d_spacings, double wavelength,
                            double pixel1, double pixel2, const AutoCalibrateOptions& options) {
    std::array<Outcome, 3> outcomes;
    pool::run([&] {
        tbb::parallel_invoke(
            [&] {
                tbb::parallel_invoke(
                    [&] {
                        outcomes[0] =
                            attempt([&] { return run_radial(peaks, d_spacings, wavelength, pixel1, pixel2, options); });
                    },
                    [&] {
                        outcomes[1] =
                            attempt([&] { return run_ransac(peaks, d_spacings, wavelength, pixel1, pixel2, options); });
                    });
            },
            [&] {
                outcomes[2] =
                    attempt([&] { return run_grid_search(peaks, d_spacings, wavelength, pixel1, pixel2, options); });
            });
    });
    // Radial, ransac, grid: a later result wins only with a strictly smaller
    // residual; with no result the last error stands.
    std::optional<AutoCalibrateResult> best;
    std::optional<AutoCalibrateError> error;
    for (Outcome& o : outcomes) {
        if (o.result) {
            if (!best || o.result->calibration.rms_rad < best->calibration.rms_rad) best = std::move(o.result);
        } else {
            error = std::move(o.error);
        }
    }
    if (best) return std::move(*best);
    throw *error;
}

}  // namespace

AutoCalibrateError::AutoCalibrateError(Kind kind) : ValueError(message_of(kind)), kind_(kind) {}

AutoCalibrateError::AutoCalibrateError(const RefineError& error)
    : ValueError("refinement failed: " + refine_error_message(error)), kind_(Kind::Refine), refine_error_(error) {}

AutoCalibrateResult calibrate_from_ellipses(std::span<const Peak> peaks, std::span<const EllipseFit> ellipses,
                                            std::span<const std::optional<std::uint64_t>> assignments,
                                            std::span<const double> d_spacings, double wavelength, double pixel1,
                                            double pixel2, const AutoCalibrateOptions& options) {
    const RingIdResult id = identify_ring_indices(ellipses, d_spacings, options.ring_id, wavelength);
    if (!id.confident) throw AutoCalibrateError(Kind::RingsNotIdentified);

    std::vector<double> e1, e2, ratios, distances;
    std::vector<TiltSample> tilts;
    const double pixel = std::sqrt(pixel1 * pixel2);
    for (std::size_t e = 0; e < ellipses.size(); ++e) {
        const std::optional<std::uint64_t>& ring = id.ring_index[e];
        if (!ring || *ring >= d_spacings.size()) continue;
        const std::optional<double> two_theta = ring_two_theta(wavelength, d_spacings[static_cast<std::size_t>(*ring)]);
        if (!two_theta) continue;
        const EllipseFit& f = ellipses[e];
        const double a = f.semi_major, b = f.semi_minor, angle = *two_theta;
        e1.push_back(f.center_d1);
        e2.push_back(f.center_d2);
        ratios.push_back(a / b);
        const double t = std::tan(angle);
        if (t > 0.0) distances.push_back(pixel * b / t);
        // A ring of a detector tilted by tau about the minor axis is an
        // ellipse whose axis ratio gives tau and whose centre lies `shift`
        // from the PONI along the major axis.
        if (!(b <= a && b > 0.0 && a > 0.0 && angle > 0.0 && angle < kHalfPi)) continue;
        const double r = b / a;
        const double q = r * r;
        double s = (1.0 - q) / (t * t + 1.0);
        if (s < 0.0) s = 0.0;
        if (s > 1.0) s = 1.0;
        const double k = 1.0 - s;
        if (k <= 0.0) continue;
        const double tau = std::atan2(std::sqrt(s), std::sqrt(k));
        const double den = k - t * t * s;
        if (den <= 0.0) continue;
        const double distance = pixel * (b * b) / (a * t);
        const double shift = (t * t + 1.0) * distance * std::sqrt(s) * std::sqrt(k) / den;
        tilts.push_back({distance, (f.center_d1 + 0.5) * pixel1, (f.center_d2 + 0.5) * pixel2, shift, tau, f.theta});
    }
    if (e1.empty() || distances.empty()) throw AutoCalibrateError(Kind::RingsNotIdentified);

    // The major axis gives the tilt direction up to its sign. Ring centres
    // move away from the PONI as rings grow, so the sign is the one pointing
    // from the smallest used ellipse's centre towards the largest one's.
    const double toward1 = e1.back() - e1.front(), toward2 = e2.back() - e2.front();
    const bool oriented = e1.size() >= 2 && !(toward1 == 0.0 && toward2 == 0.0);
    std::array<std::vector<double>, 5> records;
    for (const TiltSample& sample : tilts) {
        const double c = std::cos(sample.phi), s = std::sin(sample.phi);
        std::array<double, 5> record;
        if (oriented) {
            const double sign = c * toward1 + s * toward2 < 0.0 ? -1.0 : 1.0;
            const double cp = sign * c, sp = sign * s;
            record = {sample.distance, sample.e1 - sample.shift * cp, sample.e2 - sample.shift * sp, -(sample.tau * sp),
                      sample.tau * cp};
        } else {
            record = {sample.distance, sample.e1 + sample.shift * c, sample.e2 + sample.shift * s, sample.tau * s,
                      sample.tau * c};
        }
        for (std::size_t j = 0; j < 5; ++j) records[j].push_back(record[j]);
    }

    const double p1 = (mean(e1) + 0.5) * pixel1, p2 = (mean(e2) + 0.5) * pixel2;
    Parameters start{mean(distances), p1, p2, 0.0, 0.0, 0.0, wavelength};
    if (upper_middle(ratios) >= 1.05 && !tilts.empty()) {
        for (std::size_t j = 0; j < 5; ++j) start[j] = median(records[j]);
    }

    CalibrationPoints points;
    for (std::size_t p = 0; p < peaks.size() && p < assignments.size(); ++p) {
        const std::optional<std::uint64_t>& e = assignments[p];
        if (!e) continue;
        const std::optional<std::uint64_t>& ring = id.ring_index[static_cast<std::size_t>(*e)];
        if (!ring) continue;
        points.d1.push_back(peaks[p].d1);
        points.d2.push_back(peaks[p].d2);
        points.ring.push_back(ring);
    }
    if (points.size() == 0) throw AutoCalibrateError(Kind::RingsNotIdentified);

    PoniGeometry geometry;
    geometry.pixel1 = pixel1;
    geometry.pixel2 = pixel2;
    RefineOptions refine_options{.loss = options.loss,
                                 .huber_c = options.huber_c,
                                 .assign_tol = 0.05,
                                 .max_iter = options.max_iter,
                                 .tol = options.tol,
                                 .free = options.free,
                                 .auto_assign = false};
    AutoCalibrateResult result;
    try {
        result.calibration =
            refine_geometry_lm(geometry_with(geometry, start), points, d_spacings, refine_options);
    } catch (const RefineError& e) {
        throw AutoCalibrateError(e);
    }
    result.n_detected_ellipses = ellipses.size();
    result.n_identified_ellipses = id.n_matched;
    result.bootstrap_distance = start[kDistance];
    result.bootstrap_ring_center_d1 = p1;
    result.bootstrap_ring_center_d2 = p2;
    return result;
}

AutoCalibrateResult run_auto_calibration(std::span<const Peak> peaks, const Calibrant& calibrant, double wavelength,
                                         double pixel1, double pixel2, const AutoCalibrateOptions& options) {
    // A threshold of zero or less gives no point a weight, so the fit could
    // not tell good rings from bad ones.
    if (!(options.huber_c > 0.0 && std::isfinite(options.huber_c))) {
        throw ValueError("huber_c must be positive and finite");
    }
    // Every distance estimate scales with the pixel size: a NaN would come
    // back as a NaN geometry that looks refined.
    for (const auto& [value, name] : {std::pair{pixel1, "pixel1"}, std::pair{pixel2, "pixel2"}}) {
        if (!(value > 0.0 && std::isfinite(value))) throw ValueError(std::string(name) + " must be positive and finite");
    }
    const std::span<const double> d = calibrant.d_spacings;
    switch (options.method) {
        case AutoCalibrateMethod::Radial: return run_radial(peaks, d, wavelength, pixel1, pixel2, options);
        case AutoCalibrateMethod::Ransac: return run_ransac(peaks, d, wavelength, pixel1, pixel2, options);
        case AutoCalibrateMethod::Grid: return run_grid_search(peaks, d, wavelength, pixel1, pixel2, options);
        case AutoCalibrateMethod::Auto: break;
    }
    return run_all(peaks, d, wavelength, pixel1, pixel2, options);
}

}  // namespace karvelum::calibration
