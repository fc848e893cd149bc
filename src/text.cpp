#include "text.hpp"

namespace karvelum::text {

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

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

bool is_valid_utf8(std::string_view s) {
    std::size_t bad = 1;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t len = utf8_sequence(s, i, bad);
        if (len == 0) return false;
        i += len;
    }
    return true;
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

}  // namespace karvelum::text
