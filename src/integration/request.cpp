#include "integration/request.hpp"

#include <optional>

#include "errors.hpp"
#include "integration/working_set.hpp"
#include "memory.hpp"

namespace karvelum::integration {

namespace {

// A path is decoded into the calling thread's reusable frame, held in
// `frame` for the call (large images do not stay with the thread); the
// call's admission, made with the decode, in `claim`.
ImageView samples_of(const ImageSource& source, std::optional<ThreadFrame>& frame, MemoryClaim& claim,
                     const ThenNeeds& then_needs, bool file_form) {
    if (const ImageView* view = std::get_if<ImageView>(&source)) return *view;
    if (const RefusedImage* refused = std::get_if<RefusedImage>(&source)) throw ValueError(refused->message);
    try {
        return load_image(frame.emplace().get(), std::get<std::string>(source), then_needs, file_form, &claim);
    } catch (const LoadError& e) {
        throw ValueError(std::string("Failed to load TIFF: ") + e.message());
    }
}

}  // namespace

ImageView load_image(ImageFrame& frame, const std::string& path, const ThenNeeds& then_needs, bool file_form,
                     MemoryClaim* hold) {
    load_tiff_frame(frame, path, then_needs, file_form, hold);
    ImageView view{frame.data, frame.dim1, frame.dim2, frame.file_samples()};
    if (hold != nullptr && hold->held()) view.claim = hold;
    return view;
}

Integration1dOutput integrate1d(IntegratorCore& core, const ImageSource& image, const Options1d& options) {
    if (options.n_points == 0) throw ValueError("n_points must be positive");
    std::optional<ThreadFrame> frame;
    MemoryClaim claim;
    const ThenNeeds then_needs = [&](std::uint64_t rows, std::uint64_t cols, SampleType type) {
        return working_set_1d(core, options, rows, cols, type);
    };
    return integrate1d(core, samples_of(image, frame, claim, then_needs, reads_file_samples(core, options)), options);
}

Integration2dOutput integrate2d(IntegratorCore& core, const ImageSource& image, const Options2d& options) {
    check_integrate2d_options(options);
    std::optional<ThreadFrame> frame;
    MemoryClaim claim;
    const ThenNeeds then_needs = [&](std::uint64_t rows, std::uint64_t cols, SampleType type) {
        return working_set_2d(core, options, rows, cols, type);
    };
    return integrate2d(core, samples_of(image, frame, claim, then_needs, false), options);
}

}  // namespace karvelum::integration
