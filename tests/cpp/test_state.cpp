#include <atomic>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "check.hpp"
#include "errors.hpp"
#include "integration.hpp"
#include "integration/corrections.hpp"

using namespace karvelum;
using namespace karvelum::integration;

namespace {

std::shared_ptr<IntegratorCore> make_core() {
    auto core = std::make_shared<IntegratorCore>();
    core->geometry.pixel1 = 1e-4;
    core->geometry.pixel2 = 1.2e-4;
    core->geometry.distance = 0.1;
    core->geometry.poni1 = 2e-3;
    core->geometry.poni2 = 1e-3;
    core->geometry.rot1 = 0.01;
    core->geometry.wavelength = 1e-10;
    return core;
}

void fill_cache(IntegratorCore& core, std::uint64_t dim1, std::uint64_t dim2) {
    auto table = std::make_shared<lut::CsrLut>();
    table->dim1 = dim1;
    table->dim2 = dim2;
    core.lut1d.store(Lut1dCacheKey{MethodKind::Counting, std::nullopt, 10, 0, core.unit}, table);
}

}  // namespace

TEST(same_shape_keeps_snapshot_and_tables_other_shape_rebuilds) {
    auto core = make_core();
    GeometryRef first = ensure_geometry(*core, 20, 30);
    CHECK(first->pixels() == 600 && first->two_theta->size() == 600);
    fill_cache(*core, 20, 30);
    CHECK(ensure_geometry(*core, 20, 30) == first);
    CHECK(!core->lut1d.empty());

    CorrectionArrays held = corrections(*core);
    GeometryRef second = ensure_geometry(*core, 10, 5);
    CHECK(second != first && second->pixels() == 50 && second->correction_factors->size() == 50);
    CHECK(core->lut1d.empty());
    // What a caller obtained before stays valid with its old length.
    CHECK(held->size() == 600 && first->chi->size() == 600);
}

TEST(corrections_are_solid_angle_times_polarization) {
    auto core = make_core();
    GeometryRef plain = ensure_geometry(*core, 8, 9);
    for (std::size_t k = 0; k < plain->pixels(); ++k) {
        CHECK((*plain->correction_factors)[k] == (*plain->solid_angle)[k]);
        CHECK((*plain->polarization)[k] == 1.0);
    }
    core->polarization_factor = 0.95;
    update_corrections(*core);
    GeometryRef polarized = core->geometry_state.snapshot();
    CHECK(polarized->two_theta == plain->two_theta);  // angles are reused, not recomputed
    for (std::size_t k = 0; k < polarized->pixels(); ++k) {
        double c = std::cos((*plain->two_theta)[k]);
        double p = ((1 + c * c) - (1 - c * c) * (std::cos(2 * (*plain->chi)[k]) * 0.95)) * 0.5;
        CHECK_CLOSE((*polarized->correction_factors)[k], p * (*plain->solid_angle)[k], 1e-15);
    }
}

TEST(polarization_before_first_image_applies_at_first_build) {
    auto core = make_core();
    core->polarization_factor = 0.5;
    update_corrections(*core);
    CHECK(core->geometry_state.snapshot()->pixels() == 0);
    GeometryRef snap = ensure_geometry(*core, 4, 4);
    CHECK((*snap->polarization)[5] != 1.0);
}

TEST(q_unit_without_wavelength_fails_and_leaves_state_usable) {
    auto core = make_core();
    core->geometry.wavelength = 0.0;
    core->unit = RadialUnit::QInvAngstrom;
    CHECK_THROWS(ValueError, "Wavelength must be positive for q conversion", ensure_geometry(*core, 4, 5));
    CHECK(core->geometry_state.snapshot()->pixels() == 0);
    core->unit = RadialUnit::TwoThetaDeg;
    GeometryRef snap = ensure_geometry(*core, 4, 5);
    CHECK_CLOSE((*snap->radial_values)[7], (*snap->two_theta)[7] * 57.29577951308232, 1e-15);
    // Converting the stored angles to a q unit fails the same way and keeps them.
    CHECK_THROWS(ValueError, "Wavelength must be positive for q conversion",
                 update_radial_values(*core, RadialUnit::QInvNanometer));
    CHECK(core->geometry_state.snapshot() == snap);
}

TEST(concurrent_first_calls_build_one_snapshot) {
    auto core = make_core();
    std::vector<GeometryRef> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&, t] { seen[t] = ensure_geometry(*core, 64, 48); });
    }
    for (auto& th : threads) th.join();
    for (const GeometryRef& s : seen) CHECK(s == seen[0]);
}

TEST(oversized_shapes_are_refused_before_allocating) {
    auto core = make_core();
    bool thrown = false;
    try {
        ensure_geometry(*core, std::uint64_t(1) << 40, std::uint64_t(1) << 40);
    } catch (const std::bad_alloc&) {
        thrown = true;
    }
    CHECK(thrown);
    CHECK(core->geometry_state.snapshot()->pixels() == 0);
}

TEST(a_core_is_in_use_while_any_hold_of_it_lives) {
    auto core = make_core();
    std::weak_ptr<IntegratorCore> alive = core;
    CHECK(!in_use(*core));
    require_not_in_use(*core);
    CoreHold first(core), none(nullptr);
    CHECK(in_use(*core));
    CHECK_THROWS(ValueError, "Integrator is in use by a batch operation", require_not_in_use(*core));
    CoreHold copy = first;
    CoreHold moved = std::move(first);
    first.reset();  // moved from: holds nothing
    none.reset();
    copy.reset();
    CHECK(in_use(*core) && moved.get() == core.get());
    IntegratorCore& kept = *core;
    core.reset();  // the owner goes: the hold keeps the core
    CHECK(!alive.expired() && in_use(kept));
    copy = moved;
    moved = CoreHold();
    CHECK(in_use(kept));
    copy.reset();
    CHECK(alive.expired());
}

// The check that lets a setting change comes after everything the holders
// read: no reader sees the new value, and a thread sanitizer sees the order.
// The holders read only after this thread has dropped its own hold, so that
// nothing but the check orders their reads before the change.
TEST(a_setting_changed_once_the_last_hold_goes_comes_after_every_read_of_the_holders) {
    auto core = make_core();
    core->method = IntegrationMethod{MethodKind::PixelSplit, 0};
    std::vector<int> saw_other(4, 0);
    std::atomic<bool> go{false};
    std::vector<std::thread> holders;
    {
        CoreHold hold(core);
        for (std::size_t t = 0; t < saw_other.size(); ++t) {
            holders.emplace_back([&saw_other, &go, t, hold]() mutable {
                while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
                saw_other[t] = hold->method.kind != MethodKind::PixelSplit;
                hold.reset();
            });
        }
    }
    go.store(true, std::memory_order_release);
    while (in_use(*core)) std::this_thread::yield();
    core->method = IntegrationMethod{MethodKind::Histogram, 0};
    for (auto& th : holders) th.join();
    for (int n : saw_other) CHECK(n == 0);
}
