#include "calibration/calibrant.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>


#include "file.hpp"
#include "poni.hpp"
#include "text.hpp"

namespace karvelum::calibration {

namespace {

[[noreturn]] void fail_io(const std::string& what) { throw CalibrantFileError("I/O error: " + what); }

// Generous for a list of d-spacings; refuses runaway files before memory goes.
constexpr std::size_t kMaxCalibrantFileBytes = std::size_t(64) << 20;

std::string read_whole_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) fail_io("file name contained an unexpected NUL byte");
    file::WholeFile read = file::read_regular_file(path, kMaxCalibrantFileBytes, "64 MiB");
    if (!read.error.empty()) fail_io(read.error);
    return std::move(read.bytes);
}

// Decodes the code point at text[i] of well-formed UTF-8 and advances i.
char32_t next_code_point(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t k) -> char32_t { return static_cast<unsigned char>(text[k]); };
    char32_t b0 = byte(i);
    if (b0 < 0x80) {
        i += 1;
        return b0;
    }
    if (b0 < 0xE0) {
        char32_t c = ((b0 & 0x1F) << 6) | (byte(i + 1) & 0x3F);
        i += 2;
        return c;
    }
    if (b0 < 0xF0) {
        char32_t c = ((b0 & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
        i += 3;
        return c;
    }
    char32_t c = ((b0 & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) | (byte(i + 3) & 0x3F);
    i += 4;
    return c;
}

}  // namespace

std::string quoted(std::string_view text) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t start = i;
        char32_t c = next_code_point(text, i);
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case 0: out += "\\0"; break;
            default:
                if (text::is_unprintable(c)) {
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(c));
                    out += hex;
                } else {
                    out.append(text.substr(start, i - start));
                }
        }
    }
    out += '"';
    return out;
}

void sort_descending(std::vector<double>& values) {
    // A total order: NaN compares below every number, so the comparator stays
    // a strict weak ordering.
    std::stable_sort(values.begin(), values.end(), [](double a, double b) {
        if (std::isnan(a)) return false;
        if (std::isnan(b)) return true;
        return a > b;
    });
}

std::vector<double> parse_d_spacing_text(std::string_view text) {
    std::vector<double> kept;
    std::size_t begin = 0, number = 0;
    while (begin < text.size()) {
        std::size_t newline = text.find('\n', begin);
        std::size_t end = newline == std::string_view::npos ? text.size() : newline;
        std::string_view line = text.substr(begin, end - begin);
        if (newline != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        begin = newline == std::string_view::npos ? text.size() : newline + 1;
        ++number;

        std::string_view content = text::trim_unicode(line.substr(0, line.find('#')));
        if (content.empty()) continue;
        std::size_t i = 0, token_end = 0;
        while (i < content.size() && !text::is_white_space(next_code_point(content, i))) token_end = i;
        double value;
        try {
            value = parse_float_literal(content.substr(0, token_end));
        } catch (const ValueError&) {
            throw CalibrantFileError("could not parse d-spacing on line " + std::to_string(number) + ": " +
                                     quoted(line));
        }
        if (value > 0.0) kept.push_back(value);
    }
    if (kept.empty()) throw CalibrantFileError("no d-spacing entries found in file");
    return kept;
}

std::string calibrant_name_from_path(std::string_view path) {
    // The last component that is neither empty (repeated or trailing
    // separators) nor ".".
    std::string_view last;
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t slash = path.find('/', begin);
        std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        std::string_view piece = path.substr(begin, end - begin);
        if (!piece.empty() && piece != ".") last = piece;
        if (slash == std::string_view::npos) break;
        begin = slash + 1;
    }
    if (last.empty() || last == "..") return "calibrant";
    std::size_t dot = last.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::string(last);
    return std::string(last.substr(0, dot));
}

Calibrant calibrant_from_file(const std::string& path) {
    std::string bytes = read_whole_file(path);
    if (!text::is_valid_utf8(bytes)) fail_io("stream did not contain valid UTF-8");
    std::vector<double> values = parse_d_spacing_text(bytes);
    sort_descending(values);
    return Calibrant{calibrant_name_from_path(path), std::move(values)};
}

Calibrant calibrant_from_d_spacings(std::string name, std::vector<double> d_spacings) {
    sort_descending(d_spacings);
    return Calibrant{std::move(name), std::move(d_spacings)};
}

std::optional<double> ring_two_theta(double wavelength, double d) {
    double x = (wavelength * 1e10) / (d + d);
    if (std::fabs(x) <= 1.0) return 2.0 * std::asin(x);
    return std::nullopt;
}

}  // namespace karvelum::calibration
