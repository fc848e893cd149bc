#include "multi.hpp"

#include <cmath>
#include <string>

#include "errors.hpp"
#include "lut/integrate.hpp"
#include "pool.hpp"

namespace karvelum {

Integration1dOutput integrate1d_raw(std::span<IntegratorCore* const> cores, std::span<const ImageView> images,
                                    std::uint64_t n_points, bool errors) {
    if (images.size() != cores.size()) {
        throw Panic("assertion `left == right` failed: Number of images must match number of integrators\n  left: " +
                    std::to_string(images.size()) + "\n right: " + std::to_string(cores.size()));
    }
    if (n_points == 0) throw ValueError("n_points must be positive");
    require_memory(checked_mul(n_points, 8 * sizeof(double)));
    // Every detector's image and mask are checked before any work is done.
    for (std::size_t d = 0; d < cores.size(); ++d) {
        if (images[d].dim1 == 0 || images[d].dim2 == 0) throw ValueError("Image must not be empty");
        if (cores[d]->mask) check_mask_shape(*cores[d]->mask, images[d].dim1, images[d].dim2);
    }
    return pool::run([&] {
        std::vector<double> signal(n_points, 0.0), norm(n_points, 0.0), variance(errors ? n_points : 0, 0.0);
        Integration1dOutput out;
        for (std::size_t d = 0; d < cores.size(); ++d) {
            IntegratorCore& core = *cores[d];
            if (core.method.kind == MethodKind::Histogram) {
                throw Panic("integrate1d_raw is not supported for Histogram method");
            }
            CallState state = begin_call(core, images[d], n_points);
            const IntegrationMethod& m = core.method;
            Lut1dCacheKey key{m.kind, core.radial_range, n_points, m.kind == MethodKind::Supersampled ? m.n_ss : 0,
                              core.unit};
            std::shared_ptr<const CsrLut> table = get_or_build_lut_1d(core, *state.snap, key);
            lut::RawSums sums = lut::apply_lut_raw_sums(
                *table, {images[d].data, *state.snap->correction_factors, {}, state.mask_bytes(), errors}, errors);
            if (out.centres.empty()) out.centres = lut::bin_centres(*table);
            for (std::uint64_t b = 0; b < n_points; ++b) {
                signal[b] = signal[b] + sums.signal[b];
                norm[b] = norm[b] + sums.normalisation[b];
                if (errors) variance[b] = variance[b] + sums.variance[b];
            }
        }
        out.intensities.assign(n_points, 0.0);
        if (errors) out.sigmas.emplace(n_points, 0.0);
        for (std::uint64_t b = 0; b < n_points; ++b) {
            if (norm[b] == 0.0) continue;
            out.intensities[b] = signal[b] / norm[b];
            if (errors) {
                const double v = variance[b] / (norm[b] * norm[b]);
                (*out.sigmas)[b] = v > 0.0 ? std::sqrt(v) : 0.0;
            }
        }
        return out;
    });
}

}  // namespace karvelum
