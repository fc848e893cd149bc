#include "calibration/ellipse.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "calibration/inversion.hpp"
#include "calibration/ring_center.hpp"

namespace karvelum::calibration {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The one expression of the distance, shared by the counting loop and
// conic_distance so that both decide alike.
inline double distance_of(const std::array<double, 6>& q, double x, double y) {
    const auto [a, b, c, d, e, f] = q;
    const double gx = 2.0 * a * x + b * y + d;
    const double gy = b * x + 2.0 * c * y + e;
    const double g = std::sqrt(gx * gx + gy * gy);
    const double value = std::fabs(a * x * x + b * x * y + c * y * y + d * x + e * y + f) / g;
    return g < 1e-30 ? kInf : value;
}

// Inliers among the remaining points, held as two contiguous coordinate
// arrays so that the loop runs without branches.
std::size_t count_inliers(const std::array<double, 6>& q, const std::vector<double>& xs,
                          const std::vector<double>& ys, double threshold) {
    std::size_t count = 0;
    const std::size_t m = xs.size();
    for (std::size_t i = 0; i < m; ++i) count += distance_of(q, xs[i], ys[i]) < threshold ? 1 : 0;
    return count;
}

bool passes_ratio(const EllipseFit& fit, const std::optional<double>& max_axis_ratio) {
    return !max_axis_ratio || fit.semi_major / std::fmax(fit.semi_minor, 1e-12) <= *max_axis_ratio;
}

std::vector<Peak> gather(std::span<const Peak> points, std::span<const std::size_t> indices) {
    std::vector<Peak> out;
    out.reserve(indices.size());
    for (std::size_t i : indices) out.push_back(points[i]);
    return out;
}

// Groups ellipses whose centres and sizes agree (transitively), refits each
// group on the points of all its members and renumbers the assignments.
void merge_duplicates(std::span<const Peak> points, const RansacEllipseOptions& options,
                      std::vector<EllipseFit>& ellipses, std::vector<std::optional<std::uint64_t>>& assignments) {
    const std::size_t k = ellipses.size();
    std::vector<std::size_t> parent(k);
    std::iota(parent.begin(), parent.end(), std::size_t{0});
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = i + 1; j < k; ++j) {
            const double dx = ellipses[i].center_d1 - ellipses[j].center_d1;
            const double dy = ellipses[i].center_d2 - ellipses[j].center_d2;
            const double d = std::sqrt(dx * dx + dy * dy);
            const double ai = ellipses[i].semi_major, aj = ellipses[j].semi_major;
            const double r = std::fabs(ai - aj) / std::fmax(std::fmax(ai, aj), 1e-30);
            if (d <= options.dedupe_center_dist && r <= options.dedupe_size_rel) {
                const std::size_t ri = union_find_root(parent, i), rj = union_find_root(parent, j);
                if (ri != rj) parent[ri] = rj;
            }
        }
    }
    std::vector<std::size_t> root(k);
    for (std::size_t i = 0; i < k; ++i) root[i] = union_find_root(parent, i);
    // Groups in ascending order of their root, members ascending.
    std::vector<std::size_t> group_of_root(k, k);
    std::size_t groups = 0;
    for (std::size_t r = 0; r < k; ++r) {
        if (std::find(root.begin(), root.end(), r) != root.end()) group_of_root[r] = groups++;
    }
    std::vector<EllipseFit> merged;
    merged.reserve(groups);
    for (std::size_t r = 0; r < k; ++r) {
        if (group_of_root[r] == k) continue;
        std::vector<Peak> pooled;
        for (std::size_t p = 0; p < assignments.size(); ++p) {
            if (assignments[p] && root[static_cast<std::size_t>(*assignments[p])] == r) pooled.push_back(points[p]);
        }
        const std::size_t first = static_cast<std::size_t>(std::find(root.begin(), root.end(), r) - root.begin());
        std::optional<EllipseFit> refit = pooled.size() >= 5 ? fit_ellipse(pooled) : std::nullopt;
        merged.push_back(refit ? *refit : ellipses[first]);
    }
    for (auto& a : assignments) {
        if (a) a = group_of_root[root[static_cast<std::size_t>(*a)]];
    }
    ellipses = std::move(merged);
}

// Stable by semi_major, NaN after every number.
void sort_by_size(std::vector<EllipseFit>& ellipses, std::vector<std::optional<std::uint64_t>>& assignments) {
    std::vector<std::size_t> order(ellipses.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
        const double a = ellipses[i].semi_major, b = ellipses[j].semi_major;
        if (std::isnan(a)) return false;
        if (std::isnan(b)) return true;
        return a < b;
    });
    std::vector<std::uint64_t> position(order.size());
    std::vector<EllipseFit> sorted;
    sorted.reserve(order.size());
    for (std::size_t p = 0; p < order.size(); ++p) {
        position[order[p]] = p;
        sorted.push_back(ellipses[order[p]]);
    }
    for (auto& a : assignments) {
        if (a) a = position[static_cast<std::size_t>(*a)];
    }
    ellipses = std::move(sorted);
}

}  // namespace

