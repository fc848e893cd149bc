// Detector geometry record and its PONI text source.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace karvelum {

// Detector geometry: lengths in metres, angles in radians; absent values are 0.
struct PoniGeometry {
    std::string spline_file;
    double pixel1 = 0.0;  // pixel size along dim1 (rows)
    double pixel2 = 0.0;  // pixel size along dim2 (columns)
    double distance = 0.0;
    double poni1 = 0.0;
    double poni2 = 0.0;
    double rot1 = 0.0;
    double rot2 = 0.0;
    double rot3 = 0.0;
    double wavelength = 0.0;
};

// Reads a PONI file; throws ValueError("Failed to load PONI: ...").
PoniGeometry parse_poni_file(const std::string& path);

// Parses the bytes of a PONI file. Throws ValueError with the bare reason
// (no prefix) when a value does not parse.
PoniGeometry parse_poni_text(std::string_view bytes);

// Decimal float syntax of the PONI format (optional sign, digits with an
// optional point and exponent, or inf/infinity/nan in any case), rounded to
// the nearest double. Throws ValueError("cannot parse float from empty
// string") or ValueError("invalid float literal").
double parse_float_literal(std::string_view text);

}  // namespace karvelum
