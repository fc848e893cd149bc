#include "calibration/auto.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <limits>
#include <string>
#include <vector>

#include <tbb/parallel_invoke.h>

#include "calibration/grid_search.hpp"
#include "calibration/points.hpp"
#include "memory.hpp"
#include "pool.hpp"

namespace karvelum::calibration {

namespace {

using Kind = AutoCalibrateError::Kind;

constexpr double kHalfPi = 1.5707963267948966;

// The refinement of control points labelled with their rings.
RefineOptions labelled_points_refinement(const AutoCalibrateOptions& options) {
    return {.loss = options.loss,
            .huber_c = options.huber_c,
            .assign_tol = 0.05,
            .max_iter = options.max_iter,
            .tol = options.tol,
            .free = options.free,
            .auto_assign = false};
}

// A peak sits on a ring within this fraction of the gap to the next ring.
constexpr double kOnRingGapFraction = 0.1;
// The least fraction of the detected ellipses' peaks (or of all peaks) on
// rings under an accepted geometry, unless the rings off the calibrant's are
// a minority (covers_seen).
constexpr double kMinOnRingFraction = 0.9;
// At most one ring the calibrant does not list is forgiven for this many that
// sit on its rings: the rings of a lamellar calibrant under twice its
// distance, every other one sitting, are not a few foreign rings.
constexpr std::uint64_t kMaxForgivenShare = 3;
// A detected ellipse is a ring when the peaks within kRingBandPx of it
// outnumber kRingContrast times what the mean density of peaks puts in that
// band; an ellipse drawn through background peaks (weak rings give
// thousands) holds about that many.
constexpr double kRingBandPx = 2.0;
constexpr double kRingContrast = 3.0;
// The fraction of peaks on each side left out of the box the density is
// taken over.
constexpr double kBoxTrimFraction = 0.005;
constexpr std::uint64_t kArcSteps = 720;
constexpr double kTwoPi = 6.283185307179586;
// A geometry's pixel residuals may exceed those of an ellipse fitted to
// each ring alone by at most this factor (medians, the rings with at least
// kMinRingPoints peaks; a micro-pixel of slack for exact points).
constexpr double kMaxResidualRatio = 2.0;
constexpr std::size_t kMinRingPoints = 20;
constexpr double kPixelSlack = 1e-6;
// The factor for a refit: at its optimum a right geometry reaches the
// scatter of the peaks.
constexpr double kMaxRefitResidualRatio = 1.5;
// The refit of a method's points (refit_on_rings): at most this many
// rounds, and another only after one that lowered the rms below this
// fraction of the one before. A fit whose points it brings to less than
// 1 / kOptimumGain of their rms stopped far from its optimum.
constexpr std::uint64_t kRefitRounds = 4;
constexpr double kRefitGain = 0.99;
constexpr double kOptimumGain = 1.2;
// A fit agrees with that of every peak on its rings (agrees_with_every_ring_
// peak) within half of what a calibration may be off, 1 mm and half a
// degree: the fit of every peak is itself off by up to a few tenths of that.
constexpr double kAgreeLength = 0.5e-3;
constexpr double kAgreeAngle = 0.004363323129985824;

struct RingAngle {
    double angle;        // 2θ in (0, π/2)
    std::uint64_t ring;  // calibrant index
};

// The rings below 90° by ascending angle; of equal angles the first ring.
std::vector<RingAngle> rings_below_right_angle(std::span<const double> d_spacings, double wavelength) {
    std::vector<RingAngle> rings;
    for (std::size_t k = 0; k < d_spacings.size(); ++k) {
        const std::optional<double> angle = ring_two_theta(wavelength, d_spacings[k]);
        if (angle && *angle > 0.0 && *angle < kHalfPi) rings.push_back({*angle, k});
    }
    std::stable_sort(rings.begin(), rings.end(),
                     [](const RingAngle& a, const RingAngle& b) { return a.angle < b.angle; });
    const auto same = [](const RingAngle& a, const RingAngle& b) { return a.angle == b.angle; };
    rings.erase(std::unique(rings.begin(), rings.end(), same), rings.end());
    return rings;
}

// The ring `two_theta` sits on (see RingCheck), if any.
std::optional<std::uint64_t> ring_at(double two_theta, const std::vector<RingAngle>& rings) {
    const std::size_t n = rings.size();
    if (n == 0 || !std::isfinite(two_theta)) return std::nullopt;
    const auto above = std::lower_bound(rings.begin(), rings.end(), two_theta,
                                        [](const RingAngle& r, double angle) { return r.angle < angle; });
    const auto j = static_cast<std::size_t>(above - rings.begin());
    std::size_t k;
    double distance, gap;
    if (j == 0) {
        k = 0;
        distance = rings[0].angle - two_theta;
        gap = n >= 2 ? rings[1].angle - rings[0].angle : rings[0].angle;
    } else if (j == n) {
        k = n - 1;
        distance = two_theta - rings[k].angle;
        gap = n >= 2 ? rings[k].angle - rings[k - 1].angle : rings[k].angle;
    } else {
        const double below = two_theta - rings[j - 1].angle, over = rings[j].angle - two_theta;
        k = below <= over ? j - 1 : j;
        distance = std::fmin(below, over);
        gap = rings[j].angle - rings[j - 1].angle;
    }
    if (distance <= kOnRingGapFraction * gap) return rings[k].ring;
    return std::nullopt;
}

// The peaks with finite coordinates as unlabelled points, and the rings
// each way of seeing them gives those points.
struct DetectedPeaks {
    CalibrationPoints points;
    SeenRings seen;
};

DetectedPeaks finite_peaks(std::span<const Peak> peaks, const SeenRings& seen) {
    DetectedPeaks out;
    out.seen.resize(seen.size());
    for (std::size_t w = 0; w < seen.size(); ++w) out.seen[w].scatter_px = seen[w].scatter_px;
    for (std::size_t i = 0; i < peaks.size(); ++i) {
        const Peak& p = peaks[i];
        if (!(std::isfinite(p.d1) && std::isfinite(p.d2))) continue;
        out.points.add(p.d1, p.d2, std::nullopt);
        for (std::size_t w = 0; w < seen.size(); ++w) {
            const auto& ring_of = seen[w].ring_of;
            out.seen[w].ring_of.push_back(i < ring_of.size() ? ring_of[i] : std::nullopt);
        }
    }
    return out;
}

// Where the points lie under one geometry: the ring each sits on, if any,
// its 2θ and the radians of 2θ per pixel there (the gradient's norm), the
// listed rings below 90° and the 2θ beyond which a point lies past every
// one of them.
struct RingsUnder {
    std::vector<std::optional<std::uint64_t>> ring;
    std::vector<double> two_theta;
    std::vector<double> rad_per_px;
    std::vector<RingAngle> listed;
    double past_last = 0.0;
};

RingsUnder rings_under(const CalibrationPoints& all, const PoniGeometry& geometry, std::span<const double> d_spacings) {
    const std::vector<RingAngle> rings = rings_below_right_angle(d_spacings, geometry.wavelength);
    const Parameters p = parameters_of(geometry);
    RingsUnder out;
    out.two_theta = predict_two_theta(all, p, geometry.pixel1, geometry.pixel2);
    CalibrationPoints step1 = all, step2 = all;
    for (double& v : step1.d1) v += 0.5;
    for (double& v : step2.d2) v += 0.5;
    const std::vector<double> at1 = predict_two_theta(step1, p, geometry.pixel1, geometry.pixel2);
    const std::vector<double> at2 = predict_two_theta(step2, p, geometry.pixel1, geometry.pixel2);
    out.ring.resize(all.size());
    out.rad_per_px.resize(all.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        out.ring[i] = ring_at(out.two_theta[i], rings);
        const double g1 = (at1[i] - out.two_theta[i]) / 0.5, g2 = (at2[i] - out.two_theta[i]) / 0.5;
        out.rad_per_px[i] = std::sqrt(g1 * g1 + g2 * g2);
    }
    const std::size_t n = rings.size();
    if (n > 0) {
        const double gap = n >= 2 ? rings[n - 1].angle - rings[n - 2].angle : rings[0].angle;
        out.past_last = rings[n - 1].angle + kOnRingGapFraction * gap;
    }
    out.listed = rings;
    return out;
}

// The points that sit on a ring, each labelled with it.
CalibrationPoints labelled(const CalibrationPoints& all, std::span<const std::optional<std::uint64_t>> rings) {
    CalibrationPoints on;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (rings[i]) on.add(all.d1[i], all.d2[i], rings[i]);
    }
    return on;
}

// The points the method assigned to rings, each labelled with the ring it
// sits on under `fit` (points on none left out), refined on from `fit` in
// rounds while the rms falls, within what is left of options.max_iter.
// None when no round ran.
std::optional<CalibrationResult> refit_on_rings(const CalibrationResult& fit, const CalibrationPoints& assigned,
                                               std::span<const double> d_spacings, const RefineOptions& options) {
    std::optional<CalibrationResult> best;
    std::uint64_t used = fit.n_iter;
    const CalibrationResult* from = &fit;
    for (std::uint64_t round = 0; round < kRefitRounds && used < options.max_iter; ++round) {
        const CalibrationPoints on = labelled(assigned, rings_under(assigned, from->geometry, d_spacings).ring);
        RefineOptions budget = options;
        budget.max_iter = options.max_iter - used;
        budget.auto_assign = false;
        CalibrationResult next;
        try {
            next = refine_geometry_lm(from->geometry, on, d_spacings, budget);
        } catch (const RefineError&) {
            break;
        }
        used += next.n_iter;
        next.n_iter = used;
        const bool gained = next.rms_rad < kRefitGain * from->rms_rad;
        best = std::move(next);
        from = &*best;
        if (!gained) break;
    }
    return best;
}

// The rms 2θ residual of `points`, each of a ring, under `geometry`.
double rms_under(const CalibrationPoints& points, const PoniGeometry& geometry, std::span<const double> d_spacings) {
    const PointResiduals r = point_residuals(points, parameters_of(geometry), points.ring, d_spacings,
                                             geometry.pixel1, geometry.pixel2);
    double sum = 0.0;
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < r.residuals.size(); ++i) {
        if (r.valid[i]) sum += r.residuals[i] * r.residuals[i], ++n;
    }
    return std::sqrt(sum / static_cast<double>(std::max<std::uint64_t>(n, 1)));
}

