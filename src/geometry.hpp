// Per-pixel detector geometry: laboratory coordinates, scattering angle,
// azimuth, solid-angle and polarization factors.
//
// Pixel (i, j) covers [i, i+1] x [j, j+1] in pixel units; its centre is
// (i + 0.5, j + 0.5). Offsets from the PONI are p1 = d1 * pixel1 - poni1,
// p2 = d2 * pixel2 - poni2 (metres). Every expression keeps a fixed grouping
// so that the per-pixel arrays and the point functions agree to the bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "buffer.hpp"
#include "poni.hpp"

namespace karvelum::geometry {

// Sines and cosines of the three rotations, computed once per call.
struct Rotation {
    double sin1, cos1, sin2, cos2, sin3, cos3;
    explicit Rotation(const PoniGeometry& g);
};

struct LabPoint {
    double t1, t2, t3;
};

inline LabPoint rotate(const Rotation& r, double p1, double p2, double L) {
    LabPoint t;
    t.t1 = (p1 * r.cos2) * r.cos3 + p2 * ((r.cos3 * r.sin1) * r.sin2 - r.cos1 * r.sin3) -
           L * (r.sin2 * (r.cos3 * r.cos1) + r.sin1 * r.sin3);
    t.t2 = (p1 * r.cos2) * r.sin3 + p2 * (r.cos1 * r.cos3 + r.sin3 * (r.sin1 * r.sin2)) -
           L * (r.sin3 * (r.cos1 * r.sin2) - r.cos3 * r.sin1);
    t.t3 = p1 * r.sin2 - (p2 * r.cos2) * r.sin1 + r.cos2 * (r.cos1 * L);
    return t;
}

inline double two_theta_of(const LabPoint& t) {
    double a = t.t1 * t.t1;
    double b = t.t2 * t.t2;
    return std::atan2(std::sqrt(a + b), t.t3);
}

inline double chi_of(const LabPoint& t) { return std::atan2(t.t1, t.t2); }

// Solid-angle factor from the unrotated offsets; rotations do not enter it.
inline double solid_angle_of(double p1, double p2, double L) {
    double r2 = L * L + (p1 * p1 + p2 * p2);
    double s = L / std::sqrt(r2);
    return s * (s * s);
}

inline double polarization_of(double two_theta, double chi, double factor) {
    double c = std::cos(two_theta);
    double k = c * c;
    return ((1.0 + k) - (1.0 - k) * (std::cos(chi + chi) * factor)) * 0.5;
}

// Offset of the pixel-centre coordinate index + 0.5 along one axis.
inline double center_offset(std::uint64_t index, double pixel, double poni) {
    double a = pixel * (static_cast<double>(index) + 0.5);
    return a - poni;
}

// Offset of a point given in pixel units along one axis.
inline double point_offset(double d, double pixel, double poni) {
    double a = d * pixel;
    return a - poni;
}

// Per-pixel angles and solid angle of every pixel centre, row-major.
struct PixelAngles {
    Buffer<double> two_theta;
    Buffer<double> chi;
    Buffer<double> solid_angle;
};

// One parallel pass over dim1 x dim2 pixel centres. Throws std::bad_alloc
// when dim1 * dim2 doubles cannot be held.
PixelAngles pixel_angles(const PoniGeometry& g, std::uint64_t dim1, std::uint64_t dim2);

// Polarization factor per element for 2-theta and chi arrays; runs over the
// shorter of the two.
Buffer<double> polarization_array(std::span<const double> two_theta, std::span<const double> chi,
                                       double factor);

// 2-theta and chi of points given in pixel units. d1 and d2 must have equal
// lengths (Panic otherwise).
std::pair<std::vector<double>, std::vector<double>> two_theta_chi_for_points(const PoniGeometry& g,
                                                                              std::span<const double> d1,
                                                                              std::span<const double> d2);

std::vector<double> two_theta_for_points(const PoniGeometry& g, std::span<const double> d1,
                                         std::span<const double> d2);

}  // namespace karvelum::geometry
