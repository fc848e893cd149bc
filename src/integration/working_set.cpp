#include "integration/working_set.hpp"

#include "errors.hpp"
#include "math/histogram.hpp"
#include "pool.hpp"

namespace karvelum::integration {

namespace {

// Bytes per pixel, rounded up from the builders' arrays: a table entry is
// 16 bytes while it is collected, and then takes its pixel (while the runs
// are cut), its bin, its weight and its step (at most 17 bytes); a pixel has
// about one entry when counted, a few when its area is split.
constexpr std::uint64_t kGeometryBytes = 64;  // six per-pixel arrays and a temporary
constexpr std::uint64_t kEntryBytes = 33;

std::uint64_t geometry_bytes(const IntegratorCore& core, std::uint64_t dim1, std::uint64_t dim2) {
    const GeometryRef snap = core.geometry_state.snapshot();
    if (snap->dim1 == dim1 && snap->dim2 == dim2) return 0;
    return checked_mul(checked_mul(dim1, dim2), kGeometryBytes);
}

// Sub-sample bins per worker and the detector's border sample points.
std::uint64_t supersampling_bytes(std::uint64_t n_ss, std::uint64_t dim1, std::uint64_t dim2) {
    const std::uint64_t per_worker = checked_mul(checked_mul(n_ss, n_ss), sizeof(std::uint32_t));
    const std::uint64_t border = checked_mul(checked_mul(n_ss, checked_add(dim1, dim2)), 4 * sizeof(double));
    return checked_add(checked_mul(per_worker, pool::current_thread_count()), border);
}

std::uint64_t table_bytes(const IntegrationMethod& method, std::uint64_t dim1, std::uint64_t dim2,
                          std::uint64_t entries_per_pixel) {
    const std::uint64_t pixels = checked_mul(dim1, dim2);
    switch (method.kind) {
        case MethodKind::Counting:
            return checked_mul(pixels, kEntryBytes);
        case MethodKind::PixelSplit: {
            const std::uint64_t corners = checked_mul(checked_add(dim1, 1), checked_add(dim2, 1));
            return checked_add(checked_mul(corners, 2 * sizeof(double)),
                               checked_mul(pixels, entries_per_pixel * kEntryBytes));
        }
        case MethodKind::Supersampled:
            return checked_add(supersampling_bytes(method.n_ss, dim1, dim2),
                               checked_mul(pixels, entries_per_pixel * kEntryBytes));
        case MethodKind::Histogram:
            break;
    }
    return 0;
}

}  // namespace

std::uint64_t working_set_1d(const IntegratorCore& core, const Options1d& options, std::uint64_t dim1,
                             std::uint64_t dim2) {
    std::uint64_t call = 0;
    if (core.method.kind == MethodKind::Histogram) {
        // No per-pixel array: the threads' chunk buffers; the per-bin arrays
        // are in the call's per-bin allowance.
        call = math::histogram_scratch_bytes();
    } else if (!core.lut1d.find(lut1d_key(core, options.n_points), dim1, dim2)) {
        call = table_bytes(core.method, dim1, dim2, 3);
    }
    return checked_add(geometry_bytes(core, dim1, dim2), call);
}

std::uint64_t working_set_2d(const IntegratorCore& core, const Options2d& options, std::uint64_t dim1,
                             std::uint64_t dim2) {
    std::uint64_t call = 0;
    if (core.method.kind == MethodKind::Histogram) {
        call = math::histogram_scratch_bytes();
    } else if (!core.lut2d.find(lut2d_key(core, options.n_radial, options.n_azimuthal, options.azimuthal_range), dim1,
                                dim2)) {
        call = table_bytes(core.method, dim1, dim2, 6);
    }
    return checked_add(geometry_bytes(core, dim1, dim2), call);
}

}  // namespace karvelum::integration