// Whether `fit` stopped far from the least-squares optimum of the rings it
// puts the assigned points on: `refit` (refit_on_rings) brings those points,
// each labelled with its ring under `fit`, to less than 1 / kOptimumGain of
// their rms under `fit`. A fit that stopped along a valley of correlated
// parameters (tilt and PONI far from the detector) leaves the rings nearly
// in place but the geometry far from the truth.
bool far_from_optimum(const CalibrationResult& fit, const CalibrationResult& refit, const CalibrationPoints& assigned,
                      std::span<const double> d_spacings) {
    const CalibrationPoints on = labelled(assigned, rings_under(assigned, fit.geometry, d_spacings).ring);
    return rms_under(on, refit.geometry, d_spacings) * kOptimumGain < rms_under(on, fit.geometry, d_spacings);
}

// Whether `chosen` agrees with the fit of every peak on its rings (`all`,
// each labelled with the ring it sits on under `chosen`, refined from it
// within what is left of options.max_iter after `used`): within kAgreeLength
// in distance and PONI, kAgreeAngle in tilt. A method's peaks can hold arcs
// of its rings only (bands about one centre on a tilted detector); their fit
// can then lie along the valley of tilt and PONI, millimetres from the
// geometry that all the arcs of the rings give, with residuals no larger.
// Without iterations left the fit cannot be verified: the budget, not the
// fit (of `fit_iterations`), fails.
bool agrees_with_every_ring_peak(const CalibrationResult& chosen, const CalibrationPoints& all,
                                 std::span<const double> d_spacings, const RefineOptions& options,
                                 std::uint64_t used, std::uint64_t fit_iterations) {
    if (used >= options.max_iter) throw AutoCalibrateError::no_iterations_to_check(options.max_iter, fit_iterations);
    RefineOptions budget = options;
    budget.max_iter = options.max_iter - used;
    budget.auto_assign = false;
    CalibrationResult every;
    try {
        every = refine_geometry_lm(chosen.geometry, labelled(all, rings_under(all, chosen.geometry, d_spacings).ring),
                                   d_spacings, budget);
    } catch (const RefineError&) {
        return false;
    }
    const PoniGeometry& a = chosen.geometry;
    const PoniGeometry& b = every.geometry;
    return std::fabs(a.distance - b.distance) <= kAgreeLength && std::fabs(a.poni1 - b.poni1) <= kAgreeLength &&
           std::fabs(a.poni2 - b.poni2) <= kAgreeLength && std::fabs(a.rot1 - b.rot1) <= kAgreeAngle &&
           std::fabs(a.rot2 - b.rot2) <= kAgreeAngle;
}

