// Radial and azimuthal binning of 2D results, shared by the 2D tables and
// the table-free 2D histogram. Flat bin = radial index + n_radial *
// azimuthal index.
//
// Without an azimuthal range the azimuthal bins span the azimuths the
// detector covers and wrap around the circle. With a range (min, max) in
// radians every azimuth is first taken into [min, min + 2 pi) by whole turns;
// azimuths at or beyond max are left out, so no bin ever receives a pixel
// from outside its own angular interval.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "geometry_state.hpp"
#include "math/numeric.hpp"

namespace karvelum::lut {

using AzimuthalRange = std::optional<std::pair<double, double>>;

// The azimuthal binning of one table.
struct AzimuthalBins {
    std::uint64_t n = 1;
    double start = 0.0, step = 1.0;
    bool ranged = false;
    double lo = 0.0, hi = 0.0;  // the range, when ranged

    // Throws ValueError("azimuthal_step must be positive") for a range whose
    // width per bin is not a positive finite number.
    static AzimuthalBins from_range(double lo, double hi, std::uint64_t n);
    static AzimuthalBins spanning(double lo, double hi, std::uint64_t n, double margin);

    static constexpr double kTwoPi = 6.283185307179586;

    // Azimuth taken into [lo, lo + 2 pi) (ranged bins only).
    double into_turn(double chi) const {
        double c = chi - kTwoPi * std::floor((chi - lo) / kTwoPi);
        if (c < lo) c += kTwoPi;
        if (c >= lo + kTwoPi) c -= kTwoPi;
        return c;
    }

    // The bin of one azimuth, or nullopt when it is left out.
    std::optional<std::uint64_t> bin(double chi) const {
        if (!ranged) {
            const std::uint64_t u = math::saturating_u64((chi - start) / step);
            return u < n ? u : u % n;  // the remainder only when it differs
        }
        const double c = into_turn(chi);
        if (!(c >= lo && c < hi && c < lo + kTwoPi)) return std::nullopt;
        return std::min(math::saturating_u64((c - start) / step), n - 1);
    }

    // The bins of `count` azimuths as bin() gives them, n for one left out
    // (n < 2^32). Without a range the common case runs as a plain
    // (vectorisable) loop, and the rare wrap-around is redone one by one.
    void bins(const double* chi, std::size_t count, std::uint32_t* out) const {
        if (!ranged && n < (std::uint64_t(1) << 31)) {
            const double top = static_cast<double>(n);
            const std::uint32_t last = static_cast<std::uint32_t>(n);
            std::uint32_t wrapped = 0;
            for (std::size_t j = 0; j < count; ++j) {
                double t = (chi[j] - start) / step;
                t = t > 0.0 ? t : 0.0;  // NaN too, as saturating_u64 has it
                t = t < top ? t : top;
                out[j] = static_cast<std::uint32_t>(static_cast<std::int32_t>(t));
                wrapped |= out[j] == last;
            }
            for (std::size_t j = 0; wrapped != 0 && j < count; ++j) {
                if (out[j] == last) out[j] = static_cast<std::uint32_t>(*bin(chi[j]));
            }
            return;
        }
        for (std::size_t j = 0; j < count; ++j) {
            const std::optional<std::uint64_t> b = bin(chi[j]);
            out[j] = static_cast<std::uint32_t>(b ? *b : n);
        }
    }
};

// The range's bins, or without a range bins spanning the azimuths `chi`.
AzimuthalBins azimuthal_bins(math::Extent chi, std::uint64_t n, const AzimuthalRange& range);

// Radial binning of 2D tables: values beyond either end are clamped.
struct RadialBins {
    std::uint64_t n = 1;
    double start = 0.0, step = 1.0;
    static RadialBins spanning(math::Extent e, std::uint64_t n);
    std::uint64_t bin(double r) const;
};

// Radial and azimuthal bins of the table-free 2D histogram: both span the
// per-pixel values (or the azimuthal range).
std::pair<RadialBins, AzimuthalBins> histogram_bins_2d(const GeometrySnapshot& snap, std::uint64_t n_radial,
                                                       std::uint64_t n_azimuthal, const AzimuthalRange& range);

}  // namespace karvelum::lut
