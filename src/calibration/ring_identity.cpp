#include "calibration/ring_identity.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "calibration/calibrant.hpp"

namespace karvelum::calibration {

namespace {

struct Hypothesis {
    std::vector<std::optional<std::uint64_t>> rings;
    std::vector<double> scales;  // semi_major / tan(2θ) of each match, anchor first
    std::uint64_t count = 0;
};

struct KeptRing {
    std::uint64_t ring;  // index in the calibrant
    double tangent;      // tan(2θ), finite and > 0
};

// The kept ring above (or below) ring `previous` whose tangent is nearest the
// predicted one within the tolerance; the lower ring on equal distance.
const KeptRing* nearest_ring(const std::vector<KeptRing>& kept, double predicted, double tolerance,
                             std::uint64_t previous, bool upward) {
    const KeptRing* found = nullptr;
    double found_error = 0.0;
    for (const KeptRing& k : kept) {
        if (upward ? !(k.ring > previous) : !(k.ring < previous)) continue;
        const double error = std::fabs(k.tangent - predicted) / std::fmax(predicted, 1e-30);
        if (error <= tolerance && (found == nullptr || error < found_error)) {
            found = &k;
            found_error = error;
        }
    }
    return found;
}

double spread_of(const std::vector<double>& scales) {
    if (scales.size() < 2) return 0.0;
    double sum = 0.0;
    for (double s : scales) sum += s;
    const double mean = sum / static_cast<double>(scales.size());
    const double denominator = std::fmax(mean, 1e-30);
    double spread = 0.0;
    for (double s : scales) spread = std::fmax(spread, std::fabs(s - mean) / denominator);
    return spread;
}

}  // namespace

RingIdResult identify_ring_indices(std::span<const EllipseFit> ellipses, std::span<const double> d_spacings,
                                   const RingIdOptions& options, double wavelength) {
    const std::size_t n = ellipses.size();
    RingIdResult result;
    result.ring_index.assign(n, std::nullopt);
    if (n == 0) return result;

    // Rings with an angle in (0, 90°), in ascending ring order.
    std::vector<KeptRing> kept;
    for (std::size_t k = 0; k < d_spacings.size(); ++k) {
        const std::optional<double> two_theta = ring_two_theta(wavelength, d_spacings[k]);
        if (!two_theta) continue;
        const double t = std::tan(*two_theta);
        if (std::isfinite(t) && t > 0.0) kept.push_back({k, t});
    }
    if (kept.empty()) return result;

    const double tol = options.ratio_tolerance;
    const std::size_t last_anchor =
        static_cast<std::size_t>(std::min<std::uint64_t>(kept.size() - 1, options.max_anchor_ring));
    std::optional<Hypothesis> best;
    double best_spread = std::numeric_limits<double>::infinity();
    for (std::size_t e = 0; e < n; ++e) {
        const double a_e = ellipses[e].semi_major;
        if (!(a_e > 0.0)) continue;
        for (std::size_t p = 0; p <= last_anchor; ++p) {
            const double t_a = kept[p].tangent;
            Hypothesis h;
            h.rings.assign(n, std::nullopt);
            h.rings[e] = kept[p].ring;
            h.count = 1;
            h.scales.push_back(a_e / t_a);
            auto match = [&](std::size_t j, std::uint64_t& previous, bool upward) {
                const double predicted = t_a * (ellipses[j].semi_major / a_e);
                const KeptRing* k = nearest_ring(kept, predicted, tol, previous, upward);
                if (k == nullptr) return;
                h.rings[j] = k->ring;
                ++h.count;
                h.scales.push_back(ellipses[j].semi_major / k->tangent);
                previous = k->ring;
            };
            std::uint64_t previous = kept[p].ring;
            for (std::size_t j = e + 1; j < n; ++j) match(j, previous, true);
            previous = kept[p].ring;
            for (std::size_t j = e; j-- > 0;) match(j, previous, false);
            const double spread = spread_of(h.scales);
            if (!(spread <= tol && h.count >= options.min_matches)) continue;
            const std::uint64_t best_matches = best ? best->count : 0;
            const bool better = options.most_matches_first
                                    ? h.count > best_matches || (h.count == best_matches && spread < best_spread)
                                    : spread < best_spread;
            if (better) {
                best_spread = spread;
                best = std::move(h);
            }
        }
    }
    const std::uint64_t best_count = best ? best->count : 0;
    if (best_count >= options.min_matches) {
        if (best) result.ring_index = best->rings;
        result.n_matched = best_count;
        result.confident = true;
    }
    result.anchor_ring = result.ring_index[0];
    return result;
}

}  // namespace karvelum::calibration
