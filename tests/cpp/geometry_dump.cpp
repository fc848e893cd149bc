// Writes the per-pixel geometry of one detector to standard output as raw
// little-endian doubles, for comparison with an independent computation:
// two_theta, radial values, chi, solid angle, polarization, corrections,
// each dim1 * dim2 values.
//
// usage: karvelum_geometry_dump dim1 dim2 pixel1 pixel2 distance poni1 poni2
//                               rot1 rot2 rot3 wavelength polarization|none unit
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dump_args.hpp"
#include "integration.hpp"
#include "integration/corrections.hpp"

int main(int argc, char** argv) {
    if (argc != 14) {
        std::fprintf(stderr, "usage: %s dim1 dim2 pixel1 pixel2 distance poni1 poni2 rot1 rot2 rot3 "
                             "wavelength polarization|none unit\n", argv[0]);
        return 2;
    }
    try {
        karvelum::integration::IntegratorCore core;
        auto num = [&](int i) { return std::strtod(argv[i], nullptr); };
        std::uint64_t dim1 = std::strtoull(argv[1], nullptr, 10), dim2 = std::strtoull(argv[2], nullptr, 10);
        read_geometry_args(argv, core.geometry);
        if (std::string(argv[12]) != "none") core.polarization_factor = num(12);
        core.unit = karvelum::parse_radial_unit(argv[13]);
        karvelum::GeometryRef snap = karvelum::integration::ensure_geometry(core, dim1, dim2);
        for (const auto& array : {snap->two_theta, snap->radial_values, snap->chi, snap->solid_angle,
                                  snap->polarization, snap->correction_factors}) {
            std::fwrite(array->data(), sizeof(double), array->size(), stdout);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
