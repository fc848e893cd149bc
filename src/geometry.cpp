#include "geometry.hpp"

#include "errors.hpp"
#include "memory.hpp"
#include "pool.hpp"

namespace karvelum::geometry {

Rotation::Rotation(const PoniGeometry& g)
    : sin1(std::sin(g.rot1)),
      cos1(std::cos(g.rot1)),
      sin2(std::sin(g.rot2)),
      cos2(std::cos(g.rot2)),
      sin3(std::sin(g.rot3)),
      cos3(std::cos(g.rot3)) {}

namespace {

void require_equal_lengths(std::span<const double> d1, std::span<const double> d2) {
    if (d1.size() != d2.size()) throw Panic("assertion failed: d1.len() == d2.len()");
}

}  // namespace

PixelAngles pixel_angles(const PoniGeometry& g, std::uint64_t dim1, std::uint64_t dim2) {
    std::uint64_t n = checked_mul(dim1, dim2);
    // These three and the arrays derived from them in the geometry state.
    require_memory(checked_mul(n, sizeof(double) * 6));
    PixelAngles out;
    out.two_theta.resize(n);
    out.chi.resize(n);
    out.solid_angle.resize(n);
    if (n == 0) return out;
    const Rotation rot(g);
    const double L = g.distance;
    // A long part of a first call on a large detector: recorded as it goes.
    pool::parallel_write(n, ClaimPart::Shared, 3 * sizeof(double), [&](std::size_t k) {
        std::uint64_t i = k / dim2, j = k % dim2;
        double p1 = center_offset(i, g.pixel1, g.poni1);
        double p2 = center_offset(j, g.pixel2, g.poni2);
        LabPoint t = rotate(rot, p1, p2, L);
        out.two_theta[k] = two_theta_of(t);
        out.chi[k] = chi_of(t);
        out.solid_angle[k] = solid_angle_of(p1, p2, L);
    });
    return out;
}

Buffer<double> polarization_array(std::span<const double> two_theta, std::span<const double> chi,
                                  double factor) {
    std::size_t n = std::min(two_theta.size(), chi.size());
    Buffer<double> out(n);
    pool::parallel_write(n, ClaimPart::Shared, sizeof(double),
                         [&](std::size_t k) { out[k] = polarization_of(two_theta[k], chi[k], factor); });
    return out;
}

std::pair<std::vector<double>, std::vector<double>> two_theta_chi_for_points(const PoniGeometry& g,
                                                                              std::span<const double> d1,
                                                                              std::span<const double> d2) {
    require_equal_lengths(d1, d2);
    const Rotation rot(g);
    std::vector<double> tth(d1.size()), chi(d1.size());
    pool::parallel_for_index(d1.size(), [&](std::size_t k) {
        LabPoint t = rotate(rot, point_offset(d1[k], g.pixel1, g.poni1), point_offset(d2[k], g.pixel2, g.poni2),
                            g.distance);
        tth[k] = two_theta_of(t);
        chi[k] = chi_of(t);
    });
    return {std::move(tth), std::move(chi)};
}

std::vector<double> two_theta_for_points(const PoniGeometry& g, std::span<const double> d1,
                                         std::span<const double> d2) {
    require_equal_lengths(d1, d2);
    const Rotation rot(g);
    std::vector<double> tth(d1.size());
    pool::parallel_for_index(d1.size(), [&](std::size_t k) {
        LabPoint t = rotate(rot, point_offset(d1[k], g.pixel1, g.poni1), point_offset(d2[k], g.pixel2, g.poni2),
                            g.distance);
        tth[k] = two_theta_of(t);
    });
    return tth;
}

}  // namespace karvelum::geometry
