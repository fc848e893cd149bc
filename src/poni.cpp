#include "poni.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <locale.h>
#include <string>

#include "errors.hpp"
#include "file.hpp"
#include "text.hpp"

#if defined(__APPLE__)
#include <xlocale.h>
#endif

namespace karvelum {

namespace {

// Reads the whole file; PONI files are a few hundred bytes.
std::string read_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) throw ValueError("Failed to load PONI: embedded null byte");
    file::WholeFile read = file::read_regular_file(path, std::size_t(1) << 20, "1 MiB");
    if (!read.error.empty()) throw ValueError("Failed to load PONI: " + read.error);
    return std::move(read.bytes);
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view lower) {
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

double parse_decimal(const std::string& text) {
    // The "C" locale keeps '.' the decimal point whatever the process locale.
    static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return strtod_l(text.c_str(), nullptr, c_locale);
}

void set_number(PoniGeometry& geometry, std::string_view key, double value) {
    if (key == "Distance") geometry.distance = value;
    else if (key == "Poni1") geometry.poni1 = value;
    else if (key == "Poni2") geometry.poni2 = value;
    else if (key == "Rot1") geometry.rot1 = value;
    else if (key == "Rot2") geometry.rot2 = value;
    else if (key == "Rot3") geometry.rot3 = value;
    else if (key == "PixelSize1") geometry.pixel1 = value;
    else if (key == "PixelSize2") geometry.pixel2 = value;
    else if (key == "Wavelength") geometry.wavelength = value;
}

bool is_number_key(std::string_view key) {
    return key == "Distance" || key == "Poni1" || key == "Poni2" || key == "Rot1" || key == "Rot2" ||
           key == "Rot3" || key == "PixelSize1" || key == "PixelSize2" || key == "Wavelength";
}


void apply_detector_config(PoniGeometry& geometry, std::string_view value) {
    if (value.size() < 2) {
        throw ValueError("Detector_config value is too short to be an object: '" + std::string(value) + "'");
    }
    if (text::is_continuation_byte(value[1]) || text::is_continuation_byte(value[value.size() - 1])) {
        throw ValueError("Detector_config value is not enclosed in braces: '" + std::string(value) + "'");
    }
    std::string_view inner = value.substr(1, value.size() - 2);
    geometry.pixel1 = 0.0;
    geometry.pixel2 = 0.0;
    for (std::string_view entry : text::collect_split_pieces(inner, ',')) {
        std::vector<std::string_view> parts = text::collect_split_pieces(entry, ':');
        if (parts.size() != 2) continue;
        std::string_view name = text::trim_unicode(parts[0]);
        if (name == "\"pixel1\"") geometry.pixel1 = parse_float_literal(text::trim_unicode(parts[1]));
        else if (name == "\"pixel2\"") geometry.pixel2 = parse_float_literal(text::trim_unicode(parts[1]));
    }
}

void apply_line(PoniGeometry& geometry, std::string_view line) {
    if (!line.empty() && line.front() == '#') return;
    std::size_t colon = line.find(':');
    std::string_view key = text::trim_unicode(line.substr(0, colon));
    std::string_view value = colon == std::string_view::npos ? std::string_view() : text::trim_unicode(line.substr(colon + 1));
    if (is_number_key(key)) {
        set_number(geometry, key, parse_float_literal(value));
    } else if (key == "SplineFile") {
        geometry.spline_file = std::string(value);
    } else if (key == "Detector_config") {
        apply_detector_config(geometry, value);
    }
}

}  // namespace

double parse_float_literal(std::string_view text) {
    if (text.empty()) throw ValueError("cannot parse float from empty string");
    std::string_view rest = text;
    bool negative = false;
    if (rest.front() == '+' || rest.front() == '-') {
        negative = rest.front() == '-';
        rest.remove_prefix(1);
    }
    if (equals_ignoring_ascii_case(rest, "inf") || equals_ignoring_ascii_case(rest, "infinity")) {
        return negative ? -HUGE_VAL : HUGE_VAL;
    }
    if (equals_ignoring_ascii_case(rest, "nan")) return std::copysign(std::nan(""), negative ? -1.0 : 1.0);

    std::size_t i = 0, digits = 0;
    while (i < rest.size() && is_digit(rest[i])) ++i, ++digits;
    if (i < rest.size() && rest[i] == '.') {
        ++i;
        while (i < rest.size() && is_digit(rest[i])) ++i, ++digits;
    }
    if (digits == 0) throw ValueError("invalid float literal");
    if (i < rest.size() && (rest[i] == 'e' || rest[i] == 'E')) {
        ++i;
        if (i < rest.size() && (rest[i] == '+' || rest[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < rest.size() && is_digit(rest[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) throw ValueError("invalid float literal");
    }
    if (i != rest.size()) throw ValueError("invalid float literal");
    double magnitude = parse_decimal(std::string(rest));
    return negative ? -magnitude : magnitude;
}

PoniGeometry parse_poni_text(std::string_view bytes) {
    PoniGeometry geometry;
    std::size_t begin = 0;
    while (begin < bytes.size()) {
        std::size_t newline = bytes.find('\n', begin);
        std::size_t end = newline == std::string_view::npos ? bytes.size() : newline;
        std::string_view raw = bytes.substr(begin, end - begin);
        if (!raw.empty() && raw.back() == '\r' && newline != std::string_view::npos) raw.remove_suffix(1);
        apply_line(geometry, text::utf8_lossy(raw));
        begin = newline == std::string_view::npos ? bytes.size() : newline + 1;
    }
    return geometry;
}

PoniGeometry parse_poni_file(const std::string& path) {
    std::string bytes = read_file(path);
    try {
        return parse_poni_text(bytes);
    } catch (const ValueError& e) {
        throw ValueError(std::string("Failed to load PONI: ") + e.what());
    }
}

}  // namespace karvelum