// The calibrant rings the seen rings sit on (covers_seen; sorted and unique
// for skipped_listed), and whether a seen ring lies past the last listed
// ring.
struct RingsSatOn {
    std::vector<std::uint64_t> rings;
    bool past = false;
};

// Whether the rings of one way of seeing them (`way.ring_of`: one per point)
// sit on calibrant rings. A seen ring sits when at least half of its points
// do. A geometry that fits a subset of the rings leaves the other rings'
// peaks between rings, and so does a ring of another phase or of the sample
// holder under the right one; the calibrant list may also stop short of the
// rings on the image. A ring that does not sit is forgiven only when it is a
// ring under the geometry, concentric with the calibrant's: its peaks lie,
// in the median, within twice the scatter of the rings seen (`scatter_px`)
// from their median 2θ. A forgiven ring past the last listed ring is not
// counted; between listed rings there may be one forgiven ring for every
// kMaxForgivenShare calibrant rings sat on (arcs of one ring at one 2θ count
// once), holding no more points than the rings that sit. The rings that sit
// must hold kMinOnRingFraction of the points of the others. True when that
// way saw no ring.
bool covers_seen(const RingsSeen& way, const RingsUnder& under, double scatter_px, RingsSatOn& sat_on) {
    std::vector<std::vector<std::size_t>> members;
    std::vector<std::uint64_t> sitting;
    for (std::size_t i = 0; i < under.ring.size() && i < way.ring_of.size(); ++i) {
        if (!way.ring_of[i]) continue;
        const auto k = static_cast<std::size_t>(*way.ring_of[i]);
        if (k >= members.size()) members.resize(k + 1), sitting.resize(k + 1, 0);
        members[k].push_back(i);
        if (under.ring[i]) ++sitting[k];
    }
    std::uint64_t on = 0, off = 0, forgiven = 0;
    // Calibrant rings sat on, and the 2θ (with radians per pixel there) of
    // the rings forgiven: one ring can be seen as several arcs or bands.
    std::vector<std::uint64_t> sat;
    std::vector<std::pair<double, double>> foreign;
    std::vector<double> angles, from_middle, scale;
    std::vector<std::uint64_t> labels;
    for (std::size_t k = 0; k < members.size(); ++k) {
        const std::vector<std::size_t>& m = members[k];
        if (m.empty()) continue;
        if (2 * sitting[k] >= m.size()) {
            on += m.size();
            labels.clear();
            for (std::size_t i : m) {
                if (under.ring[i]) labels.push_back(*under.ring[i]);
            }
            std::ranges::sort(labels);
            sat.push_back(labels[labels.size() / 2]);
            continue;
        }
        // A band about one centre can hold arcs of a calibrant ring beside
        // a foreign ring: its points on calibrant rings count as such, the
        // others are judged as a ring of their own.
        on += sitting[k];
        angles.clear();
        scale.clear();
        for (std::size_t i : m) {
            if (!under.ring[i]) angles.push_back(under.two_theta[i]), scale.push_back(under.rad_per_px[i]);
        }
        const double middle = median(angles);
        from_middle.clear();
        for (std::size_t i : m) {
            if (!under.ring[i]) from_middle.push_back(std::fabs(under.two_theta[i] - middle) / under.rad_per_px[i]);
        }
        const std::uint64_t rest = m.size() - sitting[k];
        if (!(median(std::move(from_middle)) <= kMaxResidualRatio * scatter_px + kPixelSlack)) {
            off += rest;
        } else if (!(middle > under.past_last)) {
            forgiven += rest;
            foreign.emplace_back(middle, median(std::move(scale)));
        } else {
            sat_on.past = true;
        }
    }
    sat_on.rings.insert(sat_on.rings.end(), sat.begin(), sat.end());
    if (static_cast<double>(on) >= kMinOnRingFraction * static_cast<double>(on + off + forgiven)) return true;
    std::ranges::sort(sat);
    const auto rings_on = static_cast<std::uint64_t>(std::unique(sat.begin(), sat.end()) - sat.begin());
    // Forgiven arcs within a band's width of each other in 2θ are one ring.
    std::ranges::sort(foreign);
    std::uint64_t rings_forgiven = 0;
    for (std::size_t j = 0; j < foreign.size(); ++j) {
        const bool apart = j == 0 || !((foreign[j].first - foreign[j - 1].first) / foreign[j].second <=
                                       2.0 * kRingBandPx);
        rings_forgiven += apart ? 1 : 0;
    }
    return static_cast<double>(on) >= kMinOnRingFraction * static_cast<double>(on + off) &&
           kMaxForgivenShare * rings_forgiven <= rings_on && forgiven <= on;
}

