#include <cmath>
#include <string>

#include "check.hpp"
#include "errors.hpp"
#include "poni.hpp"
#include "text.hpp"

using namespace karvelum;

TEST(poni_reads_every_key_with_comments_crlf_and_blanks) {
    PoniGeometry g = parse_poni_text(
        "# Nota: comment\r\n"
        "PixelSize1: 7.5e-05\r\n"
        "  PixelSize2 :\t1e-4  \r\n"
        "Distance: 0.1\n"
        "Poni1: 0.05\n"
        "Poni2: 0.06\n"
        "Rot1: 0.01\n"
        "Rot2: -0.02\n"
        "Rot3: 3\n"
        "Wavelength: 1e-10\n"
        "SplineFile: C:\\data\\spline.spline\n"
        "distance: nonsense\n"
        "Unknown: whatever\n"
        "\n");
    CHECK(g.pixel1 == 7.5e-05);
    CHECK(g.pixel2 == 1e-4);
    CHECK(g.distance == 0.1);
    CHECK(g.poni1 == 0.05);
    CHECK(g.poni2 == 0.06);
    CHECK(g.rot1 == 0.01);
    CHECK(g.rot2 == -0.02);
    CHECK(g.rot3 == 3.0);
    CHECK(g.wavelength == 1e-10);
    CHECK(g.spline_file == "C:\\data\\spline.spline");
}

TEST(poni_empty_and_comment_only_files_give_zeros) {
    for (const char* text : {"", "# only a comment\n#another", "   # not a comment, no colon key\n"}) {
        PoniGeometry g = parse_poni_text(text);
        CHECK(g.distance == 0.0 && g.pixel1 == 0.0 && g.wavelength == 0.0 && g.spline_file.empty());
    }
}

TEST(poni_last_key_wins_and_detector_config_replaces_pixel_sizes) {
    PoniGeometry g = parse_poni_text("Distance: 1\nDistance: 2\n");
    CHECK(g.distance == 2.0);

    g = parse_poni_text("PixelSize1: 1e-4\nDetector_config: {\"pixel2\": 5e-05, \"max_shape\": [10, 20]}\n");
    CHECK(g.pixel1 == 0.0);
    CHECK(g.pixel2 == 5e-05);

    g = parse_poni_text(
        "Detector_config: {\"pixel1\": 7.5e-05, \"pixel2\": 7.5e-05, \"max_shape\": [1065, 1030]}\n"
        "PixelSize2: 1e-4\n");
    CHECK(g.pixel1 == 7.5e-05);
    CHECK(g.pixel2 == 1e-4);

    // Entries whose value holds a colon, and keys in other quotes, are ignored.
    g = parse_poni_text("Detector_config: {\"pixel1\": 1e-4, \"splineFile\": \"C:x\", 'pixel2': 3}\n");
    CHECK(g.pixel1 == 1e-4);
    CHECK(g.pixel2 == 0.0);
}

TEST(poni_invalid_utf8_line_does_not_hide_later_keys) {
    PoniGeometry g = parse_poni_text("Distance: 0.1\nJunk: \xff\xfe\x80\nWavelength: 2e-10\n");
    CHECK(g.distance == 0.1);
    CHECK(g.wavelength == 2e-10);
    // A key whose value holds invalid bytes is not a number.
    CHECK_THROWS(ValueError, "invalid float literal", parse_poni_text("Distance: 0.1\xff\n"));
}

TEST(poni_unicode_white_space_is_trimmed) {
    // U+00A0 and U+3000 around the value, a tab before the key.
    PoniGeometry g = parse_poni_text("\tDistance:\xc2\xa0" "0.25\xe3\x80\x80\n");
    CHECK(g.distance == 0.25);
}

TEST(utf8_lossy_replaces_each_bad_sequence) {
    CHECK(text::utf8_lossy("ok\xffok") == "ok\xef\xbf\xbdok");
    // A truncated three-byte sequence is one replacement.
    CHECK(text::utf8_lossy("\xe3\x80") == "\xef\xbf\xbd");
    CHECK(text::utf8_lossy("\xe3\x80\x80") == "\xe3\x80\x80");
}
