// The grid method of automatic calibration: candidate geometries on a grid
// of distance, two tilts and PONI offsets, scored by how many peaks land on
// a calibrant ring; the best few are refined.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "calibration/auto.hpp"

namespace karvelum::calibration {

struct GridCandidate {
    double distance;  // metres
    double poni1;
    double poni2;
    double rot1;      // radians
    double rot2;
};

struct GridScore {
    std::uint64_t rings_hit;  // distinct rings matched by some peak
    std::uint64_t peaks_hit;  // peaks matched to some ring
    GridCandidate candidate;
};

// What every candidate is scored against; read only, shared by all threads.
struct GridScoringContext {
    std::span<const Peak> peaks;
    std::span<const double> ring_angles;  // 2θ of the rings that have one, in ring order
    double pixel1;
    double pixel2;
    double tolerance;  // radians of 2θ; a match is strictly closer
};

// One score per candidate, in candidate order, computed on the pool.
std::vector<GridScore> score_grid_candidates(std::span<const GridCandidate> candidates,
                                             const GridScoringContext& context);

// Value i of n evenly spaced values from start to end; n of 0 or 1 has the
// one value start.
double linspace_at(double start, double end, std::uint64_t n, std::uint64_t i);

// The grid method; throws AutoCalibrateError, and ValueError when the
// candidate count does not fit in 64 bits.
AutoCalibrateResult run_grid_search(std::span<const Peak> peaks, std::span<const double> d_spacings, double wavelength,
                                    double pixel1, double pixel2, const AutoCalibrateOptions& options);

}  // namespace karvelum::calibration
