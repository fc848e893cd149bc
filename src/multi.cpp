#include "multi.hpp"

#include <cmath>
#include <string>

#include "errors.hpp"
#include "integration/working_set.hpp"
#include "frame.hpp"
#include "lut/integrate.hpp"
#include "memory.hpp"
#include "pool.hpp"

namespace karvelum {

using integration::ImageView;

namespace {

// The images of one frame set: paths decoded into frames of their own (all
// of them are needed at once), arrays read in place.
std::vector<ImageView> load_frame_set(std::span<const ImageSource> images, std::vector<ImageFrame>& frames,
                                      const std::string& frame_label) {
    frames.resize(images.size());
    std::vector<ImageView> views;
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (const ImageView* view = std::get_if<ImageView>(&images[i])) {
            views.push_back(*view);
            continue;
        }
        if (const auto* refused = std::get_if<integration::RefusedImage>(&images[i])) {
            throw ValueError(refused->message);
        }
        try {
            views.push_back(integration::load_image(frames[i], std::get<std::string>(images[i])));
        } catch (const LoadError& e) {
            throw ValueError("Failed to load TIFF for detector " + std::to_string(i) + frame_label + ": " + e.message());
        }
    }
    return views;
}

void check_points(std::uint64_t n_points) {
    if (n_points == 0) throw ValueError("n_points must be positive");
}

}  // namespace

void check_multi_members(std::span<const std::shared_ptr<IntegratorCore>> members) {
    if (members.empty()) throw ValueError("MultiIntegrator requires at least one integrator");
    const IntegratorCore& first = *members[0];
    if (!first.radial_range) throw ValueError("All integrators must have a radial_range set for MultiIntegrator");
    for (std::size_t i = 0; i < members.size(); ++i) {
        const IntegratorCore& m = *members[i];
        const std::string index = std::to_string(i);
        if (m.method.kind == integration::MethodKind::Histogram) {
            throw ValueError("MultiIntegrator does not support Histogram method (integrator " + index + ")");
        }
        // Overlap areas and pixel counts are weights of different units.
        if ((m.method.kind == integration::MethodKind::PixelSplit) !=
            (first.method.kind == integration::MethodKind::PixelSplit)) {
            throw ValueError("MultiIntegrator cannot mix pixel splitting with other methods (integrator " + index +
                             " differs)");
        }
        if (m.unit != first.unit) {
            throw ValueError("All integrators must have the same radial_unit (integrator " + index + " differs)");
        }
        if (!m.radial_range) {
            throw ValueError("All integrators must have a radial_range set (integrator " + index + " missing)");
        }
        const double eps = 2.220446049250313e-16;
        if (std::fabs(m.radial_range->first - first.radial_range->first) > eps ||
            std::fabs(m.radial_range->second - first.radial_range->second) > eps) {
            throw ValueError("All integrators must have the same radial_range (integrator " + index + " differs)");
        }
    }
}

Integration1dOutput integrate_multi_1d(std::span<IntegratorCore* const> cores, std::span<const ImageSource> images,
                                       std::uint64_t n_points, bool errors) {
    check_points(n_points);
    if (images.size() != cores.size()) {
        throw ValueError("Expected " + std::to_string(cores.size()) + " images (one per detector), got " +
                         std::to_string(images.size()));
    }
    std::vector<ImageFrame> frames;
    const std::vector<ImageView> views = load_frame_set(images, frames, "");
    return integrate1d_raw(cores, views, n_points, errors);
}

std::vector<Integration1dOutput> batch_multi_1d(std::span<IntegratorCore* const> cores,
                                                std::span<const std::vector<ImageSource>> frame_sets,
                                                std::uint64_t n_points, bool errors) {
    check_points(n_points);
    std::vector<Integration1dOutput> out;
    out.reserve(frame_sets.size());
    std::vector<ImageFrame> frames;
    for (std::size_t k = 0; k < frame_sets.size(); ++k) {
        const std::vector<ImageSource>& set = frame_sets[k];
        if (set.size() != cores.size()) {
            throw ValueError("Frame set " + std::to_string(k) + " has " + std::to_string(set.size()) +
                             " images, expected " + std::to_string(cores.size()) + " (one per detector)");
        }
        const std::vector<ImageView> views = load_frame_set(set, frames, " frame " + std::to_string(k));
        out.push_back(integrate1d_raw(cores, views, n_points, errors));
    }
    return out;
}

Integration1dOutput integrate1d_raw(std::span<IntegratorCore* const> cores, std::span<const ImageView> images,
                                    std::uint64_t n_points, bool errors) {
    if (images.size() != cores.size()) {
        throw Panic("assertion `left == right` failed: Number of images must match number of integrators\n  left: " +
                    std::to_string(images.size()) + "\n right: " + std::to_string(cores.size()));
    }
    check_points(n_points);
    require_memory(checked_mul(n_points, 8 * sizeof(double)));
    // Every detector's image and mask are checked before any work is done.
    for (std::size_t d = 0; d < cores.size(); ++d) {
        if (images[d].dim1 == 0 || images[d].dim2 == 0) throw ValueError("Image must not be empty");
        if (cores[d]->mask) integration::check_mask_shape(*cores[d]->mask, images[d].dim1, images[d].dim2);
    }
    return pool::run([&] {
        std::vector<double> signal(n_points, 0.0), norm(n_points, 0.0), variance(errors ? n_points : 0, 0.0);
        Integration1dOutput out;
        for (std::size_t d = 0; d < cores.size(); ++d) {
            IntegratorCore& core = *cores[d];
            if (core.method.kind == integration::MethodKind::Histogram) {
                throw Panic("integrate1d_raw is not supported for Histogram method");
            }
            integration::CallState state = integration::begin_call(
                core, images[d], n_points,
                integration::working_set_1d(core, {n_points, errors, false}, images[d].dim1, images[d].dim2));
            std::shared_ptr<const lut::CsrLut> table =
                integration::get_or_build_lut_1d(core, *state.snap, integration::lut1d_key(core, n_points));
            state.built();
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
