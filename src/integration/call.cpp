#include "integration/call.hpp"

#include <string>

#include "errors.hpp"
#include "integration.hpp"
#include "integration/corrections.hpp"
#include "pool.hpp"

namespace karvelum::integration {

CallState begin_call(IntegratorCore& core, const ImageView& image, std::uint64_t n_bins,
                     const WorkingSet& working_set) {
    if (n_bins == 0) throw ValueError("n_points must be positive");
    if (image.dim1 == 0 || image.dim2 == 0) throw ValueError("Image must not be empty");
    // The per-bin vectors of the result and the histogram's sums (counted
    // in the working set too; this refuses a huge bin count at once).
    require_memory(checked_mul(n_bins, 8 * sizeof(double)));
    const std::uint64_t pixels = checked_mul(image.dim1, image.dim2);
    if (image.file.data == nullptr && image.data.size() != pixels) {
        throw Panic("assertion `left == right` failed: Image dimensions must match data\n  left: " +
                    std::to_string(image.data.size()) + "\n right: " + std::to_string(pixels));
    }
    CallState state;
    state.mask = core.mask;
    if (state.mask) check_mask_shape(*state.mask, image.dim1, image.dim2);
    if (image.claim != nullptr) {
        state.decode_claim = image.claim;
    } else {
        state.own_claim = claim_available_memory(working_set);
    }
    state.scope.emplace(state.decode_claim != nullptr ? state.decode_claim : &state.own_claim);
    state.snap = ensure_geometry(core, image.dim1, image.dim2);
    return state;
}

ImageView widened(const ImageView& image, Buffer<double>& storage) {
    if (image.file.data == nullptr) return image;
    const std::uint64_t w = image.dim2, h = image.dim1;
    const std::uint64_t n = checked_mul(w, h);
    const bool fresh = storage.size() < n;
    if (fresh) require_memory(checked_mul(n, sizeof(double)));
    storage.resize(n);
    with_sample_type(image.file.type, [&](auto zero) {
        using T = decltype(zero);
        const T* in = static_cast<const T*>(image.file.data);
        // File row r is image row h - 1 - r.
        pool::parallel_for_index(h, [&](std::size_t r) {
            double* out = storage.data() + (h - 1 - r) * w;
            for (std::uint64_t c = 0; c < w; ++c) out[c] = static_cast<double>(in[r * w + c]);
        }, 16);
    });
    if (fresh) record_taken(ClaimPart::Own, n * sizeof(double));
    return ImageView{storage, h, w, {}, image.claim};
}

void check_mask_shape(const PixelMask& mask, std::uint64_t dim1, std::uint64_t dim2) {
    if (mask.dim1 != dim1) {
        throw ValueError("mask dim1 mismatch: mask = " + std::to_string(mask.dim1) + ", data = " + std::to_string(dim1));
    }
    if (mask.dim2 != dim2) {
        throw ValueError("mask dim2 mismatch: mask = " + std::to_string(mask.dim2) + ", data = " + std::to_string(dim2));
    }
}

}  // namespace karvelum::integration
