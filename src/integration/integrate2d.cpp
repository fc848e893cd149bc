#include "integration/integrate2d.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "errors.hpp"
#include "integration/working_set.hpp"
#include "lut/azimuthal.hpp"
#include "lut/integrate.hpp"
#include "math/histogram.hpp"
#include "pool.hpp"

namespace karvelum::integration {

namespace {

// Cells of the 2D histogram: radial bin + n_radial * azimuthal bin, or none
// for an azimuth the bins leave out.
class CakeCells final : public math::CellMap {
public:
    CakeCells(const GeometrySnapshot& snap, std::uint64_t n_radial, std::uint64_t n_azimuthal,
              const std::optional<std::pair<double, double>>& range)
        : radial_values_(snap.radial_values->data()), chi_(snap.chi->data()) {
        if (snap.radial_values->size() < snap.pixels() || snap.chi->size() < snap.pixels()) {
            throw Panic("per-pixel arrays do not match the image shape");
        }
        std::tie(radial_, azimuthal_) = lut::histogram_bins_2d(snap, n_radial, n_azimuthal, range);
        n_cells = checked_mul(n_radial, n_azimuthal);
    }

    void cells(std::size_t begin, std::size_t count, std::uint32_t* out) const override {
        std::uint32_t a[kRun];
        const std::uint32_t n_radial = static_cast<std::uint32_t>(radial_.n);
        const std::uint32_t n_azimuthal = static_cast<std::uint32_t>(azimuthal_.n);
        for (std::size_t done = 0; done < count; done += kRun) {
            const std::size_t m = std::min(kRun, count - done);
            std::uint32_t* r = out + done;
            azimuthal_.bins(chi_ + begin + done, m, a);
            math::clamped_bins(radial_values_ + begin + done, m, radial_.start, radial_.step, radial_.n, r);
            for (std::size_t j = 0; j < m; ++j) r[j] = a[j] < n_azimuthal ? r[j] + n_radial * a[j] : math::kNoCell;
        }
    }

private:
    static constexpr std::size_t kRun = 256;

    const double* radial_values_;
    const double* chi_;
    lut::RadialBins radial_;
    lut::AzimuthalBins azimuthal_;
};

// Each pixel in its (radial, azimuthal) cell, the cell's plain mean of
// sample / correction (0 where the correction is not positive).
Integration2dOutput histogram_2d(const GeometrySnapshot& snap, ImageView image, std::span<const std::uint8_t> mask,
                                 std::uint64_t n_radial, std::uint64_t n_azimuthal, bool errors,
                                 const std::optional<std::pair<double, double>>& range) {
    const CakeCells map(snap, n_radial, n_azimuthal, range);
    const math::PixelSamples in{image.data, *snap.correction_factors, mask, image.dim1, image.dim2};
    math::HistogramOutput h = math::histogram_cells(map, in, errors);
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
    // The widened copy is part of the admission made with the decode.
    const CallScope scope(image.claim);
    Buffer<double> storage;
    image = widened(image, storage);
    const auto& [n_radial, n_azimuthal, errors, azimuthal_range] = options;
    const std::uint64_t n_bins = checked_mul(n_radial, n_azimuthal);
    return pool::run([&] {
        CallState state = begin_call(
            core, image, n_bins, image.claim ? WorkingSet{} : working_set_2d(core, options, image.dim1, image.dim2));
        const GeometrySnapshot& snap = *state.snap;
        if (core.method.kind == MethodKind::Histogram) {
            state.built();
            return histogram_2d(snap, image, state.mask_bytes(), n_radial, n_azimuthal, errors, azimuthal_range);
        }
        std::shared_ptr<const lut::CsrLut2d> table =
            get_or_build_lut_2d(core, snap, lut2d_key(core, n_radial, n_azimuthal, azimuthal_range));
        state.built();
        lut::PixelInputs in{image.data, *snap.correction_factors, {}, state.mask_bytes(), errors, snap.correction_factors,
                            state.mask};
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
