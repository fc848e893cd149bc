#include "calibration/refinement.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <utility>

#include "calibration/calibrant.hpp"
#include "calibration/inversion.hpp"

namespace karvelum::calibration {

namespace {

using Assignments = std::vector<std::optional<std::uint64_t>>;

constexpr double kEpsilon = 2.220446049250313e-16;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kStepFactor = 1.4901161193847656e-8;  // 2^-26
constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Into (−π, π]; a remainder rather than repeated turns, which would never end
// for huge angles.
double wrap_angle(double x) {
    double w = std::remainder(x, kTwoPi);
    if (w <= -kPi) w += kTwoPi;
    return w;
}

// Ring angles for a wavelength; NaN marks a ring without one (a defined
// angle is never NaN).
void ring_angles(std::span<const double> d_spacings, double wavelength, std::vector<double>& out) {
    out.resize(d_spacings.size());
    for (std::size_t k = 0; k < d_spacings.size(); ++k) {
        std::optional<double> angle = ring_two_theta(wavelength, d_spacings[k]);
        out[k] = angle ? *angle : kNaN;
    }
}

// The parameter-only products of the forward model, formed once per
// parameter vector in the grouping the per-point expressions would give
// them, so every 2θ below is the plain formula's to the bit.
struct Frame {
    double s1, c1, s2, c2, s3, c3, k1, k3, m1, m2, m3, poni1, poni2;

    explicit Frame(const Parameters& p)
        : s1(std::sin(p[kRot1])), c1(std::cos(p[kRot1])), s2(std::sin(p[kRot2])), c2(std::cos(p[kRot2])),
          s3(std::sin(p[kRot3])), c3(std::cos(p[kRot3])), poni1(p[kPoni1]), poni2(p[kPoni2]) {
        const double L = p[kDistance];
        k1 = s1 * s2 * c3 - c1 * s3;
        k3 = s1 * s2 * s3 + c1 * c3;
        m1 = L * (c1 * s2 * c3 + s1 * s3);
        m2 = L * (c1 * s2 * s3 - s1 * c3);
        m3 = L * c1 * c2;
    }

    // The two arguments of 2θ = atan2(rho, z) for x1 = pixel1 · (d1 + 0.5),
    // x2 = pixel2 · (d2 + 0.5).
    void cone(double x1, double x2, double& rho, double& z) const {
        const double p1 = x1 - poni1;
        const double p2 = x2 - poni2;
        const double a = p1 * c2;
        const double t1 = a * c3 + p2 * k1 - m1;
        const double t2 = a * s3 + p2 * k3 - m2;
        rho = std::sqrt(t1 * t1 + t2 * t2);
        z = p1 * s2 - p2 * s1 * c2 + m3;
    }
};

// The points' offsets along both axes, which no parameter changes.
class Model {
public:
    Model(const CalibrationPoints& points, double pixel1, double pixel2) {
        std::size_t n = std::min(points.d1.size(), points.d2.size());
        x1_.resize(n);
        x2_.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            x1_[i] = pixel1 * (points.d1[i] + 0.5);
            x2_[i] = pixel2 * (points.d2[i] + 0.5);
        }
    }

    std::size_t size() const { return x1_.size(); }

