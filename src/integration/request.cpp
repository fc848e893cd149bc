#include "integration/request.hpp"

#include <optional>

#include "errors.hpp"

namespace karvelum::integration {

namespace {

// A path is decoded into the calling thread's reusable frame, held in
// `frame` for the call (large images do not stay with the thread).
ImageView samples_of(const ImageSource& source, std::optional<ThreadFrame>& frame) {
    if (const ImageView* view = std::get_if<ImageView>(&source)) return *view;
    if (const RefusedImage* refused = std::get_if<RefusedImage>(&source)) throw ValueError(refused->message);
    try {
        return load_image(frame.emplace().get(), std::get<std::string>(source));
    } catch (const LoadError& e) {
        throw ValueError(std::string("Failed to load TIFF: ") + e.message());
    }
}

}  // namespace

ImageView load_image(ImageFrame& frame, const std::string& path) {
    load_tiff_frame(frame, path);
    return ImageView{frame.data, frame.dim1, frame.dim2};
}

Integration1dOutput integrate1d(IntegratorCore& core, const ImageSource& image, const Options1d& options) {
    if (options.n_points == 0) throw ValueError("n_points must be positive");
    std::optional<ThreadFrame> frame;
    return integrate1d(core, samples_of(image, frame), options);
}

Integration2dOutput integrate2d(IntegratorCore& core, const ImageSource& image, const Options2d& options) {
    check_integrate2d_options(options);
    std::optional<ThreadFrame> frame;
    return integrate2d(core, samples_of(image, frame), options);
}

}  // namespace karvelum::integration
