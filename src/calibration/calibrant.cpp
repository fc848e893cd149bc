#include "calibration/calibrant.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "poni.hpp"
#include "text.hpp"

namespace karvelum::calibration {

namespace {

[[noreturn]] void fail_io(const std::string& what) { throw CalibrantFileError("I/O error: " + what); }

[[noreturn]] void fail_os(int error) {
    fail_io(std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")");
}

std::string read_whole_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) fail_io("file name contained an unexpected NUL byte");
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail_os(errno);
    std::string bytes;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0) bytes.reserve(static_cast<std::size_t>(info.st_size));
    char chunk[65536];
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            int error = errno;
            ::close(fd);
            fail_os(error);
        }
        if (got == 0) break;
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return bytes;
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

bool is_unprintable(char32_t c) {
    static constexpr char32_t ranges[][2] = {
        {0x0, 0x1F},         {0x7F, 0xA0},       {0xAD, 0xAD},       {0x600, 0x605},     {0x61C, 0x61C},
        {0x6DD, 0x6DD},      {0x70F, 0x70F},     {0x890, 0x891},     {0x8E2, 0x8E2},     {0x1680, 0x1680},
        {0x180E, 0x180E},    {0x2000, 0x200F},   {0x2028, 0x202F},   {0x205F, 0x2064},   {0x2066, 0x206F},
        {0x3000, 0x3000},    {0xD800, 0xF8FF},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0xFFFE, 0xFFFF},
        {0x110BD, 0x110BD},  {0x110CD, 0x110CD}, {0x13430, 0x13438}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
        {0xE0001, 0xE0001},  {0xE0020, 0xE007F}, {0xF0000, 0x10FFFF},
    };
    for (const auto& r : ranges) {
        if (c < r[0]) return false;
        if (c <= r[1]) return true;
    }
    return false;
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
                if (is_unprintable(c)) {
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