    // 2θ of every point into `out`. The arithmetic runs in a pass of its own
    // and atan2 in a second, so that the first can be vectorised and the
    // second is one call after another.
    void predict(const Parameters& p, std::span<double> out) const {
        const Frame f(p);
        const std::size_t n = x1_.size();
        z_.resize(n);
        for (std::size_t i = 0; i < n; ++i) f.cone(x1_[i], x2_[i], out[i], z_[i]);
        for (std::size_t i = 0; i < n; ++i) out[i] = std::atan2(out[i], z_[i]);
    }

private:
    std::vector<double> x1_, x2_;
    mutable std::vector<double> z_;  // scratch
};

// The largest of a and b ignoring NaN, as std::fmax, inlined for the loops
// over points.
inline double larger(double a, double b) { return (b > a || std::isnan(a)) ? b : a; }

void assign(std::span<const double> predicted, const std::vector<double>& rings, const Assignments& given,
            double assign_tol, Assignments& out) {
    out.assign(given.begin(), given.begin() + static_cast<std::ptrdiff_t>(predicted.size()));
    for (std::size_t i = 0; i < predicted.size(); ++i) {
        if (out[i]) continue;
        std::optional<std::uint64_t> best;
        double best_distance = 0.0;
        for (std::size_t k = 0; k < rings.size(); ++k) {
            if (std::isnan(rings[k])) continue;
            double distance = std::fabs(rings[k] - predicted[i]);
            if (!best || distance < best_distance) {
                best = k;
                best_distance = distance;
            }
        }
        if (best && best_distance <= assign_tol) out[i] = best;
    }
}

// The 2θ each point is fitted against: its ring's, or NaN when it has no
// ring in range or the ring has no angle.
void targets_into(const std::vector<double>& rings, std::span<const std::optional<std::uint64_t>> assignment,
                  std::span<double> target) {
    for (std::size_t i = 0; i < target.size(); ++i) {
        const std::optional<std::uint64_t>& ring = assignment[i];
        target[i] = ring && *ring < rings.size() ? rings[*ring] : kNaN;
    }
}

void residuals_into(std::span<const double> predicted, std::span<const double> target, std::span<double> residual,
                    std::span<std::uint8_t> valid) {
    for (std::size_t i = 0; i < predicted.size(); ++i) {
        const bool ok = !std::isnan(target[i]);
        residual[i] = ok ? predicted[i] - target[i] : 0.0;
        valid[i] = ok ? 1 : 0;
    }
}

void weights_into(std::span<const double> residual, std::span<const std::uint8_t> valid, RefineLoss loss,
                  double c, std::span<double> weight) {
    for (std::size_t i = 0; i < residual.size(); ++i) {
        double r = residual[i];
        if (!valid[i]) weight[i] = 0.0;
        else if (loss == RefineLoss::L2) weight[i] = 1.0;
        else if (std::fabs(r) <= c || r == 0.0 || std::isnan(r)) weight[i] = 1.0;
        else weight[i] = c / std::fabs(r);
    }
}

// One evaluated parameter vector.
struct State {
    Parameters params{};
    std::vector<double> rings;
    Assignments assignment;
    std::vector<double> predicted, target, residual, weight;
    std::vector<std::uint8_t> valid;
    double cost = 0.0;

    explicit State(std::size_t n) : predicted(n), target(n), residual(n), weight(n), valid(n) {}
};

class Fit {
public:
    Fit(const CalibrationPoints& points, std::span<const double> d_spacings, double pixel1, double pixel2,
        const RefineOptions& options)
        : model_(points, pixel1, pixel2), given_(points.ring), d_spacings_(d_spacings), options_(options) {}

    const Model& model() const { return model_; }
    std::span<const double> d_spacings() const { return d_spacings_; }

    // Everything at s.params: predictions, ring angles, assignments (fresh
    // from the given rings when auto-assigning), residuals, weights, cost.
    void evaluate(State& s) const {
        model_.predict(s.params, s.predicted);
        ring_angles(d_spacings_, s.params[kWavelength], s.rings);
        if (options_.auto_assign) assign(s.predicted, s.rings, given_, options_.assign_tol, s.assignment);
        else s.assignment.assign(given_.begin(), given_.end());
        targets_into(s.rings, s.assignment, s.target);
        residuals_into(s.predicted, s.target, s.residual, s.valid);
        weights_into(s.residual, s.valid, options_.loss, options_.huber_c, s.weight);
        double cost = 0.0;
        for (std::size_t i = 0; i < s.residual.size(); ++i) cost += s.weight[i] * (s.residual[i] * s.residual[i]);
        s.cost = cost;
    }

private:
    Model model_;
    const Assignments& given_;
    std::span<const double> d_spacings_;
    const RefineOptions& options_;
};

double derivative_scale(std::size_t j, double value) {
    if (j == kDistance || j == kPoni1 || j == kPoni2) return std::fmax(std::fabs(value), 0.01);
    if (j == kWavelength) return std::fmax(std::fabs(value), 1e-11);
    return 1.0;
}

bool all_finite(const Parameters& p) {
    return std::all_of(p.begin(), p.end(), [](double v) { return std::isfinite(v); });
}

std::string error_text(RefineError::Kind kind, std::uint64_t a, std::uint64_t b, std::uint64_t c) {
    using K = RefineError::Kind;
    auto n = [](std::uint64_t v) { return std::to_string(v); };
    switch (kind) {
        case K::NoControlPoints: return "no control points provided";
        case K::Underdetermined:
            return "underdetermined: " + n(a) + " effective points < " + n(b) + " free parameters";
        case K::SingularNormalEquations: return "normal-equations matrix is singular";
        case K::UnassignedPoint: return "point " + n(a) + " has no ring assigned but auto_assign_rings is off";
        case K::RingOutOfRange:
            return "point " + n(a) + " references ring " + n(b) + " but calibrant has only " + n(c) + " rings";
        case K::BadWavelength: return "wavelength must be positive and finite";
        case K::NonFiniteCoordinates: return "point " + n(a) + " has non-finite coordinates";
    }
    return "refinement failed";
}

}  // namespace

