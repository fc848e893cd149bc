// Prints the working set a first integrate call on one detector admits, for
// bench/memory.py to set beside the call's measured peak:
// "shared own image" in bytes, where image is what the road adds to the
// call (the decoded frame of the file road: doubles, or the file's samples
// when the call reads them as stored).
//
// usage: karvelum_working_set_dump dim1 dim2 pixel1 pixel2 distance poni1 poni2 rot1 rot2 rot3
//                                  wavelength unit method n_ss|0 array|file stored-bytes
//                                  1d N errors(0|1) azimuthal_std(0|1) [radial_lo radial_hi]
//                                  | 2d NR NA errors(0|1) [azimuthal_lo azimuthal_hi]
// The pool has the default size (RAYON_NUM_THREADS decides).
// With KARVELUM_ESTIMATE_REPEAT=N set, the estimate is made N more times
// once the pool is up, and their mean time in seconds follows as a fourth
// number.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "dump_args.hpp"
#include "integration.hpp"
#include "integration/working_set.hpp"

int main(int argc, char** argv) {
    using namespace karvelum;
    if (argc < 21) {
        std::fprintf(stderr, "usage: see the top of working_set_dump.cpp\n");
        return 2;
    }
    try {
        integration::IntegratorCore core;
        auto num = [&](int i) { return std::strtod(argv[i], nullptr); };
        auto count = [&](int i) { return std::strtoull(argv[i], nullptr, 10); };
        const std::uint64_t dim1 = count(1), dim2 = count(2);
        read_geometry_args(argv, core.geometry);
        core.unit = parse_radial_unit(argv[12]);
        const std::uint64_t n_ss = count(14);
        core.method = integration::parse_integration_method(std::string(argv[13]),
                                                            n_ss ? std::optional<std::uint64_t>(n_ss) : std::nullopt);
        const bool file = std::string(argv[15]) == "file";
        const std::uint64_t stored = count(16);
        const std::uint64_t pixels = dim1 * dim2;
        WorkingSet set;
        std::uint64_t image = 0;
        const char* repeat_text = std::getenv("KARVELUM_ESTIMATE_REPEAT");
        const std::uint64_t repeat = repeat_text != nullptr ? std::strtoull(repeat_text, nullptr, 10) : 0;
        double seconds = 0.0;
        auto timed = [&](auto estimate) {
            set = estimate();
            const auto start = std::chrono::steady_clock::now();
            for (std::uint64_t k = 0; k < repeat; ++k) set = estimate();
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                      static_cast<double>(std::max<std::uint64_t>(repeat, 1));
        };
        if (std::string(argv[17]) == "1d") {
            const integration::Options1d options{count(18), count(19) != 0, count(20) != 0};
            if (argc >= 23) core.radial_range = std::pair{num(21), num(22)};
            const bool as_stored = file && integration::reads_file_samples(core, options);
            const SampleType type = as_stored ? (stored == 2 ? SampleType::U16 : SampleType::F32) : SampleType::F64;
            timed([&] { return integration::working_set_1d(core, options, dim1, dim2, type); });
            if (file) image = pixels * (as_stored ? stored : sizeof(double));
        } else {
            integration::Options2d options{count(18), count(19), count(20) != 0, std::nullopt};
            if (argc >= 23) options.azimuthal_range = std::pair{num(21), num(22)};
            timed([&] { return integration::working_set_2d(core, options, dim1, dim2, SampleType::F64); });
            if (file) image = pixels * sizeof(double);
        }
        std::printf("%llu %llu %llu", static_cast<unsigned long long>(set.shared),
                    static_cast<unsigned long long>(set.own), static_cast<unsigned long long>(image));
        if (repeat > 0) std::printf(" %.9f", seconds);
        std::printf("\n");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
