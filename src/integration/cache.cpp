#include "integration/cache.hpp"

#include "errors.hpp"
#include "integration.hpp"
#include "lut/counting_csr.hpp"
#include "lut/pixel_split.hpp"
#include "lut/supersampled.hpp"

namespace karvelum {

namespace {

CsrLut build_lut_1d(const IntegratorCore& core, const GeometrySnapshot& snap, const Lut1dCacheKey& key) {
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

}  // namespace

std::shared_ptr<const CsrLut> get_or_build_lut_1d(IntegratorCore& core, const GeometrySnapshot& snap,
                                                  const Lut1dCacheKey& key) {
    if (auto hit = core.lut1d.find(key, snap.dim1, snap.dim2)) return hit;
    auto built = std::make_shared<const CsrLut>(build_lut_1d(core, snap, key));
    return core.lut1d.store(key, std::move(built));
}

}  // namespace karvelum