// Whether the points within kRingBandPx of a listed ring are kRingContrast
// times as dense as those from there to 3 kRingBandPx (twice the width; the
// points on other rings left out).
bool shows_ring(const RingsUnder& under, const RingAngle& ring) {
    std::uint64_t near = 0, flank = 0;
    for (std::size_t i = 0; i < under.two_theta.size(); ++i) {
        if (under.ring[i] && *under.ring[i] != ring.ring) continue;
        const double px = std::fabs(under.two_theta[i] - ring.angle) / under.rad_per_px[i];
        near += px <= kRingBandPx ? 1 : 0;
        flank += px > kRingBandPx && px <= 3.0 * kRingBandPx ? 1 : 0;
    }
    return 2.0 * static_cast<double>(near) >= kRingContrast * static_cast<double>(flank);
}

// The listed rings skipped (`under` a geometry), from the innermost sat on
// to the outermost (to the last listed when a ring is seen past the list):
// the peaks do not show them, and no seen ring sits on them or, with
// `sat_must_show`, one does (a band of noise peaks sits on a ring as well
// as any other, but a loose fit spreads a real ring's peaks too). A way of seeing
// rings can miss a ring that the peaks show: one that holds at least
// 1 / kRingContrast of the points the rings sat on hold in the median, and
// holds them within kRingBandPx of it, kRingContrast times as dense as
// within the next 2 kRingBandPx on either side (shows_ring). Many noise
// peaks fill the band of any listed ring, but not its middle only.
std::uint64_t skipped_listed(const RingsSatOn& sat_on, const RingsUnder& under, bool sat_must_show) {
    const std::vector<std::uint64_t>& sat = sat_on.rings;
    const std::vector<RingAngle>& listed = under.listed;
    std::uint64_t top = 0;
    for (const RingAngle& r : listed) top = std::max(top, r.ring);
    std::vector<double> on_ring(static_cast<std::size_t>(top) + 1, 0.0), count(listed.size()), sat_counts;
    for (const std::optional<std::uint64_t>& ring : under.ring) {
        if (ring && *ring <= top) on_ring[static_cast<std::size_t>(*ring)] += 1.0;
    }
    for (std::size_t j = 0; j < listed.size(); ++j) count[j] = on_ring[static_cast<std::size_t>(listed[j].ring)];
    std::vector<bool> seen(listed.size());
    std::size_t first = listed.size(), last = 0;
    for (std::size_t j = 0; j < listed.size(); ++j) {
        seen[j] = std::ranges::binary_search(sat, listed[j].ring);
        if (!seen[j]) continue;
        sat_counts.push_back(count[j]);
        first = std::min(first, j), last = j;
    }
    if (first == listed.size()) return 0;
    if (sat_on.past) last = listed.size() - 1;
    const double typical = median(std::move(sat_counts));
    std::uint64_t skipped = 0;
    for (std::size_t j = first; j <= last; ++j) {
        const bool shown = shows_ring(under, listed[j]);
        skipped += (seen[j] ? shown || !sat_must_show : kRingContrast * count[j] >= typical && shown) ? 0 : 1;
    }
    return skipped;
}

