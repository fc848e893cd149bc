#include "integration/request.hpp"

#include <optional>

#include "errors.hpp"
#include "integration/working_set.hpp"

namespace karvelum::integration {

namespace {

// A path is decoded into the calling thread's reusable frame, held in
// `frame` for the call (large images do not stay with the thread).
template <class ThenNeeds>
ImageView samples_of(const ImageSource& source, std::optional<ThreadFrame>& frame, const ThenNeeds& then_needs,
                     bool file_form) {
    if (const ImageView* view = std::get_if<ImageView>(&source)) return *view;
    if (const RefusedImage* refused = std::get_if<RefusedImage>(&source)) throw ValueError(refused->message);
    try {
        return load_image(frame.emplace().get(), std::get<std::string>(source), then_needs, file_form);
    } catch (const LoadError& e) {
        throw ValueError(std::string("Failed to load TIFF: ") + e.message());
    }
}

}  // namespace

ImageView load_image(ImageFrame& frame, const std::string& path,
                     const std::function<std::uint64_t(std::uint64_t, std::uint64_t)>& then_needs, bool file_form) {
    load_tiff_frame(frame, path, then_needs, file_form);
    return ImageView{frame.data, frame.dim1, frame.dim2, frame.file_samples()};
}

Integration1dOutput integrate1d(IntegratorCore& core, const ImageSource& image, const Options1d& options) {
    if (options.n_points == 0) throw ValueError("n_points must be positive");
    std::optional<ThreadFrame> frame;
    const std::function<std::uint64_t(std::uint64_t, std::uint64_t)> then_needs =
        [&](std::uint64_t rows, std::uint64_t cols) { return working_set_1d(core, options, rows, cols); };
    return integrate1d(core, samples_of(image, frame, then_needs, reads_file_samples(core, options)), options);
}

Integration2dOutput integrate2d(IntegratorCore& core, const ImageSource& image, const Options2d& options) {
    check_integrate2d_options(options);
    std::optional<ThreadFrame> frame;
    const std::function<std::uint64_t(std::uint64_t, std::uint64_t)> then_needs =
        [&](std::uint64_t rows, std::uint64_t cols) { return working_set_2d(core, options, rows, cols); };
    return integrate2d(core, samples_of(image, frame, then_needs, false), options);
}

}  // namespace karvelum::integration