RefineError::RefineError(Kind kind, std::uint64_t a, std::uint64_t b, std::uint64_t c)
    : ValueError(error_text(kind, a, b, c)), kind_(kind), fields_{a, b, c} {}

std::string refine_error_message(const RefineError& error) { return error.message(); }

Parameters parameters_of(const PoniGeometry& g) {
    return {g.distance, g.poni1, g.poni2, g.rot1, g.rot2, g.rot3, g.wavelength};
}

PoniGeometry geometry_with(const PoniGeometry& start, const Parameters& p) {
    PoniGeometry g = start;
    g.distance = p[kDistance];
    g.poni1 = p[kPoni1];
    g.poni2 = p[kPoni2];
    g.rot1 = p[kRot1];
    g.rot2 = p[kRot2];
    g.rot3 = p[kRot3];
    g.wavelength = p[kWavelength];
    return g;
}

std::vector<double> predict_two_theta(const CalibrationPoints& points, const Parameters& p, double pixel1,
                                      double pixel2) {
    Model model(points, pixel1, pixel2);
    std::vector<double> out(model.size());
    model.predict(p, out);
    return out;
}

std::vector<std::optional<std::uint64_t>> auto_assign_rings(const CalibrationPoints& points, const Parameters& p,
                                                            std::span<const double> d_spacings, double pixel1,
                                                            double pixel2, double assign_tol) {
    std::vector<double> predicted = predict_two_theta(points, p, pixel1, pixel2);
    if (points.ring.size() > predicted.size()) throw Panic("control point vectors differ in length");
    predicted.resize(points.ring.size());
    std::vector<double> rings;
    ring_angles(d_spacings, p[kWavelength], rings);
    Assignments out;
    assign(predicted, rings, points.ring, assign_tol, out);
    return out;
}

PointResiduals point_residuals(const CalibrationPoints& points, const Parameters& p,
                               std::span<const std::optional<std::uint64_t>> assignments,
                               std::span<const double> d_spacings, double pixel1, double pixel2) {
    std::vector<double> predicted = predict_two_theta(points, p, pixel1, pixel2);
    if (assignments.size() < predicted.size()) throw Panic("fewer assignments than points");
    std::vector<double> rings, target(predicted.size());
    ring_angles(d_spacings, p[kWavelength], rings);
    targets_into(rings, assignments.first(predicted.size()), target);
    PointResiduals out{std::vector<double>(predicted.size()), std::vector<std::uint8_t>(predicted.size())};
    residuals_into(predicted, target, out.residuals, out.valid);
    return out;
}

std::vector<double> loss_weights(std::span<const double> residuals, std::span<const std::uint8_t> valid,
                                 RefineLoss loss, double huber_c) {
    if (valid.size() < residuals.size()) throw Panic("fewer valid flags than residuals");
    std::vector<double> out(residuals.size());
    weights_into(residuals, valid, loss, huber_c, out);
    return out;
}

