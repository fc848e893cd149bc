#include "calibration/grid_search.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "calibration/points.hpp"
#include "pool.hpp"

namespace karvelum::calibration {

namespace {

using Kind = AutoCalibrateError::Kind;

// Candidates scored per round; the best starts are kept across rounds, so
// memory does not grow with the size of the grid.
constexpr std::uint64_t kChunk = 1 << 16;

// Candidates times scored peaks that a grid may cost: about 100 s of
// scoring on 8 cores.
constexpr std::uint64_t kMaxGridEvaluations = 20'000'000'000;

// Starts refined at a time.
constexpr std::size_t kRefineBatch = 64;

// x to the power n by repeated squaring, the way an integer power is
// usually evaluated.
double integer_power(double x, std::uint64_t n) {
    double r = 1.0;
    for (;;) {
        if (n & 1) r *= x;
        n /= 2;
        if (n == 0) break;
        x *= x;
    }
    return r;
}

struct Axes {
    std::uint64_t distances, tilts, offsets;
    double ratio;  // between successive distances
};

GridCandidate candidate_at(std::uint64_t index, const Axes& axes, const AutoCalibrateOptions& o, double g1, double g2,
                           double pixel1, double pixel2) {
    const std::uint64_t i2 = index % axes.offsets;
    index /= axes.offsets;
    const std::uint64_t i1 = index % axes.offsets;
    index /= axes.offsets;
    const std::uint64_t r2 = index % axes.tilts;
    index /= axes.tilts;
    const std::uint64_t r1 = index % axes.tilts;
    const std::uint64_t d = index / axes.tilts;
    const double radius = o.grid_poni_search_radius_px;
    const double o1 = linspace_at(-radius, radius, o.grid_poni_steps, i1);
    const double o2 = linspace_at(-radius, radius, o.grid_poni_steps, i2);
    return {axes.distances >= 2 ? o.grid_distance_min * integer_power(axes.ratio, d) : o.grid_distance_min,
            (g1 + o1 + 0.5) * pixel1, (g2 + o2 + 0.5) * pixel2,
            linspace_at(-o.grid_rot_max, o.grid_rot_max, o.grid_rot_steps, r1),
            linspace_at(-o.grid_rot_max, o.grid_rot_max, o.grid_rot_steps, r2)};
}

struct Ranked {
    GridScore score;
    std::uint64_t index;  // candidate order
};

// More rings, then more peaks, then the earlier candidate: the order of a
// stable sort by rings and peaks, descending.
bool ranks_before(const Ranked& a, const Ranked& b) {
    if (a.score.rings_hit != b.score.rings_hit) return a.score.rings_hit > b.score.rings_hit;
    if (a.score.peaks_hit != b.score.peaks_hit) return a.score.peaks_hit > b.score.peaks_hit;
    return a.index < b.index;
}

class Scorer {
public:
    explicit Scorer(const GridScoringContext& context) : c_(context) {
        const std::size_t n = context.peaks.size();
        x1_.resize(n);
        x2_.resize(n);
        for (std::size_t j = 0; j < n; ++j) {
            x1_[j] = (context.peaks[j].d1 + 0.5) * context.pixel1;
            x2_[j] = (context.peaks[j].d2 + 0.5) * context.pixel2;
        }
    }

    // `rho`, `z` (one per peak) and `hit` (one per ring) are scratch space.
    GridScore score(const GridCandidate& g, std::vector<double>& rho, std::vector<double>& z,
                    std::vector<std::uint8_t>& hit) const {
        const double sa = std::sin(g.rot1), ca = std::cos(g.rot1);
        const double sb = std::sin(g.rot2), cb = std::cos(g.rot2);
        const double L = g.distance;
        const double sa_sb = sa * sb, l_ca_sb = L * ca * sb, l_sa = L * sa, sa_cb = sa * cb, l_ca_cb = L * ca * cb;
        const std::size_t n = x1_.size();
        for (std::size_t j = 0; j < n; ++j) {
            const double x = x1_[j] - g.poni1, y = x2_[j] - g.poni2;
            const double u = cb * x + sa_sb * y - l_ca_sb;
            const double v = ca * y + l_sa;
            rho[j] = std::sqrt(u * u + v * v);
            z[j] = sb * x - sa_cb * y + l_ca_cb;
        }
        for (std::size_t j = 0; j < n; ++j) rho[j] = std::atan2(rho[j], z[j]);
        const std::span<const double> rings = c_.ring_angles;
        const double tolerance = c_.tolerance;
        std::fill(hit.begin(), hit.end(), std::uint8_t{0});
        std::uint64_t peaks_hit = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const double angle = rho[j];
            std::size_t best = rings.size();
            double best_distance = 0.0;
            for (std::size_t k = 0; k < rings.size(); ++k) {
                const double distance = std::fabs(angle - rings[k]);
                if (distance < tolerance && (best == rings.size() || distance < best_distance)) {
                    best = k;
                    best_distance = distance;
                }
            }
            if (best != rings.size()) {
                hit[best] = 1;
                ++peaks_hit;
            }
        }
        std::uint64_t rings_hit = 0;
        for (std::uint8_t h : hit) rings_hit += h;
        return {rings_hit, peaks_hit, g};
    }

