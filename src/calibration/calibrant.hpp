// Calibrants: a reference powder's name and d-spacings, read from a `.D`
// file or given as a list, and the scattering angles of its rings.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"

namespace karvelum::calibration {

// A calibrant file that cannot be read or holds no usable value; the binding
// layer raises it as OSError with this text.
class CalibrantFileError : public MessageError {
public:
    using MessageError::MessageError;
};

struct Calibrant {
    std::string name;
    std::vector<double> d_spacings;  // ångström, largest first: ring 0 is innermost
};

// Reads a `.D` file: one d-spacing per line as the first token, "#" starts a
// comment, values that are not > 0 are skipped. Throws CalibrantFileError.
Calibrant calibrant_from_file(const std::string& path);

// Parses the text of a `.D` file (already checked to be UTF-8); the values
// kept, not yet sorted. Throws CalibrantFileError for a line that does not
// parse or when nothing is kept.
std::vector<double> parse_d_spacing_text(std::string_view text);

// Keeps every value, sorted largest first (stable; NaN goes last).
Calibrant calibrant_from_d_spacings(std::string name, std::vector<double> d_spacings);

// Ring angle 2·asin(λ·1e10 / 2d) in radians, or none when the ring cannot be
// reached (|x| > 1, or x not a number). `wavelength` in metres, `d` in Å.
std::optional<double> ring_two_theta(double wavelength, double d);

// The name a calibrant file gives: the stem of the path's last plain
// component, "calibrant" when there is none.
std::string calibrant_name_from_path(std::string_view path);

// `text` as a double-quoted literal: backslash, quote, tab, CR, LF and NUL as
// backslash escapes, other non-printable characters as \u{hex}.
std::string quoted(std::string_view text);

// Sorts largest first, keeping the order of equal values; NaN after all
// numbers.
void sort_descending(std::vector<double>& values);

}  // namespace karvelum::calibration
