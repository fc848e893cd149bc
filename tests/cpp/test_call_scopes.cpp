// Work that begins outside any integrate call -- an item of an array batch or
// of an array stream, a method of automatic calibration -- runs for no call
// whichever thread takes it: a thread that works for another call (one that
// waits in a parallel loop can take such work) must not lend it that call,
// or the work's checks would leave that call's claim out.
//
// Each case runs the work on a thread that works for a call whose claim is
// held and not taken, in a pool of one thread so that the work runs on it,
// against a fixed available figure: the work's first large check fits only
// when that claim is left out.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <numbers>
#include <optional>
#include <variant>
#include <vector>

#include "batch/batch.hpp"
#include "batch/stream.hpp"
#include "calibration/auto.hpp"
#include "check.hpp"
#include "fixed_figures.hpp"
#include "integration.hpp"
#include "memory.hpp"
#include "pool.hpp"

using namespace karvelum;

namespace {

constexpr std::uint64_t kMiB = std::uint64_t(1) << 20;
// The other call's claim, and the room beyond the reserve: 100 MiB beside it.
constexpr std::uint64_t kHeld = 256 * kMiB;
constexpr std::uint64_t kRoom = kHeld + 100 * kMiB;

// How `work` goes on a thread that works for the call of a held claim of
// kHeld bytes (with it: `inside_other_call`), or for no call; and, for
// reference, with no claim held at all.
template <class Work>
void run_beside_other_call(bool hold_other_call, bool inside_other_call, Work&& work) {
    const FixedAvailableMemory figures(kRoom + kMemoryReserve);
    MemoryClaim other;
    if (hold_other_call) other = claim_available_memory({0, kHeld, {}});
    const CallScope scope(inside_other_call ? &other : nullptr);
    CHECK(CallScope::current() == (inside_other_call ? other.id() : 0));
    pool::Arena one(1);
    pool::run_in(one, std::forward<Work>(work));
}

// A histogram core over a 4 x 4 image. A call of 2^21 points checks its
// per-bin arrays first, 128 MiB (more than the room beside the held claim,
// less than all of it), then admits its working set of about 84 MiB (which
// fits beside the held claim).
constexpr std::uint64_t kPoints = std::uint64_t(1) << 21;

void set_up_histogram(integration::IntegratorCore& core) {
    core.geometry.pixel1 = core.geometry.pixel2 = 1e-4;
    core.geometry.poni1 = core.geometry.poni2 = 2e-4;
    core.geometry.distance = 0.1;
    core.geometry.wavelength = 1e-10;
    core.method = {integration::MethodKind::Histogram, 0};
}

struct Situation {
    const char* what;
    bool hold_other_call, inside_other_call, refused;
};
// With the other call's claim held, the work is refused whether its thread
// works for that call or for none; with no claim held it is admitted.
constexpr Situation kSituations[] = {
    {"thread inside the other call", true, true, true},
    {"thread outside any call", true, false, true},
    {"no other claim", false, false, false},
};

// Whether an item's outcome is the refusal of its checks.
bool refused(const batch::Outcome& out) {
    CHECK(out.output.has_value() != !out.error.empty());
    if (out.output) {
        const auto& one = std::get<integration::Integration1dOutput>(*out.output);
        CHECK(one.intensities.size() == kPoints);
    }
    return !out.output && out.error == "memory allocation failed";
}

}  // namespace

TEST(work_begun_outside_any_call_counts_the_claim_of_the_call_whose_thread_runs_it) {
    integration::IntegratorCore core;
    set_up_histogram(core);
    std::vector<double> samples(16, 1.0);
    const integration::Options1d options{kPoints, false, false};
    for (const Situation& s : kSituations) {
        std::printf("  %s\n", s.what);
        // An item of an array batch.
        std::optional<bool> batch_refused;
        run_beside_other_call(s.hold_other_call, s.inside_other_call, [&] {
            const integration::ImageView image{samples, 4, 4};
            const std::vector<batch::BatchItemRecord> records = batch::run_array_batch(core, {&image, 1}, options);
            CHECK(records.size() == 1);
            if (records.size() == 1) batch_refused = refused(records[0].outcome);
        });
        CHECK(batch_refused == s.refused);

        // An item of an array stream, on the thread that feeds them.
        std::optional<bool> stream_refused;
        run_beside_other_call(s.hold_other_call, s.inside_other_call, [&] {
            auto shared = std::make_shared<integration::IntegratorCore>();
            set_up_histogram(*shared);
            std::vector<ImageFrame> frames(1);
            frames[0].data.assign(samples.begin(), samples.end());
            frames[0].dim1 = frames[0].dim2 = 4;
            auto [sender, receiver] = batch::ResultChannel::open();
            batch::feed_arrays(std::move(frames), integration::CoreHold(shared), options, std::move(sender));
            std::optional<batch::BatchItemResult> result = receiver.receive();
            CHECK(result.has_value() && !receiver.receive().has_value());
            if (result) stream_refused = refused(result->outcome);
        });
        CHECK(stream_refused == s.refused);

        // The methods of automatic calibration: the radial bands of 10^7 bins
        // of 0.1 px (two counts of 8 bytes each, 153 MiB) that the radial
        // and ransac methods check before they count.
        std::optional<bool> calibration_refused;
        run_beside_other_call(s.hold_other_call, s.inside_other_call, [&] {
            std::vector<calibration::Peak> peaks;
            for (const double radius : {120.0, 180.0, 260.0}) {
                for (int k = 0; k < 48; ++k) {
                    const double angle = 2 * std::numbers::pi * k / 48;
                    peaks.push_back({400.0 + radius * std::cos(angle), 500.0 + radius * std::sin(angle)});
                }
            }
            calibration::AutoCalibrateOptions auto_options;
            auto_options.method = calibration::AutoCalibrateMethod::Auto;
            auto_options.radial.bin_width_px = 0.1;
            auto_options.radial.max_radius_px = 1e6;
            auto_options.grid_distance_steps = auto_options.grid_rot_steps = auto_options.grid_poni_steps = 1;
            const calibration::Calibrant calibrant{"rings", {4.0, 3.0, 2.5, 2.0, 1.6}};
            try {
                calibration::run_auto_calibration(peaks, calibrant, 1e-10, 1e-4, 1e-4, auto_options);
                calibration_refused = false;
            } catch (const std::bad_alloc&) {
                calibration_refused = true;
            } catch (const ValueError&) {
                calibration_refused = false;  // no geometry from these rings: checked and run all the same
            }
        });
        CHECK(calibration_refused == s.refused);
    }
}
