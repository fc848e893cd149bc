// Ellipses fitted to peaks: a linear least-squares conic fit, and a RANSAC
// search that finds several rings among a cloud of peaks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "calibration/peak.hpp"

namespace karvelum::calibration {

// Coordinates are (d1, d2) = (x, y) in pixels.
struct EllipseFit {
    std::array<double, 6> conic;  // A, B, C, D, E, F of A x² + B xy + C y² + D x + E y + F = 0
    double center_d1;
    double center_d2;
    double semi_major;
    double semi_minor;
    double theta;  // major axis from the d1 axis towards d2, in (-pi/2, pi/2]
};

// The conic A x² + B xy + C y² + D x + E y = 1 through the points by least
// squares (F = -1, all negated so that A >= 0); none for fewer than five
// points or when that conic is no real ellipse.
std::optional<EllipseFit> fit_ellipse(std::span<const Peak> points);

// First-order (Sampson-like) distance of (x, y) from the conic: |Q| / |grad
// Q|, +inf where the gradient vanishes.
double conic_distance(const std::array<double, 6>& conic, double x, double y);

// The candidates, in their order, whose conic_distance is below `threshold`.
std::vector<std::size_t> conic_inliers(const std::array<double, 6>& conic, std::span<const Peak> points,
                                       std::span<const std::size_t> candidates, double threshold);

struct RansacEllipseOptions {
    std::optional<double> max_axis_ratio;
    double inlier_threshold = 1.5;
    std::uint64_t min_inliers = 10;
    std::uint64_t max_iterations = 2000;  // samples per ellipse
    std::uint64_t max_ellipses = 12;
    double dedupe_center_dist = 5.0;
    double dedupe_size_rel = 0.02;
    std::uint64_t rng_seed = 13907096686470247510ULL;
};

struct RansacEllipseResult {
    std::vector<EllipseFit> ellipses;                      // ascending semi_major
    std::vector<std::optional<std::uint64_t>> assignments;  // per point: its ellipse, or none
};

RansacEllipseResult ransac_ellipse_search(std::span<const Peak> points, const RansacEllipseOptions& options);

// Root of i, with every parent on the way set to it.
std::size_t union_find_root(std::vector<std::size_t>& parent, std::size_t i);

}  // namespace karvelum::calibration