// Whether what was detected sits on rings: every way of seeing rings passes
// covers_seen, and the listed rings they skip (skipped_listed, over all the
// ways) are at most one for every kMaxForgivenShare rings sat on; when none
// saw a ring, kMinOnRingFraction of all points sit on rings. Under a
// geometry of the wrong scale the seen rings can sit on a few listed rings
// far apart, or on outer ones with the others past the list; many noise
// peaks loosen the scatter that would tell their residuals from the truth's.
// Under the right one the rings between sit, bar one missed now and then.
bool covers_detected(const DetectedPeaks& detected, const RingsUnder& under, double scatter_px,
                     bool sat_must_show) {
    bool any = false;
    RingsSatOn sat_on;
    for (const RingsSeen& way : detected.seen) {
        for (const std::optional<std::uint64_t>& r : way.ring_of) any = any || r.has_value();
        if (!covers_seen(way, under, scatter_px, sat_on)) return false;
    }
    if (any) {
        std::vector<std::uint64_t>& sat = sat_on.rings;
        std::ranges::sort(sat);
        sat.erase(std::unique(sat.begin(), sat.end()), sat.end());
        return kMaxForgivenShare * skipped_listed(sat_on, under, sat_must_show) <= sat.size();
    }
    std::uint64_t on = 0;
    for (const std::optional<std::uint64_t>& ring : under.ring) on += ring ? 1 : 0;
    return under.ring.size() > 0 &&
           static_cast<double>(on) >= kMinOnRingFraction * static_cast<double>(under.ring.size());
}

// Whether the points on rings (`under` a geometry) lie as close to them as
// the scatter of the peaks allows. A geometry that fits every ring only
// roughly (a wrong distance with a ring order that matches another one's,
// e.g. rings of sin θ ratio √2 apart) leaves peaks on rings but each ring
// visibly off its own peaks; an ellipse fitted to one ring's peaks alone
// measures their scatter. True when no ring has enough peaks to judge by.
bool residuals_match_ring_ellipses(const CalibrationPoints& all, const RingsUnder& under, double wavelength,
                                   std::span<const double> d_spacings, double seen_scatter, double max_ratio) {
    std::vector<std::vector<std::size_t>> members(d_spacings.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (under.ring[i]) members[static_cast<std::size_t>(*under.ring[i])].push_back(i);
    }
    std::vector<double> off_ring, off_ellipse;
    std::vector<Peak> ring;
    for (std::size_t k = 0; k < members.size(); ++k) {
        const std::vector<std::size_t>& m = members[k];
        const std::optional<double> angle = ring_two_theta(wavelength, d_spacings[k]);
        if (m.size() < kMinRingPoints || !angle) continue;
        // About the ring's mean point, so that the fit's conic (no constant
        // term free) does not pass near the origin.
        double c1 = 0.0, c2 = 0.0;
        for (std::size_t i : m) c1 += all.d1[i], c2 += all.d2[i];
        c1 /= static_cast<double>(m.size());
        c2 /= static_cast<double>(m.size());
        ring.clear();
        for (std::size_t i : m) ring.push_back({all.d1[i] - c1, all.d2[i] - c2});
        const std::optional<EllipseFit> fit = fit_ellipse(ring);
        if (!fit) continue;
        for (std::size_t j = 0; j < m.size(); ++j) {
            const std::size_t i = m[j];
            const double from_ring = std::fabs(under.two_theta[i] - *angle) / under.rad_per_px[i];
            const double from_ellipse = conic_distance(fit->conic, ring[j].d1, ring[j].d2);
            // A peak whose distance is undefined cannot vouch for the geometry.
            if (!std::isfinite(from_ring) || !std::isfinite(from_ellipse)) continue;
            off_ring.push_back(from_ring);
            off_ellipse.push_back(from_ellipse);
        }
    }
    if (off_ring.empty()) return true;
    // Peaks that are not one ring's under a wrong geometry scatter about any
    // ellipse fitted to them; the rings seen in the peaks measure the scatter
    // of a ring's peaks on their own.
    const double off = median(std::move(off_ring));
    return off <= max_ratio * median(std::move(off_ellipse)) + kPixelSlack &&
           !(off > max_ratio * seen_scatter + kPixelSlack);
}

