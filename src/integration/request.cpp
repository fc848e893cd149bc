#include "integration/request.hpp"

#include "errors.hpp"

namespace karvelum::integration {

namespace {

// Decoded files land in one frame per thread, kept between calls so that
// images of one size are decoded without a fresh allocation each time.
ImageFrame& thread_frame() {
    thread_local ImageFrame frame;
    return frame;
}

ImageView samples_of(const ImageSource& source) {
    if (const ImageView* view = std::get_if<ImageView>(&source)) return *view;
    if (const RefusedImage* refused = std::get_if<RefusedImage>(&source)) throw ValueError(refused->message);
    try {
        return load_image(thread_frame(), std::get<std::string>(source));
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
    return integrate1d(core, samples_of(image), options);
}

Integration2dOutput integrate2d(IntegratorCore& core, const ImageSource& image, const Options2d& options) {
    check_integrate2d_options(options);
    return integrate2d(core, samples_of(image), options);
}

}  // namespace karvelum::integration