    std::size_t peaks() const { return x1_.size(); }
    std::size_t rings() const { return c_.ring_angles.size(); }

private:
    const GridScoringContext& c_;
    std::vector<double> x1_, x2_;  // peak offsets from the detector edge, metres
};

std::vector<GridScore> score_with(const Scorer& scorer, std::span<const GridCandidate> candidates) {
    std::vector<GridScore> out(candidates.size());
    if (candidates.empty()) return out;
    pool::run([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, candidates.size(), 16),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                              std::vector<double> rho(scorer.peaks()), z(scorer.peaks());
                              std::vector<std::uint8_t> hit(scorer.rings());
                              for (std::size_t i = r.begin(); i != r.end(); ++i) {
                                  out[i] = scorer.score(candidates[i], rho, z, hit);
                              }
                          });
    });
    return out;
}

}  // namespace

double linspace_at(double start, double end, std::uint64_t n, std::uint64_t i) {
    if (n < 2) return start;
    return start + (end - start) / static_cast<double>(n - 1) * static_cast<double>(i);
}

std::vector<GridScore> score_grid_candidates(std::span<const GridCandidate> candidates,
                                             const GridScoringContext& context) {
    return score_with(Scorer(context), candidates);
}

AutoCalibrateResult run_grid_search(std::span<const Peak> peaks, std::span<const double> d_spacings, double wavelength,
                                    double pixel1, double pixel2, const AutoCalibrateOptions& options) {
    const std::size_t n = peaks.size();
    if (n == 0) throw AutoCalibrateError(Kind::NoEllipses);
    // The centre guess is the mean of the finite peaks: one NaN would make
    // every candidate NaN.
    double sum1 = 0.0, sum2 = 0.0;
    std::size_t finite = 0;
    for (const Peak& p : peaks) {
        if (!std::isfinite(p.d1) || !std::isfinite(p.d2)) continue;
        sum1 += p.d1, sum2 += p.d2;
        ++finite;
    }
    const double g1 = sum1 / static_cast<double>(finite), g2 = sum2 / static_cast<double>(finite);

    std::vector<double> rings;
    for (std::size_t k = 0; k < d_spacings.size() && k < options.grid_max_ring_index; ++k) {
        if (const std::optional<double> angle = ring_two_theta(wavelength, d_spacings[k])) rings.push_back(*angle);
    }

    std::vector<Peak> scoring;
    const std::uint64_t cap = options.grid_max_peaks;
    if (cap == 0 || n <= cap) {
        scoring.assign(peaks.begin(), peaks.end());
    } else {
        const std::uint64_t stride = n / cap + (n % cap != 0 ? 1 : 0);
        for (std::size_t j = 0; j < n; j += static_cast<std::size_t>(stride)) scoring.push_back(peaks[j]);
    }

    Axes axes{};
    axes.distances = std::max<std::uint64_t>(options.grid_distance_steps, 1);
    axes.tilts = std::max<std::uint64_t>(options.grid_rot_steps, 1);
    axes.offsets = std::max<std::uint64_t>(options.grid_poni_steps, 1);
    if (axes.distances >= 2) {
        axes.ratio = std::pow(options.grid_distance_max / options.grid_distance_min,
                              1.0 / static_cast<double>(axes.distances - 1));
    }
    // Scoring costs one evaluation per candidate and peak, about 2e8 a second
    // on 8 cores: larger grids would hold the caller for many minutes.
    std::uint64_t count = axes.distances, evaluations = 0;
    for (std::uint64_t factor : {axes.tilts, axes.tilts, axes.offsets, axes.offsets}) {
        if (__builtin_mul_overflow(count, factor, &count)) throw ValueError("grid search has too many candidates");
    }
    if (__builtin_mul_overflow(count, std::max<std::uint64_t>(scoring.size(), 1), &evaluations) ||
        evaluations > kMaxGridEvaluations) {
        throw ValueError("grid search has too many candidates");
    }

    const GridScoringContext context{scoring, rings, pixel1, pixel2, options.grid_tolerance_rad};
    const Scorer scorer(context);
    const std::uint64_t keep = std::max<std::uint64_t>(options.grid_top_k, 1);
    std::vector<Ranked> best;
    std::vector<GridCandidate> chunk;
    for (std::uint64_t first = 0; first < count;) {
        const std::uint64_t size = std::min(kChunk, count - first);
        chunk.resize(static_cast<std::size_t>(size));
        pool::parallel_for_index(chunk.size(), [&](std::size_t i) {
            chunk[i] = candidate_at(first + i, axes, options, g1, g2, pixel1, pixel2);
        });
        const std::vector<GridScore> scores = score_with(scorer, chunk);
        for (std::uint64_t i = 0; i < size; ++i) {
            const GridScore& s = scores[static_cast<std::size_t>(i)];
            if (s.peaks_hit > 0) best.push_back({s, first + i});
        }
        if (best.size() > keep) {
            const auto cut = best.begin() + static_cast<std::ptrdiff_t>(keep);
            std::nth_element(best.begin(), cut, best.end(), ranks_before);
            best.erase(cut, best.end());
        }
        first += size;
    }
    std::sort(best.begin(), best.end(), ranks_before);
    if (best.empty()) throw AutoCalibrateError(Kind::RingsNotIdentified);

    // Every peak is a control point that may join the nearest ring; one that
    // is not finite never could.
    CalibrationPoints points;
    for (const Peak& p : peaks) {
        if (std::isfinite(p.d1) && std::isfinite(p.d2)) {
            points.d1.push_back(p.d1);
            points.d2.push_back(p.d2);
        }
    }
    points.ring.assign(points.d1.size(), std::nullopt);
    const RefineOptions refine_options{.loss = options.loss,
                                       .huber_c = options.huber_c,
                                       .assign_tol = std::fmax(options.grid_tolerance_rad, 0.005),
                                       .max_iter = options.max_iter,
                                       .tol = options.tol,
                                       .free = options.free,
                                       .auto_assign = true};
    // The grid fits no ellipses, but a result is held against the rings the
    // peaks show: those of the radial and of the ransac method (bands about
    // one centre miss most rings of a strongly tilted detector).
    const RansacEllipseResult bands = radial_band_ellipses(peaks, options.ring_center, options.radial);
    const RansacEllipseResult found = ransac_ellipse_search(peaks, options.ransac);
    const SeenRings seen{ring_assignments(peaks, bands.ellipses, bands.assignments),
                         ring_assignments(peaks, found.ellipses, found.assignments)};
    // The starts are refined side by side, a batch at a time so that only a
    // batch of results is held; a refinement that does not put the detected
    // peaks on rings is dropped. The choice walks them in start order.
    std::optional<CalibrationResult> winner;
    std::size_t winner_start = 0;
    std::vector<std::optional<CalibrationResult>> refined;
    // The first start, in start order, whose check max_iter left undecided:
    // with no winner, raising max_iter may give one.
    std::vector<std::exception_ptr> undecided;
    std::exception_ptr first_undecided;
    for (std::size_t first = 0; first < best.size(); first += kRefineBatch) {
        refined.assign(std::min(kRefineBatch, best.size() - first), std::nullopt);
        undecided.assign(refined.size(), nullptr);
        pool::parallel_for_index(
            refined.size(),
            [&](std::size_t i) {
                const GridCandidate& g = best[first + i].score.candidate;
                PoniGeometry start;
                start.pixel1 = pixel1;
                start.pixel2 = pixel2;
                start.distance = g.distance;
                start.poni1 = g.poni1;
                start.poni2 = g.poni2;
                start.rot1 = g.rot1;
                start.rot2 = g.rot2;
                start.wavelength = wavelength;
                try {
                    const CalibrationResult fit = refine_geometry_lm(start, points, d_spacings, refine_options);
                    // The peaks the fit put on a ring.
                    CalibrationPoints assigned;
                    for (std::size_t j = 0; j < points.size(); ++j) {
                        if (fit.assignments[j]) assigned.add(points.d1[j], points.d2[j], std::nullopt);
                    }
                    refined[i] = checked_fit(fit, assigned, peaks, seen, d_spacings, refine_options);
                } catch (const RefineError&) {
                } catch (const AutoCalibrateError&) {
                    undecided[i] = std::current_exception();
                }
            },
            1);
        for (std::size_t i = 0; i < refined.size(); ++i) {
            if (!first_undecided) first_undecided = undecided[i];
            if (refined[i] && (!winner || refined[i]->rms_rad < winner->rms_rad)) {
                winner = std::move(refined[i]);
                winner_start = first + i;
            }
        }
    }
    if (!winner && first_undecided) std::rethrow_exception(first_undecided);
    if (!winner) throw AutoCalibrateError(Kind::RingsNotIdentified);

    AutoCalibrateResult result;
    const GridScore& chosen = best[winner_start].score;
    result.calibration = std::move(*winner);
    result.n_detected_ellipses = best.size();
    result.n_identified_ellipses = chosen.peaks_hit;
    result.bootstrap_distance = chosen.candidate.distance;
    result.bootstrap_ring_center_d1 = chosen.candidate.poni1;
    result.bootstrap_ring_center_d2 = chosen.candidate.poni2;
    return result;
}

}  // namespace karvelum::calibration