std::string message_of(Kind kind) {
    switch (kind) {
        case Kind::NoEllipses: return "no ellipses detected by RANSAC";
        case Kind::RingsNotIdentified: return "could not confidently assign ellipses to calibrant rings";
        case Kind::Refine:
        case Kind::NoIterationsToCheck: break;
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
    // The ellipses RANSAC kept may be a few of the rings; the radial method's
    // bands see the others.
    const RansacEllipseResult bands = radial_band_ellipses(peaks, options.ring_center, options.radial);
    const SeenRings seen{ring_assignments(peaks, found.ellipses, found.assignments),
                         ring_assignments(peaks, bands.ellipses, bands.assignments)};
    return calibrate_from_ellipses(peaks, found.ellipses, found.assignments, seen, d_spacings, wavelength, pixel1,
                                   pixel2, options);
}

AutoCalibrateResult run_radial(std::span<const Peak> peaks, std::span<const double> d_spacings, double wavelength,
                               double pixel1, double pixel2, const AutoCalibrateOptions& options) {
    const RansacEllipseResult found = radial_band_ellipses(peaks, options.ring_center, options.radial);
    if (found.ellipses.empty()) throw AutoCalibrateError(Kind::NoEllipses);
    const SeenRings seen{ring_assignments(peaks, found.ellipses, found.assignments)};
    return calibrate_from_ellipses(peaks, found.ellipses, found.assignments, seen, d_spacings, wavelength, pixel1,
                                   pixel2, options);
}

struct Outcome {
    std::optional<AutoCalibrateResult> result;
    std::exception_ptr error;
    bool undecided = false;  // max_iter ran out before the check decided
};

// A method that fails, a grid too large to search among them, is one
// outcome of the race; a broken invariant or exhausted memory ends it. It
// runs for no integrate call, whichever thread takes it.
template <class F>
Outcome attempt(F&& f) {
    const CallScope outside_any_call(std::uint64_t(0));
    try {
        return {f(), nullptr};
    } catch (const AutoCalibrateError& e) {
        return {std::nullopt, std::current_exception(), e.kind() == Kind::NoIterationsToCheck};
    } catch (const ValueError&) {
        return {std::nullopt, std::current_exception()};
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
    // residual; with no result the last error stands, unless max_iter left a
    // method's check undecided: then the first such, since a larger budget
    // may give its result.
    std::optional<AutoCalibrateResult> best;
    std::exception_ptr error;
    bool undecided = false;
    for (Outcome& o : outcomes) {
        if (o.result) {
            if (!best || o.result->calibration.rms_rad < best->calibration.rms_rad) best = std::move(o.result);
        } else if (!undecided) {
            error = o.error;
            undecided = o.undecided;
        }
    }
    if (best) return std::move(*best);
    std::rethrow_exception(error);
}

}  // namespace

AutoCalibrateError::AutoCalibrateError(Kind kind) : ValueError(message_of(kind)), kind_(kind) {}

AutoCalibrateError::AutoCalibrateError(const RefineError& error)
    : ValueError("refinement failed: " + refine_error_message(error)), kind_(Kind::Refine), refine_error_(error) {}

AutoCalibrateError::AutoCalibrateError(Kind kind, const std::string& message) : ValueError(message), kind_(kind) {}

AutoCalibrateError AutoCalibrateError::no_iterations_to_check(std::uint64_t max_iter, std::uint64_t fit_iterations) {
    return {Kind::NoIterationsToCheck, "max_iter=" + std::to_string(max_iter) +
                                           " leaves too few iterations to check the fit, which used " +
                                           std::to_string(fit_iterations) + "; raise max_iter"};
}

namespace {

// The tail after ring identification: bootstrap, control points, refinement
// and the check against the rings seen.
AutoCalibrateResult calibrate_with_identity(std::span<const Peak> peaks, std::span<const EllipseFit> ellipses,
                                            std::span<const std::optional<std::uint64_t>> assignments,
                                            const SeenRings& seen, const RingIdResult& id,
                                            std::span<const double> d_spacings, double wavelength, double pixel1,
                                            double pixel2, const AutoCalibrateOptions& options) {
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
    AutoCalibrateResult result;
    try {
        result.calibration =
            refine_geometry_lm(geometry_with(geometry, start), points, d_spacings, labelled_points_refinement(options));
    } catch (const RefineError& e) {
        throw AutoCalibrateError(e);
    }
    std::optional<CalibrationResult> checked =
        checked_fit(result.calibration, points, peaks, seen, d_spacings, labelled_points_refinement(options));
    if (!checked) throw AutoCalibrateError(Kind::RingsNotIdentified);
    result.calibration = std::move(*checked);
    result.n_detected_ellipses = ellipses.size();
    result.n_identified_ellipses = id.n_matched;
    result.bootstrap_distance = start[kDistance];
    result.bootstrap_ring_center_d1 = p1;
    result.bootstrap_ring_center_d2 = p2;
    return result;
}

}  // namespace

AutoCalibrateResult calibrate_from_ellipses(std::span<const Peak> peaks, std::span<const EllipseFit> ellipses,
                                            std::span<const std::optional<std::uint64_t>> assignments,
                                            const SeenRings& seen, std::span<const double> d_spacings,
                                            double wavelength, double pixel1, double pixel2,
                                            const AutoCalibrateOptions& options) {
    // A subset of the rings fitted with a small spread is no better than all
    // of them fitted with a larger one: the hypothesis that matches the most
    // ellipses comes first. One ring fitted twice (bands of a strongly tilted
    // ring) can lend a wrong hypothesis extra matches; the check refuses it,
    // and the hypothesis of the smallest spread has its turn.
    RingIdOptions ring_id = options.ring_id;
    ring_id.most_matches_first = true;
    const RingIdResult most = identify_ring_indices(ellipses, d_spacings, ring_id, wavelength);
    if (!most.confident) throw AutoCalibrateError(Kind::RingsNotIdentified);
    try {
        return calibrate_with_identity(peaks, ellipses, assignments, seen, most, d_spacings, wavelength, pixel1,
                                       pixel2, options);
    } catch (const AutoCalibrateError& first) {
        ring_id.most_matches_first = false;
        const RingIdResult tightest = identify_ring_indices(ellipses, d_spacings, ring_id, wavelength);
        if (tightest.ring_index == most.ring_index) throw;
        try {
            return calibrate_with_identity(peaks, ellipses, assignments, seen, tightest, d_spacings, wavelength,
                                           pixel1, pixel2, options);
        } catch (const AutoCalibrateError&) {
            throw first;
        }
    }
}

RingsSeen ring_assignments(std::span<const Peak> peaks, std::span<const EllipseFit> ellipses,
                           std::span<const std::optional<std::uint64_t>> assignments) {
    // The box of the peaks without their outermost few, so that a stray far
    // peak does not make the mean density vanish.
    std::vector<double> c1, c2;
    for (const Peak& p : peaks) {
        if (!(std::isfinite(p.d1) && std::isfinite(p.d2))) continue;
        c1.push_back(p.d1);
        c2.push_back(p.d2);
    }
    double lo1 = 0.0, hi1 = -1.0, lo2 = 0.0, hi2 = -1.0;
    if (!c1.empty()) {
        const std::size_t last = c1.size() - 1;
        const auto cut = static_cast<std::size_t>(kBoxTrimFraction * static_cast<double>(last));
        std::ranges::sort(c1);
        std::ranges::sort(c2);
        lo1 = c1[cut], hi1 = c1[last - cut], lo2 = c2[cut], hi2 = c2[last - cut];
    }
    std::uint64_t n = 0;  // the peaks inside the box
    for (const Peak& p : peaks) n += p.d1 >= lo1 && p.d1 <= hi1 && p.d2 >= lo2 && p.d2 <= hi2 ? 1 : 0;
    const double density = static_cast<double>(n) / ((hi1 - lo1 + 1.0) * (hi2 - lo2 + 1.0));
    std::vector<bool> ring(ellipses.size());
    for (std::size_t e = 0; e < ellipses.size(); ++e) {
        const EllipseFit& f = ellipses[e];
        // Its length inside the box, from a polygon of kArcSteps sides.
        const double c = std::cos(f.theta), s = std::sin(f.theta);
        double length = 0.0, x0 = f.center_d1 + f.semi_major * c, y0 = f.center_d2 + f.semi_major * s;
        for (std::uint64_t k = 1; k <= kArcSteps; ++k) {
            const double t = kTwoPi * static_cast<double>(k) / static_cast<double>(kArcSteps);
            const double u = f.semi_major * std::cos(t), v = f.semi_minor * std::sin(t);
            const double x = f.center_d1 + u * c - v * s, y = f.center_d2 + u * s + v * c;
            const double m1 = 0.5 * (x + x0), m2 = 0.5 * (y + y0);
            if (m1 >= lo1 && m1 <= hi1 && m2 >= lo2 && m2 <= hi2) length += std::hypot(x - x0, y - y0);
            x0 = x, y0 = y;
        }
        std::uint64_t near = 0;
        for (const Peak& p : peaks) near += conic_distance(f.conic, p.d1, p.d2) <= kRingBandPx ? 1 : 0;
        ring[e] = near > 0 && static_cast<double>(near) >= kRingContrast * density * (2.0 * kRingBandPx) * length;
    }
    RingsSeen out{{assignments.begin(), assignments.end()}, std::numeric_limits<double>::quiet_NaN()};
    std::vector<double> scatter;
    for (std::size_t i = 0; i < out.ring_of.size(); ++i) {
        std::optional<std::uint64_t>& a = out.ring_of[i];
        if (a && !(*a < ring.size() && ring[static_cast<std::size_t>(*a)])) a = std::nullopt;
        if (!a || i >= peaks.size()) continue;
        const double d = conic_distance(ellipses[static_cast<std::size_t>(*a)].conic, peaks[i].d1, peaks[i].d2);
        if (std::isfinite(d)) scatter.push_back(d);
    }
    if (!scatter.empty()) out.scatter_px = median(std::move(scatter));
    return out;
}


namespace {

// How a refined geometry holds against everything that was detected. Under a
// geometry, a peak sits on a ring when its 2θ lies within a tenth of the gap
// to the neighbouring ring (on its side) from the nearest calibrant ring
// below 90°. The geometry holds only when it is finite with a positive
// distance and
// - sits: every way of seeing rings passes covers_seen (covers_detected);
// - tight: the peaks on rings lie as close to them as residuals_match_ring_
//   ellipses allows, within `max_residual_ratio`;
// - shown: it sits with the rings sat on shown by their peaks too, which a
//   loose fit may not do yet, and a geometry that sits on bands of noise
//   peaks cannot.
struct RingCheck {
    bool sits = false;
    bool tight = false;
    bool shown = false;
    bool holds() const { return sits && tight && shown; }
};

RingCheck check_on_detected_rings(const CalibrationResult& fit, const DetectedPeaks& detected,
                                  std::span<const double> d_spacings, double max_residual_ratio) {
    const bool finite = std::isfinite(fit.rms_rad) &&
                        std::ranges::all_of(parameters_of(fit.geometry), [](double v) { return std::isfinite(v); });
    if (!finite || !(fit.geometry.distance > 0.0) || detected.points.size() == 0) return {};
    const RingsUnder under = rings_under(detected.points, fit.geometry, d_spacings);
    // The loosest of the ways of seeing rings.
    double seen_scatter = std::numeric_limits<double>::quiet_NaN();
    for (const RingsSeen& way : detected.seen) seen_scatter = std::fmax(seen_scatter, way.scatter_px);
    const bool sits = covers_detected(detected, under, seen_scatter, false);
    return {.sits = sits,
            .tight = residuals_match_ring_ellipses(detected.points, under, fit.geometry.wavelength, d_spacings,
                                                   seen_scatter, max_residual_ratio),
            .shown = sits && covers_detected(detected, under, seen_scatter, true)};
}

}  // namespace

std::optional<CalibrationResult> checked_fit(const CalibrationResult& fit, const CalibrationPoints& assigned,
                                            std::span<const Peak> peaks, const SeenRings& seen,
                                            std::span<const double> d_spacings, const RefineOptions& options) {
#ifdef KARVELUM_UNCHECKED_CALIBRATION
    return fit;  // the sweep's reference: every refined geometry
#endif
    // A fit that leaves the detected rings off the calibrant's is wrong: its
    // identities or its start were, and a refit from there finds the valley
    // of tilt and PONI, not the rings.
    const DetectedPeaks detected = finite_peaks(peaks, seen);
    const RingCheck check = check_on_detected_rings(fit, detected, d_spacings, kMaxResidualRatio);
    if (!check.sits) return std::nullopt;
    // One that puts them on their rings, but loosely or short of its optimum
    // (stopped along that valley), is fitted on: the refit tells (a fit near
    // its optimum gains little), and stands in for it.
    std::optional<CalibrationResult> again = refit_on_rings(fit, assigned, d_spacings, options);
    const std::uint64_t used = again ? again->n_iter : fit.n_iter;
    if (check.tight && check.shown && !(again && far_from_optimum(fit, *again, assigned, d_spacings))) {
        if (!agrees_with_every_ring_peak(fit, detected.points, d_spacings, options, used, fit.n_iter)) {
            return std::nullopt;
        }
        return fit;
    }
    // A loose fit that left no iteration to refit it is undecided.
    if (!again && used >= options.max_iter) {
        throw AutoCalibrateError::no_iterations_to_check(options.max_iter, fit.n_iter);
    }
    // Refitted to its optimum, a right geometry leaves the peaks as close to
    // their rings as to their own ellipses; a wrong one that the valley let
    // the refit reach does not.
    if (again && check_on_detected_rings(*again, detected, d_spacings, kMaxRefitResidualRatio).holds() &&
        agrees_with_every_ring_peak(*again, detected.points, d_spacings, options, used, fit.n_iter)) {
        return again;
    }
    return std::nullopt;
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
