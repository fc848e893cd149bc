#include "integration/integrate1d.hpp"

#include <cmath>
#include <string>

#include "errors.hpp"
#include "integration/working_set.hpp"
#include "lut/integrate.hpp"
#include "math/histogram.hpp"
#include "pool.hpp"

namespace karvelum::integration {

namespace {

// Poisson variance of every sample: max(x, 0), NaN giving 0.
Buffer<double> poisson_variance(std::span<const double> samples) {
    Buffer<double> out(samples.size());
    pool::parallel_write(samples.size(), ClaimPart::Own, sizeof(double),
                         [&](std::size_t i) { out[i] = samples[i] > 0.0 ? samples[i] : 0.0; });
    return out;
}

Integration1dOutput run_1d(IntegratorCore& core, ImageView image, std::uint64_t n_points, bool with_variance) {
    return pool::run([&] {
        CallState state = begin_call(core, image, n_points,
                                     image.claim ? WorkingSet{}
                                                 : working_set_1d(core, {n_points, with_variance, false}, image.dim1,
                                                                  image.dim2));
        const GeometrySnapshot& snap = *state.snap;
        std::span<const double> corr = *snap.correction_factors;
        Integration1dOutput out;
        if (core.method.kind == MethodKind::Histogram) {
            state.built();
            const math::PixelSamples in{image.data, corr, state.mask_bytes(), image.dim1, image.dim2};
            math::HistogramOutput h =
                math::histogram_integrate(*snap.radial_values, snap.radial_extent, in, n_points, with_variance);
            out.centres = std::move(h.centres);
            out.intensities = std::move(h.intensities);
            if (with_variance) out.sigmas = std::move(h.errors);
            return out;
        }
        std::shared_ptr<const lut::CsrLut> table = get_or_build_lut_1d(core, snap, lut1d_key(core, n_points));
        state.built();
        // The Poisson variance max(x, 0) is taken from the samples inside the kernel.
        lut::PixelInputs in{image.data, corr, {}, state.mask_bytes(), with_variance, snap.correction_factors,
                            state.mask, image.file};
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
        CallState state = begin_call(
            core, image, n_points,
            image.claim ? WorkingSet{} : working_set_1d(core, {n_points, errors, true}, image.dim1, image.dim2));
        const GeometrySnapshot& snap = *state.snap;
        std::span<const double> corr = *snap.correction_factors;
        Integration1dOutput out;
        lut::AzimuthalStats stats;
        if (core.method.kind == MethodKind::Histogram) {
            state.built();
            // Unweighted: every valid pixel of a bin counts once, with its
            // value sample / correction.
            const math::PixelSamples in{image.data, corr, state.mask_bytes(), image.dim1, image.dim2};
            math::HistogramSpread h =
                math::histogram_spread(*snap.radial_values, snap.radial_extent, in, n_points, errors);
            out.centres = std::move(h.centres);
            stats = {std::move(h.means), std::move(h.stds), std::move(h.errors)};
        } else {
            std::shared_ptr<const lut::CsrLut> table = get_or_build_lut_1d(core, snap, lut1d_key(core, n_points));
            state.built();
            Buffer<double> variance = errors ? poisson_variance(image.data) : Buffer<double>();
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

bool reads_file_samples(const IntegratorCore& core, const Options1d& options) {
    return core.method.kind != MethodKind::Histogram && !options.azimuthal_std;
}

Integration1dOutput integrate1d(IntegratorCore& core, ImageView image, const Options1d& options) {
    // Only the mean kernels over a table read a file's samples in place.
    // The widened copy is part of the admission made with the decode.
    const CallScope scope(image.claim);
    Buffer<double> storage;
    if (image.file.data != nullptr &&
        !(reads_file_samples(core, options) && lut::reads_file_samples(image.file.type))) {
        image = widened(image, storage);
    }
    if (options.azimuthal_std) return run_1d_with_azimuthal_std(core, image, options.n_points, options.errors);
    return run_1d(core, image, options.n_points, options.errors);
}

}  // namespace karvelum::integration