std::optional<EllipseFit> fit_ellipse(std::span<const Peak> points) {
    if (points.size() < 5) return std::nullopt;
    std::array<double, 25> m{};
    std::array<double, 5> u{};
    for (const Peak& p : points) {
        const double x = p.d1, y = p.d2;
        const double row[5] = {x * x, x * y, y * y, x, y};
        for (std::size_t i = 0; i < 5; ++i) {
            for (std::size_t j = 0; j < 5; ++j) m[i * 5 + j] += row[i] * row[j];
            u[i] += row[i];
        }
    }
    if (!solve_linear_system(m, u, 5)) return std::nullopt;
    double a = u[0], b = u[1], c = u[2], d = u[3], e = u[4], f = -1.0;
    if (a < 0.0) {
        a = -a, b = -b, c = -c, d = -d, e = -e;
        f = 1.0;
    }
    const double delta = 4.0 * a * c - b * b;
    if (!(delta >= 1e-30)) return std::nullopt;
    const double s = std::sqrt(b * b + (a - c) * (a - c));
    const double l1 = ((a + c) - s) * 0.5, l2 = ((a + c) + s) * 0.5;
    if (!(l1 > 0.0 && l2 > 0.0)) return std::nullopt;
    const double x0 = (b * e - 2.0 * c * d) / delta;
    const double y0 = (b * d - 2.0 * a * e) / delta;
    const double f0 = a * x0 * x0 + b * x0 * y0 + c * y0 * y0 + d * x0 + e * y0 + f;
    if (!(f0 < 0.0)) return std::nullopt;
    double theta;
    if (std::fabs(b) < 1e-30 && std::fabs(a - c) < 1e-30) {
        theta = 0.0;
    } else if (std::fabs(b) < 1e-30) {
        theta = a < c ? 0.0 : 1.5707963267948966;
    } else {
        theta = std::atan((l1 - a) / (b * 0.5));
    }
    return EllipseFit{{a, b, c, d, e, f}, x0, y0, std::sqrt(-f0 / l1), std::sqrt(-f0 / l2), theta};
}

double conic_distance(const std::array<double, 6>& conic, double x, double y) { return distance_of(conic, x, y); }

std::vector<std::size_t> conic_inliers(const std::array<double, 6>& conic, std::span<const Peak> points,
                                       std::span<const std::size_t> candidates, double threshold) {
    std::vector<std::size_t> out;
    for (std::size_t i : candidates) {
        if (distance_of(conic, points[i].d1, points[i].d2) < threshold) out.push_back(i);
    }
    return out;
}

std::size_t union_find_root(std::vector<std::size_t>& parent, std::size_t i) {
    std::size_t root = i;
    while (parent[root] != root) root = parent[root];
    while (parent[i] != root) {
        const std::size_t next = parent[i];
        parent[i] = root;
        i = next;
    }
    return root;
}

RansacEllipseResult ransac_ellipse_search(std::span<const Peak> points, const RansacEllipseOptions& options) {
    const std::size_t n = points.size();
    RansacEllipseResult result;
    result.assignments.assign(n, std::nullopt);
    std::vector<std::size_t> remaining(n);
    std::iota(remaining.begin(), remaining.end(), std::size_t{0});
    std::vector<double> xs, ys;
    SplitMix64 rng(options.rng_seed);
    const std::uint64_t needed = std::max<std::uint64_t>(options.min_inliers, 5);

    while (result.ellipses.size() < options.max_ellipses) {
        const std::size_t m = remaining.size();
        if (m < needed) break;
        xs.resize(m);
        ys.resize(m);
        for (std::size_t i = 0; i < m; ++i) xs[i] = points[remaining[i]].d1, ys[i] = points[remaining[i]].d2;

        std::optional<EllipseFit> best;
        std::size_t best_count = 0;
        for (std::uint64_t iteration = 0; iteration < options.max_iterations; ++iteration) {
            std::array<std::size_t, 5> chosen{};
            std::array<Peak, 5> sample{};
            for (std::size_t got = 0; got < 5;) {
                const std::size_t candidate = remaining[static_cast<std::size_t>(rng.next_u64() % m)];
                if (std::find(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(got), candidate) !=
                    chosen.begin() + static_cast<std::ptrdiff_t>(got)) {
                    continue;
                }
                chosen[got] = candidate;
                sample[got] = points[candidate];
                ++got;
            }
            const std::optional<EllipseFit> fit = fit_ellipse(sample);
            if (!fit || !passes_ratio(*fit, options.max_axis_ratio)) continue;
            const std::size_t count = count_inliers(fit->conic, xs, ys, options.inlier_threshold);
            if (count > best_count) {
                best = fit;
                best_count = count;
            }
        }
        if (best_count < options.min_inliers || !best) break;

        const std::vector<std::size_t> support = conic_inliers(best->conic, points, remaining, options.inlier_threshold);
        const std::optional<EllipseFit> refit = fit_ellipse(gather(points, support));
        const EllipseFit ellipse = refit ? *refit : *best;
        if (!passes_ratio(ellipse, options.max_axis_ratio)) break;
        const std::vector<std::size_t> inliers =
            conic_inliers(ellipse.conic, points, remaining, options.inlier_threshold);
        if (inliers.size() < options.min_inliers) break;
        const std::uint64_t index = result.ellipses.size();
        for (std::size_t i : inliers) result.assignments[i] = index;
        result.ellipses.push_back(ellipse);
        // With min_inliers 0 nothing would ever leave the remaining list.
        if (inliers.empty()) break;
        std::erase_if(remaining, [&](std::size_t i) { return result.assignments[i].has_value(); });
    }

    if (result.ellipses.size() >= 2 && (options.dedupe_center_dist > 0.0 || options.dedupe_size_rel > 0.0)) {
        merge_duplicates(points, options, result.ellipses, result.assignments);
    }
    sort_by_size(result.ellipses, result.assignments);
    return result;
}

}  // namespace karvelum::calibration
