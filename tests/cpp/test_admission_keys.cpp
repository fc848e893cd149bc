// The builds the working sets of integrate calls name: calls that build the
// same geometry and table share it, and calls that build different ones are
// admitted for each.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "check.hpp"
#include "fixed_figures.hpp"
#include "integration.hpp"
#include "integration/working_set.hpp"
#include "memory.hpp"

using namespace karvelum;

namespace {

constexpr std::uint64_t kKiB = 1024;

void set_up_counting(integration::IntegratorCore& core) {
    core.geometry.pixel1 = core.geometry.pixel2 = 1e-4;
    core.geometry.poni1 = core.geometry.poni2 = 0.05;
    core.geometry.distance = 0.1;
    core.geometry.wavelength = 1e-10;
    core.method = {integration::MethodKind::Counting, 0};
}

bool admitted(const WorkingSet& set, std::vector<MemoryClaim>& held) {
    try {
        held.push_back(claim_available_memory(set));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Two calls of one integrator whose working sets are `a` and `b`: with 1 KiB
// less than both whole sets available (beyond the reserve), the first is
// admitted and the second refused, as both builds are made; with both whole
// sets available, both are admitted.
void refused_unless_both_builds_fit(const WorkingSet& a, const WorkingSet& b) {
    CHECK(a.shared >= 4 * kKiB && b.shared >= 4 * kKiB);
    CHECK(a.total() + b.total() >= kSmallClaims);  // large enough to be weighed against the figures
    const std::uint64_t both = a.total() + b.total() + kMemoryReserve;
    {
        const FixedAvailableMemory figures((both - 1) / kKiB * kKiB);
        std::vector<MemoryClaim> held;
        CHECK(admitted(a, held));
        CHECK(!admitted(b, held));
    }
    {
        const FixedAvailableMemory figures((both + kKiB - 1) / kKiB * kKiB);
        std::vector<MemoryClaim> held;
        CHECK(admitted(a, held));
        CHECK(admitted(b, held));
    }
}

}  // namespace

TEST(working_sets_name_each_shape_and_binning_of_an_integrator_as_a_build_of_its_own) {
    // 4 Mi pixels as 2048 x 2048 and as 1024 x 4096: the same number of
    // pixels, and so of bytes, in two geometries and two tables.
    struct Case {
        const char* what;
        std::function<WorkingSet(const integration::IntegratorCore&)> first, second;
    };
    const integration::Options1d points100{100, false, false}, points200{200, false, false};
    const integration::Options2d cells100x36{100, 36, false, std::nullopt}, cells100x72{100, 72, false, std::nullopt},
        cells200x36{200, 36, false, std::nullopt};
    const std::vector<Case> cases{
        {"1D, two shapes",
         [&](const auto& core) { return integration::working_set_1d(core, points100, 2048, 2048); },
         [&](const auto& core) { return integration::working_set_1d(core, points100, 1024, 4096); }},
        {"2D, two shapes",
         [&](const auto& core) { return integration::working_set_2d(core, cells100x36, 2048, 2048); },
         [&](const auto& core) { return integration::working_set_2d(core, cells100x36, 1024, 4096); }},
        {"1D, two numbers of points",
         [&](const auto& core) { return integration::working_set_1d(core, points100, 2048, 2048); },
         [&](const auto& core) { return integration::working_set_1d(core, points200, 2048, 2048); }},
        {"2D, two numbers of radial bins",
         [&](const auto& core) { return integration::working_set_2d(core, cells100x36, 2048, 2048); },
         [&](const auto& core) { return integration::working_set_2d(core, cells200x36, 2048, 2048); }},
        {"2D, two numbers of azimuthal bins",
         [&](const auto& core) { return integration::working_set_2d(core, cells100x36, 2048, 2048); },
         [&](const auto& core) { return integration::working_set_2d(core, cells100x72, 2048, 2048); }},
    };
    for (const Case& c : cases) {
        std::printf("  %s\n", c.what);
        integration::IntegratorCore core;
        set_up_counting(core);
        const WorkingSet a = c.first(core), b = c.second(core);
        CHECK(a.build.integrator == &core && b.build.integrator == &core);
        CHECK(a.build.table != 0 && b.build.table != 0);
        CHECK(!(a.build == b.build));
        // The same call again names the same build.
        CHECK(c.first(core).build == a.build && c.second(core).build == b.build);
        refused_unless_both_builds_fit(a, b);
    }
}
