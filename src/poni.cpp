#include "poni.hpp"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <locale.h>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "errors.hpp"

#if defined(__APPLE__)
#include <xlocale.h>
#endif

namespace karvelum {

namespace {

std::string os_error_text(int err) {
    return std::generic_category().message(err) + " (os error " + std::to_string(err) + ")";
}

// Closes a file descriptor on every way out.
struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// Reads the whole file; PONI files are a few hundred bytes.
std::string read_file(const std::string& path) {
    constexpr std::size_t kMaxBytes = std::size_t(1) << 20;
    if (path.find('\0') != std::string::npos) throw ValueError("Failed to load PONI: embedded null byte");
    // Non-blocking, so that a named pipe is refused instead of waited on.
    FileDescriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (file.fd < 0) throw ValueError("Failed to load PONI: " + os_error_text(errno));
    struct stat info;
    if (::fstat(file.fd, &info) != 0) throw ValueError("Failed to load PONI: " + os_error_text(errno));
    if (S_ISDIR(info.st_mode)) throw ValueError("Failed to load PONI: " + os_error_text(EISDIR));
    if (!S_ISREG(info.st_mode)) throw ValueError("Failed to load PONI: not a regular file");
    std::string bytes;
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw ValueError("Failed to load PONI: " + os_error_text(errno));
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > kMaxBytes) throw ValueError("Failed to load PONI: file is larger than 1 MiB");
    }
    return bytes;
}

// Length of the well-formed UTF-8 sequence at s[0], or 0 when ill-formed
// (then one maximal subpart of length `bad` is replaced).
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::size_t& bad) {
    auto byte = [&](std::size_t k) -> unsigned { return static_cast<unsigned char>(s[k]); };
    unsigned b0 = byte(i);
    bad = 1;
    if (b0 < 0x80) return 1;
    std::size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k < len; ++k) {
        if (i + k >= s.size()) return 0;
        unsigned b = byte(i + k);
        unsigned l = (k == 1) ? lo : 0x80, h = (k == 1) ? hi : 0xBF;
        if (b < l || b > h) return 0;
        bad = k + 1;
    }
    return len;
}

char32_t decode_at(std::string_view s, std::size_t i, std::size_t len) {
    auto byte = [&](std::size_t k) -> char32_t { return static_cast<unsigned char>(s[k]); };
    switch (len) {
        case 1: return byte(i);
        case 2: return ((byte(i) & 0x1F) << 6) | (byte(i + 1) & 0x3F);
        case 3: return ((byte(i) & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
        default:
            return ((byte(i) & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) |
                   (byte(i + 3) & 0x3F);
    }
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
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

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

void apply_detector_config(PoniGeometry& geometry, std::string_view value) {
    if (value.size() < 2) {
        throw ValueError("Detector_config value is too short to be an object: '" + std::string(value) + "'");
    }
    if (is_continuation_byte(value[1]) || is_continuation_byte(value[value.size() - 1])) {
        throw ValueError("Detector_config value is not enclosed in braces: '" + std::string(value) + "'");
    }
    std::string_view inner = value.substr(1, value.size() - 2);
    geometry.pixel1 = 0.0;
    geometry.pixel2 = 0.0;
    for (std::string_view entry : collect_split_pieces(inner, ',')) {
        std::vector<std::string_view> parts = collect_split_pieces(entry, ':');
        if (parts.size() != 2) continue;
        std::string_view name = trim_unicode(parts[0]);
        if (name == "\"pixel1\"") geometry.pixel1 = parse_float_literal(trim_unicode(parts[1]));
        else if (name == "\"pixel2\"") geometry.pixel2 = parse_float_literal(trim_unicode(parts[1]));
    }
}

void apply_line(PoniGeometry& geometry, std::string_view line) {
    if (!line.empty() && line.front() == '#') return;
    std::size_t colon = line.find(':');
    std::string_view key = trim_unicode(line.substr(0, colon));
    std::string_view value = colon == std::string_view::npos ? std::string_view() : trim_unicode(line.substr(colon + 1));
    if (is_number_key(key)) {
        set_number(geometry, key, parse_float_literal(value));
    } else if (key == "SplineFile") {
        geometry.spline_file = std::string(value);
    } else if (key == "Detector_config") {
        apply_detector_config(geometry, value);
    }
}

}  // namespace

std::vector<std::string_view> collect_split_pieces(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t begin = 0;
    for (;;) {
        std::size_t at = text.find(separator, begin);
        if (at == std::string_view::npos) {
            pieces.push_back(text.substr(begin));
            return pieces;
        }
        pieces.push_back(text.substr(begin, at - begin));
        begin = at + 1;
    }
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t bad = 1;
        std::size_t len = utf8_sequence(bytes, i, bad);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            i += bad;
        } else {
            out.append(bytes.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::string_view trim_unicode(std::string_view text) {
    // Input is valid UTF-8 here (lines are decoded before they are split).
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t bad = 1;
        std::size_t len = utf8_sequence(text, begin, bad);
        if (len == 0 || !is_white_space(decode_at(text, begin, len))) break;
        begin += len;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && is_continuation_byte(text[start])) --start;
        std::size_t bad = 1;
        std::size_t len = utf8_sequence(text, start, bad);
        if (len == 0 || start + len != end || !is_white_space(decode_at(text, start, len))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

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
        apply_line(geometry, utf8_lossy(raw));
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
