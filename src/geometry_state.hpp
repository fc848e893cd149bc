// Geometry state of an integrator: the per-pixel arrays for the current image
// shape and the correction factors, handed out as one immutable snapshot.
//
// A snapshot's shape, arrays and corrections always belong together; a
// rebuild makes a complete new snapshot and swaps it in, so a caller that
// holds the previous one keeps reading consistent data.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "buffer.hpp"
#include "math/numeric.hpp"

namespace karvelum {

using SharedArray = std::shared_ptr<const Buffer<double>>;
// Polarization times solid-angle factor per pixel; the signal is divided by it.
using CorrectionArrays = SharedArray;

struct GeometrySnapshot {
    std::uint64_t dim1 = 0, dim2 = 0;
    SharedArray two_theta;      // radians
    SharedArray radial_values;  // 2-theta in the integrator's unit
    math::Extent radial_extent{0.0, 0.0};  // of radial_values, NaN ignored
    SharedArray chi;            // radians
    math::Extent chi_extent{0.0, 0.0};  // of chi, NaN ignored
    SharedArray solid_angle;
    SharedArray polarization;   // 1.0 everywhere without a polarization factor
    CorrectionArrays correction_factors;

    std::uint64_t pixels() const { return dim1 * dim2; }
};

using GeometryRef = std::shared_ptr<const GeometrySnapshot>;

class GeometryState {
public:
    GeometryState();
    GeometryRef snapshot() const;
    void replace(GeometryRef next);
    // Serialises rebuilds so concurrent first calls for one shape build once.
    std::mutex& build_mutex() { return build_mutex_; }

private:
    mutable std::mutex mutex_;
    GeometryRef current_;
    std::mutex build_mutex_;
};

}  // namespace karvelum