double median(std::vector<double> values) {
    const std::size_t n = values.size();
    if (n == 0) throw Panic("median of no values");
    if (n <= 20) {
        for (std::size_t i = 1; i < n; ++i) {
            for (std::size_t j = i; j > 0 && values[j] < values[j - 1]; --j) std::swap(values[j], values[j - 1]);
        }
    } else {
        std::sort(values.begin(), values.end(), [](double a, double b) {
            if (std::isnan(a)) return false;
            if (std::isnan(b)) return true;
            return a < b;
        });
    }
    if (n % 2 == 1) return values[n / 2];
    return (values[n / 2 - 1] + values[n / 2]) * 0.5;
}

namespace {

// ValueError for the first start value, other than the wavelength, that is
// not finite.
void require_finite_start(const PoniGeometry& start) {
    const std::pair<double, const char*> values[] = {
        {start.pixel1, "pixel1"}, {start.pixel2, "pixel2"}, {start.distance, "distance"}, {start.poni1, "poni1"},
        {start.poni2, "poni2"},   {start.rot1, "rot1"},     {start.rot2, "rot2"},         {start.rot3, "rot3"}};
    for (const auto& [value, name] : values) {
        if (!std::isfinite(value)) throw ValueError(std::string("start ") + name + " must be finite");
    }
}

// The input checks, in their order: points, wavelength, then each point's
// ring and coordinates. Throws RefineError.
void check_refine_inputs(const PoniGeometry& start, const CalibrationPoints& points,
                         std::span<const double> d_spacings, const RefineOptions& options) {
    if (points.d2.size() != points.d1.size() || points.ring.size() != points.d1.size()) {
        throw Panic("control point vectors differ in length");
    }
    using K = RefineError::Kind;
    const std::size_t n = points.d1.size();
    const std::uint64_t n_rings = d_spacings.size();
    if (n == 0) throw RefineError(K::NoControlPoints);
    if (!(start.wavelength > 0.0) || !std::isfinite(start.wavelength)) throw RefineError(K::BadWavelength);
    for (std::size_t i = 0; i < n; ++i) {
        const std::optional<std::uint64_t>& ring = points.ring[i];
        if (ring && *ring >= n_rings) throw RefineError(K::RingOutOfRange, i, *ring, n_rings);
        if (!ring && !options.auto_assign) throw RefineError(K::UnassignedPoint, i);
    }
    // A point off the detector plane would leave every prediction undefined
    // and the fit silently at its start.
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(points.d1[i]) || !std::isfinite(points.d2[i])) {
            throw RefineError(K::NonFiniteCoordinates, i);
        }
    }
}

