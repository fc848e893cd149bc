// The detector geometry that the dump tools take on their command line:
// pixel1 pixel2 distance poni1 poni2 rot1 rot2 rot3 wavelength, from argv[3].
#pragma once

#include <cstdlib>

#include "poni.hpp"

inline void read_geometry_args(char** argv, karvelum::PoniGeometry& g) {
    double* const fields[] = {&g.pixel1, &g.pixel2, &g.distance, &g.poni1, &g.poni2,
                              &g.rot1,   &g.rot2,   &g.rot3,     &g.wavelength};
    int i = 3;
    for (double* field : fields) *field = std::strtod(argv[i++], nullptr);
}
