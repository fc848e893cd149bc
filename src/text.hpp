// UTF-8 text as the file readers need it: well-formedness, lossy decoding,
// code points and Unicode white space.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace karvelum::text {

// Length of the well-formed UTF-8 sequence at s[i], or 0 when ill-formed
// (then `bad` is the length of the maximal subpart to replace).
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::size_t& bad);

// The code point of the well-formed sequence of `len` bytes at s[i].
char32_t decode_at(std::string_view s, std::size_t i, std::size_t len);

// Whether a quoted name writes c as an escape: the Unicode categories of
// controls, format, surrogate, private-use and unassigned code points and of
// separators, except the space itself.
bool is_unprintable(char32_t c);

// The Unicode White_Space property.
bool is_white_space(char32_t c);

bool is_continuation_byte(char c);

bool is_valid_utf8(std::string_view s);

// Every ill-formed subpart replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// `text` (well-formed UTF-8) without leading and trailing Unicode white space.
std::string_view trim_unicode(std::string_view text);

// Splits at every occurrence of `separator`; always at least one piece.
std::vector<std::string_view> collect_split_pieces(std::string_view text, char separator);

}  // namespace karvelum::text
