#include "integration/integrate1d.hpp"

#include <cmath>
#include <string>

#include "errors.hpp"
#include "integration/working_set.hpp"
#include "lut/counting_csr.hpp"
#include "lut/integrate.hpp"
#include "math/histogram.hpp"
#include "pool.hpp"

namespace karvelum::integration {

namespace {

// Poisson variance of every sample: max(x, 0), NaN giving 0.
Buffer<double> poisson_variance(std::span<const double> samples) {
    Buffer<double> out(samples.size());
    pool::parallel_for_index(samples.size(), [&](std::size_t i) { out[i] = samples[i] > 0.0 ? samples[i] : 0.0; });
    return out;
}

// Sample over correction where the correction is positive, else `otherwise`.
Buffer<double> normalised(std::span<const double> x, std::span<const double> corr, double otherwise) {
    Buffer<double> out(x.size());
    pool::parallel_for_index(x.size(), [&](std::size_t i) { out[i] = corr[i] > 0.0 ? x[i] / corr[i] : otherwise; });
    return out;
}

Buffer<double> normalised_variance(std::span<const double> var, std::span<const double> corr,
                                   bool zero_when_not_positive) {
    Buffer<double> out(var.size());
    pool::parallel_for_index(var.size(), [&](std::size_t i) {
        out[i] = (!zero_when_not_positive || corr[i] > 0.0) ? var[i] / (corr[i] * corr[i]) : 0.0;
    });
    return out;
}

Integration1dOutput run_1d(IntegratorCore& core, ImageView image, std::uint64_t n_points, bool with_variance) {
    return pool::run([&] {
        CallState state = begin_call(core, image, n_points,
                                     working_set_1d(core, {n_points, with_variance, false}, image.dim1, image.dim2));
        const GeometrySnapshot& snap = *state.snap;
        std::span<const double> corr = *snap.correction_factors;
        Integration1dOutput out;
        if (core.method.kind == MethodKind::Histogram) {
            Buffer<double> signal = normalised(image.data, corr, 0.0);
            Buffer<double> variance = with_variance ? normalised_variance(poisson_variance(image.data), corr, true)
                                                    : Buffer<double>();
            math::HistogramOutput h = math::histogram_integrate(*snap.radial_values, snap.radial_extent, signal,
                                                                variance, n_points, state.mask_bytes());
            out.centres = std::move(h.centres);
            out.intensities = std::move(h.intensities);
            if (with_variance) out.sigmas = std::move(h.errors);
            return out;
        }
        std::shared_ptr<const lut::CsrLut> table = get_or_build_lut_1d(core, snap, lut1d_key(core, n_points));
        // The Poisson variance max(x, 0) is taken from the samples inside the kernel.
        lut::PixelInputs in{image.data, corr, {}, state.mask_bytes(), with_variance};
        out.centres = lut::bin_centres(*table);
        if (with_variance) {
            lut::MeanVar mv = lut::apply_lut_mean_var(*table, in);
            out.intensities = std::move(mv.intensities);
            out.sigmas = std::move(mv.sigmas);
        } else {
            out.intensities = lut::apply_lut_mean(*table, in);
        }
        return out;
    });
}

Integration1dOutput run_1d_with_azimuthal_std(IntegratorCore& core, ImageView image, std::uint64_t n_points,
                                              bool errors) {
    return pool::run([&] {
        CallState state = begin_call(core, image, n_points,
                                     working_set_1d(core, {n_points, errors, true}, image.dim1, image.dim2));
        const GeometrySnapshot& snap = *state.snap;
        std::span<const double> corr = *snap.correction_factors;
        Buffer<double> variance = errors ? poisson_variance(image.data) : Buffer<double>();
        Integration1dOutput out;
        lut::AzimuthalStats stats;
        if (core.method.kind == MethodKind::Histogram) {
            // A counting table for this call only, spanning the radial values.
            lut::CsrLut table = lut::build_counting_lut_1d(*snap.radial_values, snap.dim1, snap.dim2, n_points);
            Buffer<double> signal = normalised(image.data, corr, std::nan(""));
            Buffer<double> ones(signal.size(), 1.0);
            Buffer<double> norm_var = errors ? normalised_variance(variance, corr, false) : Buffer<double>();
            stats = lut::apply_lut_azimuthal_stats(table, {signal, ones, norm_var, state.mask_bytes()});
            out.centres = lut::bin_centres(table);
        } else {
            std::shared_ptr<const lut::CsrLut> table = get_or_build_lut_1d(core, snap, lut1d_key(core, n_points));
            stats = lut::apply_lut_azimuthal_stats(*table, {image.data, corr, variance, state.mask_bytes()});
            out.centres = lut::bin_centres(*table);
        }
        out.intensities = std::move(stats.means);
        out.azimuthal_std = std::move(stats.stds);
        if (errors) out.sigmas = std::move(stats.errors);
        return out;
    });
}

}  // namespace

Integration1dOutput integrate1d(IntegratorCore& core, ImageView image, const Options1d& options) {
    if (options.azimuthal_std) return run_1d_with_azimuthal_std(core, image, options.n_points, options.errors);
    return run_1d(core, image, options.n_points, options.errors);
}

}  // namespace karvelum::integration
