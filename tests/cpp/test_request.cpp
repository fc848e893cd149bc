// Whole integrations driven from C++ alone: a TIFF path in, a pattern out.
#include <tiffio.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "check.hpp"
#include "errors.hpp"
#include "integration.hpp"
#include "integration/corrections.hpp"
#include "integration/request.hpp"
#include "multi.hpp"

using namespace karvelum;
using namespace karvelum::integration;

namespace {

constexpr std::uint32_t kRows = 40, kCols = 56;

std::shared_ptr<IntegratorCore> core_with(MethodKind kind) {
    auto core = std::make_shared<IntegratorCore>();
    PoniGeometry& g = core->geometry;
    g.pixel1 = 1e-4;
    g.pixel2 = 1e-4;
    g.distance = 0.02;
    g.poni1 = 1.5e-3;
    g.poni2 = 2.5e-3;
    g.rot1 = 0.1;
    g.wavelength = 1e-10;
    core->method = {kind, kind == MethodKind::Supersampled ? 2u : 0u};
    core->polarization_factor = 0.7;
    core->radial_range = std::pair{0.05, 0.6};
    return core;
}

// Writes frame-order samples as a float64 TIFF: frame row 0 is the file's
// last row.
void write_tiff(const std::string& path, const std::vector<double>& frame) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    CHECK(tif != nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kCols);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kRows);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 64);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 8);
    std::vector<double> row(kCols);
    for (std::uint32_t r = 0; r < kRows; ++r) {
        const double* source = frame.data() + static_cast<std::size_t>(kRows - 1 - r) * kCols;
        row.assign(source, source + kCols);
        TIFFWriteScanline(tif, row.data(), r, 0);
    }
    TIFFClose(tif);
}

// An image whose corrected value is 5 everywhere: every bin that receives
// pixels must come out as 5 whatever the method.
std::vector<double> flat_after_correction(IntegratorCore& core) {
    GeometryRef snap = ensure_geometry(core, kRows, kCols);
    std::vector<double> frame(snap->correction_factors->begin(), snap->correction_factors->end());
    for (double& x : frame) x *= 5.0;
    return frame;
}

std::string temp_path(const char* name) { return std::string("/tmp/karvelum_request_") + name + ".tif"; }

}  // namespace

TEST(path_requests_integrate_like_samples_and_recover_a_flat_image) {
    for (MethodKind kind : {MethodKind::Histogram, MethodKind::Counting, MethodKind::PixelSplit,
                            MethodKind::Supersampled}) {
        auto core = core_with(kind);
        const std::vector<double> frame = flat_after_correction(*core);
        const std::string path = temp_path("flat");
        write_tiff(path, frame);
        const ImageView view{frame, kRows, kCols};

        const Options1d options{30, true, false};
        Integration1dOutput from_path = integrate1d(*core, ImageSource{path}, options);
        Integration1dOutput from_view = integrate1d(*core, ImageSource{view}, options);
        CHECK(from_path.intensities == from_view.intensities && from_path.centres == from_view.centres);
        CHECK(from_path.sigmas && *from_path.sigmas == *from_view.sigmas);
        int filled = 0;
        for (double v : from_path.intensities) {
            if (v == 0.0) continue;
            CHECK_CLOSE(v, 5.0, 1e-12);
            ++filled;
        }
        CHECK(filled > 10);

        const Options2d options2d{12, 8, false, std::pair{-1.0, 2.0}};
        Integration2dOutput cake = integrate2d(*core, ImageSource{path}, options2d);
        CHECK(cake.intensities.size() == 96 && !cake.sigmas);
        CHECK(cake.intensities == integrate2d(*core, ImageSource{view}, options2d).intensities);
        for (double v : cake.intensities) {
            if (v != 0.0) CHECK_CLOSE(v, 5.0, 1e-12);
        }
        std::remove(path.c_str());
    }
}

TEST(requests_check_options_before_reading_and_prefix_load_errors) {
    auto core = core_with(MethodKind::Counting);
    const std::string missing = "/nonexistent/karvelum.tif";
    CHECK_THROWS(ValueError, "n_points must be positive", integrate1d(*core, ImageSource{missing}, Options1d{}));
    CHECK_THROWS(ValueError, "n_azimuthal must be positive",
                 integrate2d(*core, ImageSource{missing}, Options2d{4, 0, false, std::nullopt}));
    CHECK_THROWS(ValueError, "Failed to load TIFF: No such file or directory (os error 2)",
                 integrate1d(*core, ImageSource{missing}, Options1d{10, false, false}));
    CHECK_THROWS(ValueError, "refused", integrate1d(*core, ImageSource{RefusedImage{"refused"}}, Options1d{10}));
    // Batch items record the loader's bare text.
    ImageFrame frame;
    CHECK_THROWS(LoadError, "No such file or directory (os error 2)", load_image(frame, missing));
}

TEST(multi_detector_requests_merge_paths_and_enforce_member_rules) {
    auto left = core_with(MethodKind::Counting), right = core_with(MethodKind::Counting);
    right->geometry.rot1 = -0.1;
    const std::vector<double> frame = flat_after_correction(*left);
    const std::string path = temp_path("multi");
    write_tiff(path, frame);
    std::vector<IntegratorCore*> cores{left.get(), right.get()};
    const std::vector<ImageSource> images{path, ImageView{frame, kRows, kCols}};
    Integration1dOutput merged = integrate_multi_1d(cores, images, 25, false);
    CHECK(merged.intensities.size() == 25 && merged.centres.size() == 25);
    CHECK_THROWS(ValueError, "Expected 2 images (one per detector), got 1",
                 integrate_multi_1d(cores, std::span(images).first(1), 25, false));
    const std::vector<std::vector<ImageSource>> sets{images, {images[0], std::string("/nonexistent")}};
    CHECK_THROWS(ValueError, "Failed to load TIFF for detector 1 frame 1: No such file or directory (os error 2)",
                 batch_multi_1d(cores, sets, 25, false));
    std::remove(path.c_str());

    std::vector<std::shared_ptr<IntegratorCore>> members{left, right};
    check_multi_members(members);
    right->method = {MethodKind::PixelSplit, 0};
    CHECK_THROWS(ValueError, "MultiIntegrator cannot mix pixel splitting with other methods (integrator 1 differs)",
                 check_multi_members(members));
    right->method = {MethodKind::Counting, 0};
    right->radial_range = std::pair{0.05, 0.6 + 1e-12};
    CHECK_THROWS(ValueError, "All integrators must have the same radial_range (integrator 1 differs)",
                 check_multi_members(members));
}
