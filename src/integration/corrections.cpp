#include "integration/corrections.hpp"

#include <tbb/task_arena.h>

#include "errors.hpp"
#include "geometry.hpp"
#include "integration.hpp"
#include "memory.hpp"
#include "pool.hpp"

namespace karvelum::integration {

namespace {

SharedArray share(Buffer<double>&& values) {
    return std::make_shared<const Buffer<double>>(std::move(values));
}

Buffer<double> map_array(std::span<const double> in, auto&& f) {
    Buffer<double> out(in.size());
    pool::parallel_write(in.size(), ClaimPart::Shared, sizeof(double), [&](std::size_t k) { out[k] = f(in[k]); });
    return out;
}

Buffer<double> polarization_for(std::span<const double> two_theta, std::span<const double> chi,
                                std::optional<double> factor) {
    if (!factor) return map_array(two_theta, [](double) { return 1.0; });
    return geometry::polarization_array(two_theta, chi, *factor);
}

CorrectionArrays correction_product(std::span<const double> polarization, std::span<const double> solid_angle) {
    std::size_t n = std::min(polarization.size(), solid_angle.size());
    Buffer<double> out(n);
    pool::parallel_write(n, ClaimPart::Shared, sizeof(double),
                         [&](std::size_t k) { out[k] = polarization[k] * solid_angle[k]; });
    return share(std::move(out));
}

GeometryRef build_snapshot(const IntegratorCore& core, std::uint64_t dim1, std::uint64_t dim2) {
    // Checked first, so a refused unit changes nothing.
    RadialConverter convert(core.unit, core.geometry.wavelength);
    geometry::PixelAngles angles = geometry::pixel_angles(core.geometry, dim1, dim2);
    auto snap = std::make_shared<GeometrySnapshot>();
    snap->dim1 = dim1;
    snap->dim2 = dim2;
    snap->radial_values = share(map_array(angles.two_theta, convert));
    if (!snap->radial_values->empty()) snap->radial_extent = math::nan_ignoring_extent(*snap->radial_values);
    Buffer<double> polarization = polarization_for(angles.two_theta, angles.chi, core.polarization_factor);
    snap->correction_factors = correction_product(polarization, angles.solid_angle);
    snap->polarization = share(std::move(polarization));
    snap->two_theta = share(std::move(angles.two_theta));
    snap->chi = share(std::move(angles.chi));
    if (!snap->chi->empty()) snap->chi_extent = math::nan_ignoring_extent(*snap->chi);
    snap->solid_angle = share(std::move(angles.solid_angle));
    return snap;
}

// Runs a state change under the build mutex. The parallel loops inside are
// isolated so that a thread waiting for them never picks up a task that
// would block on the same mutex.
template <class F>
auto locked_rebuild(IntegratorCore& core, F&& f) {
    return pool::run([&] {
        return tbb::this_task_arena::isolate([&] {
            std::lock_guard<std::mutex> lock(core.geometry_state.build_mutex());
            return f();
        });
    });
}

}  // namespace

GeometryRef ensure_geometry(IntegratorCore& core, std::uint64_t dim1, std::uint64_t dim2) {
    GeometryRef snap = core.geometry_state.snapshot();
    if (snap->dim1 == dim1 && snap->dim2 == dim2) return snap;
    snap = locked_rebuild(core, [&] {
        GeometryRef current = core.geometry_state.snapshot();
        if (current->dim1 == dim1 && current->dim2 == dim2) return current;
        // A geometry refused midway is gone: its records leave the build's claims.
        BuildRecords records(BuildPart::Geometry);
        GeometryRef built = build_snapshot(core, dim1, dim2);
        records.kept();
        core.geometry_state.replace(built);
        return built;
    });
    clear_lut_caches(core);
    return snap;
}

CorrectionArrays corrections(const IntegratorCore& core) {
    return core.geometry_state.snapshot()->correction_factors;
}

void update_corrections(IntegratorCore& core) {
    locked_rebuild(core, [&] {
        GeometryRef current = core.geometry_state.snapshot();
        if (current->pixels() == 0) return 0;
        auto next = std::make_shared<GeometrySnapshot>(*current);
        Buffer<double> polarization =
            polarization_for(*current->two_theta, *current->chi, core.polarization_factor);
        next->correction_factors = correction_product(polarization, *current->solid_angle);
        next->polarization = share(std::move(polarization));
        core.geometry_state.replace(std::move(next));
        return 0;
    });
}

void update_radial_values(IntegratorCore& core, RadialUnit unit) {
    locked_rebuild(core, [&] {
        GeometryRef current = core.geometry_state.snapshot();
        if (current->two_theta->empty()) return 0;
        RadialConverter convert(unit, core.geometry.wavelength);
        auto next = std::make_shared<GeometrySnapshot>(*current);
        next->radial_values = share(map_array(*current->two_theta, convert));
        next->radial_extent = math::nan_ignoring_extent(*next->radial_values);
        core.geometry_state.replace(std::move(next));
        return 0;
    });
}

}  // namespace karvelum::integration
