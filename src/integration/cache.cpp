#include "integration/cache.hpp"

#include <mutex>
#include <type_traits>

#include <tbb/task_arena.h>

#include "errors.hpp"
#include "integration.hpp"
#include "lut/azimuthal.hpp"
#include "lut/counting_csr.hpp"
#include "lut/pixel_split.hpp"
#include "lut/supersampled.hpp"
#include "memory.hpp"

namespace karvelum::integration {

namespace {

lut::CsrLut build_lut_1d(const IntegratorCore& core, const GeometrySnapshot& snap, const Lut1dCacheKey& key) {
    switch (key.variant) {
        case MethodKind::Counting:
            if (key.radial_range) {
                return lut::build_counting_lut_1d_ranged(*snap.radial_values, snap.dim1, snap.dim2,
                                                         key.radial_range->first, key.radial_range->second,
                                                         key.n_points);
            }
            return lut::build_counting_lut_1d(*snap.radial_values, snap.dim1, snap.dim2, key.n_points);
        case MethodKind::PixelSplit:
            return lut::build_pixel_split_lut_1d(core.geometry, snap, key.unit, key.radial_range, key.n_points);
        case MethodKind::Supersampled:
            return lut::build_supersampled_lut_1d(core.geometry, snap, key.unit, key.radial_range, key.n_points,
                                                  key.n_ss);
        case MethodKind::Histogram:
            break;
    }
    throw Panic("the histogram method has no table");
}

lut::CsrLut2d build_lut_2d(const IntegratorCore& core, const GeometrySnapshot& snap, const Lut2dCacheKey& key) {
    switch (key.kind) {
        case Lut2dKind::Counting:
        case Lut2dKind::CountingAzimuthalRange:
            return lut::build_counting_lut_2d(snap, key.n_radial, key.n_azimuthal, key.azimuthal_range);
        case Lut2dKind::PixelSplit:
        case Lut2dKind::PixelSplitAzimuthalRange:
            return lut::build_pixel_split_lut_2d(core.geometry, snap, key.unit, key.n_radial, key.n_azimuthal,
                                                 key.azimuthal_range);
        case Lut2dKind::Supersampled:
        case Lut2dKind::SupersampledAzimuthalRange:
            return lut::build_supersampled_lut_2d(core.geometry, snap, key.unit, key.n_radial, key.n_azimuthal,
                                                  key.n_ss, key.azimuthal_range);
    }
    throw Panic("unknown 2D table kind");
}

// Builds under the cache's build lock, unless a caller that held it first
// has stored the table meanwhile. The build's parallel loops are isolated:
// a thread waiting for them must not pick up a task that waits on this lock.
template <class Cache, class Key, class Build>
auto build_once(Cache& cache, const Key& key, const GeometrySnapshot& snap, Build&& build) {
    return tbb::this_task_arena::isolate([&] {
        std::lock_guard<std::mutex> lock(cache.build_mutex());
        if (auto hit = cache.find(key, snap.dim1, snap.dim2)) return hit;
        using Table = std::remove_cvref_t<decltype(build())>;
        // Left before the lock: a caller that builds anew after a failure
        // must find the failed build's records gone.
        BuildRecords records(BuildPart::Table);
        auto table = std::make_shared<const Table>(build());
        records.kept();
        return cache.store(key, std::move(table));
    });
}

}  // namespace

std::shared_ptr<const lut::CsrLut2d> get_or_build_lut_2d(IntegratorCore& core, const GeometrySnapshot& snap,
                                                    const Lut2dCacheKey& key) {
    if (auto hit = core.lut2d.find(key, snap.dim1, snap.dim2)) return hit;
    return build_once(core.lut2d, key, snap, [&] { return build_lut_2d(core, snap, key); });
}

std::shared_ptr<const lut::CsrLut> get_or_build_lut_1d(IntegratorCore& core, const GeometrySnapshot& snap,
                                                  const Lut1dCacheKey& key) {
    if (auto hit = core.lut1d.find(key, snap.dim1, snap.dim2)) return hit;
    return build_once(core.lut1d, key, snap, [&] { return build_lut_1d(core, snap, key); });
}

}  // namespace karvelum::integration
