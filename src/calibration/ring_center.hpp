// The common centre of calibrant rings from peaks on them: random triples of
// peaks give candidate circles, and a candidate centre scores by how much the
// peaks' distances from it bunch into a few narrow radial bands. Also the
// seeded generator behind every random draw of calibration.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "calibration/peak.hpp"

namespace karvelum::calibration {

class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next_u64() {
        state_ += 0x9e3779b97f4a7c15ULL;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    // Plain remainder: the slight bias is part of the reproducible sequence.
    // `n` must be at least 1.
    std::uint64_t next_below(std::uint64_t n) { return next_u64() % n; }

private:
    std::uint64_t state_;
};

struct RingCenterOptions {
    std::uint64_t max_trials = 500;         // triples drawn, degenerate ones included
    double radial_bin_width = 4.0;          // pixels
    std::uint64_t top_k_bins = 10;          // fullest bands that make the score
    double max_radius_px = 5000.0;          // histogram span and candidate bound
    std::uint64_t rng_seed = 0xBEAC0CEFF00DF00DULL;
};

struct RingCenterEstimate {
    double center_d1;
    double center_d2;
    std::uint64_t score;     // peaks in the top bands of the best centre
    std::uint64_t n_scored;  // samples that passed the degeneracy tests
};

// None with fewer than three peaks, no trials, or no usable sample.
std::optional<RingCenterEstimate> estimate_ring_center_ransac(std::span<const Peak> peaks,
                                                             const RingCenterOptions& options);

}  // namespace karvelum::calibration
