#include "lut/azimuthal.hpp"

#include <algorithm>
#include <cmath>

#include "errors.hpp"

namespace karvelum::lut {

AzimuthalBins AzimuthalBins::from_range(double lo, double hi, std::uint64_t n) {
    AzimuthalBins b;
    b.n = n;
    b.step = (hi - lo) / static_cast<double>(n);
    if (!(b.step > 0.0) || !std::isfinite(b.step) || !std::isfinite(lo)) {
        throw ValueError("azimuthal_step must be positive");
    }
    b.start = lo;
    b.ranged = true;
    b.lo = lo;
    b.hi = hi;
    return b;
}

AzimuthalBins AzimuthalBins::spanning(double lo, double hi, std::uint64_t n, double margin) {
    AzimuthalBins b;
    b.n = n;
    b.start = lo;
    b.step = (hi + margin - lo) / static_cast<double>(n);
    return b;
}

AzimuthalBins azimuthal_bins(math::Extent chi, std::uint64_t n, const AzimuthalRange& range) {
    if (range) return AzimuthalBins::from_range(range->first, range->second, n);
    return AzimuthalBins::spanning(chi.lo, chi.hi, n, 2.220446049250313e-15);
}

RadialBins RadialBins::spanning(math::Extent e, std::uint64_t n) { return {n, e.lo, math::bin_width(e.lo, e.hi, n)}; }

std::uint64_t RadialBins::bin(double r) const { return math::clamped_bin(r, start, step, n); }

std::pair<RadialBins, AzimuthalBins> histogram_bins_2d(const GeometrySnapshot& snap, std::uint64_t n_radial,
                                                       std::uint64_t n_azimuthal, const AzimuthalRange& range) {
    return {RadialBins::spanning(snap.radial_extent, n_radial), azimuthal_bins(snap.chi_extent, n_azimuthal, range)};
}

}  // namespace karvelum::lut