// The fit, once the inputs are checked.
CalibrationResult fit_checked_inputs(const PoniGeometry& start, const CalibrationPoints& points,
                                     std::span<const double> d_spacings, const RefineOptions& options) {
    using K = RefineError::Kind;
    const std::size_t n = points.d1.size();
    std::vector<std::size_t> free;
    for (std::size_t j = 0; j < kParameterCount; ++j) {
        if (options.free[j]) free.push_back(j);
    }

    Fit fit(points, d_spacings, start.pixel1, start.pixel2, options);
    State current(n), trial(n);
    current.params = parameters_of(start);
    fit.evaluate(current);
    std::uint64_t effective = 0;
    for (double w : current.weight) effective += w > 0.0 ? 1 : 0;
    if (effective < free.size()) throw RefineError(K::Underdetermined, effective, free.size());

    std::uint64_t n_iter = 0;
    if (options.max_iter == 0) {
        n_iter = 1;
    } else {
        const std::size_t m = free.size();
        std::vector<double> jacobian(m * n), shifted_predicted(n), shifted_target(n), a(m * m), b(m);
        std::vector<double> shifted_rings;
        std::vector<std::size_t> active;
        active.reserve(m);
        double lambda = 0.001;
        for (;;) {
            // Derivatives by forward differences at the current assignments.
            // A parameter whose step moves no residual beyond rounding noise
            // (rot3 always) stays out of this iteration's system: its column
            // would be noise and its step arbitrary.
            double largest_angle = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                if (current.weight[i] != 0.0) largest_angle = larger(largest_angle, std::fabs(current.predicted[i]));
            }
            const double noise = 64.0 * kEpsilon * largest_angle;
            active.clear();
            for (std::size_t j : free) {
                const double h = derivative_scale(j, current.params[j]) * kStepFactor;
                Parameters shifted = current.params;
                shifted[j] = current.params[j] + h;
                // The wavelength moves the rings, not the predictions.
                const double* predicted = current.predicted.data();
                const double* target = current.target.data();
                if (j == kWavelength) {
                    ring_angles(fit.d_spacings(), shifted[kWavelength], shifted_rings);
                    targets_into(shifted_rings, current.assignment, shifted_target);
                    target = shifted_target.data();
                } else {
                    fit.model().predict(shifted, shifted_predicted);
                    predicted = shifted_predicted.data();
                }
                double* column = jacobian.data() + active.size() * n;
                double change = 0.0;
                for (std::size_t i = 0; i < n; ++i) {
                    const double r = std::isnan(target[i]) ? 0.0 : predicted[i] - target[i];
                    const double delta = r - current.residual[i];
                    column[i] = delta / h;
                    if (current.weight[i] != 0.0) change = larger(change, std::fabs(delta));
                }
                if (change > noise) active.push_back(j);
            }

            // Damped normal equations over the active parameters.
            const std::size_t k = active.size();
            std::fill(a.begin(), a.end(), 0.0);
            std::fill(b.begin(), b.end(), 0.0);
            for (std::size_t i = 0; i < n; ++i) {
                const double w = current.weight[i];
                if (w == 0.0) continue;
                for (std::size_t r = 0; r < k; ++r) {
                    const double wj = w * jacobian[r * n + i];
                    for (std::size_t c = r; c < k; ++c) a[r * k + c] += wj * jacobian[c * n + i];
                    b[r] += wj * current.residual[i];
                }
            }
            for (std::size_t r = 0; r < k; ++r) {
                for (std::size_t c = 0; c < r; ++c) a[r * k + c] = a[c * k + r];
                a[r * k + r] = a[r * k + r] * (1.0 + lambda);
                b[r] = -b[r];
            }
            if (!solve_linear_system(std::span(a).first(k * k), std::span(b).first(k), k)) {
                throw RefineError(K::SingularNormalEquations);
            }

            trial.params = current.params;
            for (std::size_t r = 0; r < k; ++r) trial.params[active[r]] = current.params[active[r]] + b[r];
            ++n_iter;
            bool accepted = false;
            if (all_finite(trial.params)) {
                fit.evaluate(trial);
                accepted = trial.cost < current.cost;
            }
            if (accepted) {
                for (std::size_t j : {kRot1, kRot2, kRot3}) trial.params[j] = wrap_angle(trial.params[j]);
                const double relative = (current.cost - trial.cost) / std::fmax(current.cost, 1e-300);
                std::swap(current, trial);
                if (relative < options.tol) break;
                lambda = std::fmax(lambda * 0.5, 1e-12);
            } else {
                lambda = lambda * 10.0;
                if (lambda > 1e12) break;
            }
            if (n_iter == options.max_iter) break;
        }
    }

    CalibrationResult result;
    result.geometry = geometry_with(start, current.params);
    result.assignments = std::move(current.assignment);
    result.inliers.resize(n);
    double chi2 = 0.0;
    std::uint64_t n_valid = 0;
    for (std::size_t i = 0; i < n; ++i) {
        result.inliers[i] = current.weight[i] > 0.0;
        if (current.valid[i]) {
            chi2 += current.residual[i] * current.residual[i];
            ++n_valid;
        }
    }
    result.n_iter = n_iter;
    result.chi2 = chi2;
    result.rms_rad = std::sqrt(chi2 / static_cast<double>(std::max<std::uint64_t>(n_valid, 1)));
    return result;
}

}  // namespace

CalibrationResult refine_geometry_lm(const PoniGeometry& start, const CalibrationPoints& points,
                                     std::span<const double> d_spacings, const RefineOptions& options) {
    check_refine_inputs(start, points, d_spacings, options);
    return fit_checked_inputs(start, points, d_spacings, options);
}

CalibrationResult refine_given_start(const PoniGeometry& start, const CalibrationPoints& points,
                                     std::span<const double> d_spacings, const RefineOptions& options) {
    check_refine_inputs(start, points, d_spacings, options);
    require_finite_start(start);
    return fit_checked_inputs(start, points, d_spacings, options);
}

}  // namespace karvelum::calibration
