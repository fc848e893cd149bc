#include "integration/integrate2d.hpp"

#include <cmath>
#include <limits>
#include <new>

#include "errors.hpp"
#include "integration/working_set.hpp"
#include "lut/azimuthal.hpp"
#include "lut/integrate.hpp"
#include "math/histogram.hpp"
#include "pool.hpp"

namespace karvelum::integration {

namespace {

// Each pixel in its (radial, azimuthal) cell, the cell's plain mean of
// sample / correction (0 where the correction is not positive).
Integration2dOutput histogram_2d(const GeometrySnapshot& snap, ImageView image, std::span<const std::uint8_t> mask,
                                 std::uint64_t n_radial, std::uint64_t n_azimuthal, bool errors,
                                 const std::optional<std::pair<double, double>>& range) {
    auto [rb, ab] = lut::histogram_bins_2d(snap, n_radial, n_azimuthal, range);
    const std::size_t n = image.data.size();
    const Buffer<double>& corr = *snap.correction_factors;
    const Buffer<double>& radial = *snap.radial_values;
    const Buffer<double>& chi = *snap.chi;
    const std::uint64_t n_bins = n_radial * n_azimuthal;
    if (n_bins >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    Buffer<std::uint32_t> bins(n);
    Buffer<double> signal(n), variance(errors ? n : 0);
    pool::parallel_for_index(n, [&](std::size_t i) {
        std::optional<std::uint64_t> a = ab.bin(chi[i]);
        bins[i] = static_cast<std::uint32_t>(a ? rb.bin(radial[i]) + n_radial * *a : n_bins);
        const double c = corr[i], x = image.data[i];
        signal[i] = c > 0.0 ? x / c : 0.0;
        if (errors) variance[i] = c > 0.0 ? (x > 0.0 ? x : 0.0) / (c * c) : 0.0;
    });
    math::HistogramOutput h = math::histogram_cells(bins, signal, variance, n_bins, mask);
    Integration2dOutput out{std::move(h.intensities), std::nullopt};
    if (errors) out.sigmas = std::move(h.errors);
    return out;
}

}  // namespace

void check_integrate2d_options(const Options2d& options) {
    if (options.n_radial == 0) throw ValueError("n_radial must be positive");
    if (options.n_azimuthal == 0) throw ValueError("n_azimuthal must be positive");
    if (const auto& range = options.azimuthal_range) {
        const auto [lo, hi] = *range;
        if (!std::isfinite(lo) || !std::isfinite(hi) || !std::isfinite(hi - lo)) {
            throw ValueError("azimuthal_range must be finite with a finite width");
        }
        lut::AzimuthalBins::from_range(lo, hi, options.n_azimuthal);
    }
}

Integration2dOutput integrate2d(IntegratorCore& core, ImageView image, const Options2d& options) {
    check_integrate2d_options(options);
    const auto& [n_radial, n_azimuthal, errors, azimuthal_range] = options;
    const std::uint64_t n_bins = checked_mul(n_radial, n_azimuthal);
    return pool::run([&] {
        CallState state = begin_call(core, image, n_bins, working_set_2d(core, options, image.dim1, image.dim2));
        const GeometrySnapshot& snap = *state.snap;
        if (core.method.kind == MethodKind::Histogram) {
            return histogram_2d(snap, image, state.mask_bytes(), n_radial, n_azimuthal, errors, azimuthal_range);
        }
        std::shared_ptr<const lut::CsrLut2d> table =
            get_or_build_lut_2d(core, snap, lut2d_key(core, n_radial, n_azimuthal, azimuthal_range));
        lut::PixelInputs in{image.data, *snap.correction_factors, {}, state.mask_bytes(), errors};
        Integration2dOutput out;
        if (errors) {
            lut::MeanVar mv = lut::apply_lut_mean_var(table->table, in);
            out.intensities = std::move(mv.intensities);
            out.sigmas = std::move(mv.sigmas);
        } else {
            out.intensities = lut::apply_lut_mean(table->table, in);
        }
        return out;
    });
}

}  // namespace karvelum::integration
