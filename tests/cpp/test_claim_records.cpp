// What a call records of its claim as it writes, what another caller of the
// same build counts of it, and the checks that keep a call whose writes
// outgrow its claim from taking more than is really left. Every case reads
// a fixed figure of the memory available (lowered by hand where the memory
// a build writes, or something else, would lower it), in a pool of a fixed
// size.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <vector>

#include "check.hpp"
#include "fixed_figures.hpp"
#include "integration.hpp"
#include "integration/cache.hpp"
#include "integration/corrections.hpp"
#include "lut/csr_builder.hpp"
#include "memory.hpp"
#include "pool.hpp"

using namespace karvelum;

namespace {

constexpr std::uint64_t kMiB = std::uint64_t(1) << 20;
constexpr std::uint64_t kGiB = std::uint64_t(1) << 30;

template <class Check>
bool passes(Check&& check) {
    try {
        check();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool fits(std::uint64_t bytes) {
    return passes([&] { require_available_memory(bytes); });
}

bool grows(std::uint64_t bytes) {
    return passes([&] { require_memory_to_grow(bytes); });
}

bool fits_outside_any_call(std::uint64_t bytes) {
    const CallScope none(std::uint64_t(0));
    return fits(bytes);
}

// What the claims held still expect, as a check outside any call sees it:
// `room` (the figure less the reserve) less the largest request that fits.
std::uint64_t untaken_outside_any_call(std::uint64_t room) {
    if (!fits_outside_any_call(0)) return room + 1;
    std::uint64_t fit = 0, refused = room + 1;
    while (refused - fit > 1) {
        const std::uint64_t mid = fit + (refused - fit) / 2;
        (fits_outside_any_call(mid) ? fit : refused) = mid;
    }
    return room - fit;
}

}  // namespace

TEST(a_request_is_credited_only_with_what_its_call_has_not_yet_taken) {
    // Two calls of 512 MiB each, admitted in 1 GiB.
    const FixedAvailableMemory figures(kGiB + kMemoryReserve);
    MemoryClaim first = claim_available_memory({0, 512 * kMiB, {}});
    MemoryClaim second = claim_available_memory({0, 512 * kMiB, {}});
    const CallScope scope(&first);
    // Within its untaken claim a request fits beside the second call's; a
    // byte more must fit whole beside it.
    CHECK(fits(512 * kMiB) && !fits(512 * kMiB + 1));
    // A growing build's forecast may reach beyond it by what the second
    // call leaves.
    CHECK(grows(kGiB) && !grows(kGiB + 1));
    // Half of it written: half the credit.
    record_taken(ClaimPart::Own, 256 * kMiB);
    figures.set(768 * kMiB + kMemoryReserve);
    CHECK(fits(256 * kMiB) && !fits(256 * kMiB + 1));
    CHECK(grows(512 * kMiB) && !grows(512 * kMiB + 1));
    // All of it written: no credit at all, however much it asks for (the
    // whole claim was credited before, and 512 MiB more fitted beside the
    // second call's untaken claim).
    record_taken(ClaimPart::Own, 256 * kMiB);
    figures.set(512 * kMiB + kMemoryReserve);
    CHECK(fits(0) && !fits(1) && !fits(512 * kMiB));
    CHECK(grows(0) && !grows(1) && !grows(512 * kMiB));
    // The second call, untouched, still has its whole claim to take.
    {
        const CallScope other(&second);
        CHECK(fits(512 * kMiB) && !fits(512 * kMiB + 1));
    }
}

namespace {

// A weighted table of `pixels` pixels in one row (one chunk), each pixel in
// two of 64 bins: 32 bytes of entries a pixel, 28 more when assembled.
constexpr std::uint64_t kPixels = std::uint64_t(1) << 21;
constexpr std::uint64_t kBins = 64;

lut::TableLayout one_row_layout(std::uint64_t pixels = kPixels) {
    lut::TableLayout layout;
    layout.dim1 = 1;
    layout.dim2 = pixels;
    layout.n_bins = kBins;
    layout.step = 1.0;
    layout.row_cost = 1;
    layout.weighted = true;
    return layout;
}

struct Outgrown {
    bool refused = false;
    std::uint64_t pushed = 0;  // entries the fill had written when it ended
};

// Builds the table inside a call whose claim is all taken already (as when
// its estimate fell short), against a figure of `room` beside the reserve
// that the fill lowers as it writes: by what it wrote times `pressure` (what
// else the machine takes meanwhile, and the build itself), then by `after`
// once the entries are written.
Outgrown build_past_the_claim(std::uint64_t room, std::uint64_t pressure, std::uint64_t after) {
    const FixedAvailableMemory figures(room + kMemoryReserve);
    auto lower = [&](std::uint64_t bytes) {
        figures.set((room - std::min(room, bytes)) / 1024 * 1024 + kMemoryReserve);
    };
    MemoryClaim claim = claim_available_memory({4 * kMiB, 0, {}});
    const CallScope scope(&claim);
    record_taken(ClaimPart::Shared, 4 * kMiB);
    Outgrown out;
    pool::Arena one(1);
    try {
        pool::run_in(one, [&] {
            lut::build_table(one_row_layout(), [&](std::uint64_t, std::uint64_t, lut::EntryList& list) {
                for (std::uint64_t p = 0; p < kPixels; ++p) {
                    const std::uint64_t bin = p * kBins / kPixels;
                    list.push(bin, p, 1.0);
                    list.push((bin + 1) % kBins, p, 1.0);
                    out.pushed += 2;
                    if (out.pushed % (std::uint64_t(1) << 15) == 0) lower(out.pushed * sizeof(lut::Entry) * pressure);
                }
                lower(out.pushed * sizeof(lut::Entry) * pressure + after);
            });
        });
    } catch (const std::bad_alloc&) {
        out.refused = true;
    }
    return out;
}

}  // namespace

TEST(a_build_past_its_claim_goes_on_only_while_what_it_writes_fits) {
    // The entries take 64 MiB, the assembly 56 MiB more; the reserved
    // entries' forecast (132 MiB) fits in 140 MiB.
    const std::uint64_t entries = 2 * kPixels, room = 140 * kMiB;
    // Written alone, all of it fits.
    Outgrown alone = build_past_the_claim(room, 1, 0);
    CHECK(!alone.refused && alone.pushed == entries);
    // Something else takes twice what the build writes: it is refused while
    // it writes its entries, once the next stretch no longer fits.
    Outgrown pressed = build_past_the_claim(room, 3, 0);
    CHECK(pressed.refused && pressed.pushed < entries);
    // Something takes 40 MiB once the entries are written: the assembly no
    // longer fits, and is refused before it allocates.
    Outgrown late = build_past_the_claim(room, 1, 40 * kMiB);
    CHECK(late.refused && late.pushed == entries);
}

TEST(a_failed_build_takes_its_records_back_from_every_claim_of_it) {
    // A builder and a waiter of one 2 GiB build, 256 MiB of their own each.
    const std::uint64_t available = 3 * kGiB, room = available - kMemoryReserve;
    const FixedAvailableMemory figures(available);
    int core = 0;
    const WorkingSet set{2 * kGiB, 256 * kMiB, {&core, 64, 64, 1}};
    MemoryClaim builder = claim_available_memory(set);
    MemoryClaim waiter = claim_available_memory(set);
    CHECK(untaken_outside_any_call(room) == 2 * kGiB + 512 * kMiB);
    {
        const CallScope scope(&builder);
        const BuildRecords records(BuildPart::Table);
        record_taken(ClaimPart::Shared, 1536 * kMiB);
        figures.set(available - 1536 * kMiB);
        CHECK(untaken_outside_any_call(room - 1536 * kMiB) == 1024 * kMiB);
        // Refused or interrupted here: never kept.
    }
    // Its memory is freed and its call ends; the waiter will build anew and
    // expects the whole build again.
    figures.set(available);
    builder.release();
    CHECK(untaken_outside_any_call(room) == 2 * kGiB + 256 * kMiB);
    {
        const CallScope scope(&waiter);
        // Inside its call, its own claim does not count against it.
        CHECK(fits(room) && !fits(room + 1));
        BuildRecords records(BuildPart::Table);
        record_taken(ClaimPart::Shared, 2 * kGiB);
        records.kept();
    }
    // A kept build stays taken.
    figures.set(available - 2 * kGiB);
    CHECK(untaken_outside_any_call(room - 2 * kGiB) == 256 * kMiB);
}

TEST(a_table_refused_midway_leaves_its_waiters_expecting_all_of_it) {
    // A caller builds a table within a claim of 3 MiB beside a waiter of the
    // same build with 64 MiB of its own; then the room left shrinks to half
    // a MiB beside the waiter's: the build writes its claim, then its next
    // stretch is refused.
    auto core = std::make_shared<integration::IntegratorCore>();
    PoniGeometry& g = core->geometry;
    g.pixel1 = g.pixel2 = 1e-4;
    g.distance = 0.1;
    g.poni1 = g.poni2 = 2e-2;
    g.wavelength = 1e-10;
    core->method = {integration::MethodKind::PixelSplit, 0};
    const BuildKey build{core.get(), 512, 512, 1};
    const std::uint64_t claimed = 3 * kMiB, own = 64 * kMiB, room = own + kMiB / 2;
    pool::Arena one(1);
    auto refused_midway = [&](auto&& work) {
        const FixedAvailableMemory figures(claimed + own + kMemoryReserve);
        MemoryClaim waiter = claim_available_memory({claimed, own, build});
        MemoryClaim builder = claim_available_memory({claimed, 0, build});
        figures.set(room + kMemoryReserve);
        const CallScope scope(&builder);
        const bool refused = !passes([&] { pool::run_in(one, work); });
        // The waiter expects the whole build again.
        figures.set(claimed + own + kMemoryReserve);
        CHECK(untaken_outside_any_call(claimed + own) == claimed + own);
        return refused;
    };
    GeometryRef snap = pool::run_in(one, [&] { return integration::ensure_geometry(*core, 512, 512); });
    CHECK(refused_midway([&] {
        integration::get_or_build_lut_1d(
            *core, *snap, {integration::MethodKind::PixelSplit, std::nullopt, 100, 0, core->unit});
    }));
}

TEST(a_claim_admitted_while_its_build_is_under_way_starts_with_what_the_build_has_taken) {
    const std::uint64_t available = 3 * kGiB;
    const FixedAvailableMemory figures(available);
    int core = 0;
    const BuildKey build{&core, 64, 64, 1};
    // A build of 512 MiB of geometry and a table of 1.5 GiB, 256 MiB of
    // their own for each caller.
    MemoryClaim builder = claim_available_memory({2 * kGiB, 256 * kMiB, build});
    const CallScope scope(&builder);
    // A table of the build was built and kept before (and dropped since, as
    // when a setting changes): no working set worked out now counts it.
    {
        BuildRecords earlier(BuildPart::Table);
        record_taken(ClaimPart::Shared, 100 * kMiB);
        earlier.kept();
    }
    // A caller works out its working set while the geometry is built: all
    // of the build is to come, and it expects 256 MiB more of the table.
    WorkingSet while_geometry{2304 * kMiB, 256 * kMiB, build};
    {
        BuildRecords geometry(BuildPart::Geometry);
        record_taken(ClaimPart::Shared, 256 * kMiB);
        while_geometry.geometry_kept_before = builds_kept(build, BuildPart::Geometry);
        while_geometry.table_kept_before = builds_kept(build, BuildPart::Table);
        record_taken(ClaimPart::Shared, 256 * kMiB);
        geometry.kept();
    }
    // Another once the geometry is kept: the table alone is to come.
    const WorkingSet after_geometry{1792 * kMiB, 256 * kMiB, build, kNotCounted,
                                    builds_kept(build, BuildPart::Table)};
    BuildRecords table(BuildPart::Table);
    record_taken(ClaimPart::Shared, kGiB);
    figures.set(available - 1536 * kMiB);
    const std::uint64_t room = available - 1536 * kMiB - kMemoryReserve;
    // Admitted now, each counts 768 MiB of the build still to come (the
    // builder 412): the larger, once, beside both own parts.
    for (WorkingSet set : {while_geometry, after_geometry}) {
        set.own = room - 768 * kMiB - 256 * kMiB;
        MemoryClaim late = claim_available_memory(set);
        CHECK(fits_outside_any_call(0) && !fits_outside_any_call(1));
        late.release();
        ++set.own;
        CHECK(!passes([&] { claim_available_memory(set); }));
    }
    // What the builder writes from now on is taken for the others as for it.
    MemoryClaim waiter = claim_available_memory(after_geometry);
    CHECK(untaken_outside_any_call(room) == 768 * kMiB + 512 * kMiB);
    record_taken(ClaimPart::Shared, 256 * kMiB);
    figures.set(available - 1792 * kMiB);
    CHECK(untaken_outside_any_call(room - 256 * kMiB) == 512 * kMiB + 512 * kMiB);
}

TEST(a_geometry_is_taken_for_the_claims_of_every_table_of_its_shape_that_count_it) {
    const std::uint64_t available = 4 * kGiB + kMemoryReserve, room = 4 * kGiB;
    const FixedAvailableMemory figures(available);
    int core = 0;
    // Two first calls on one shape, each for a table of its own, both count
    // its 512 MiB geometry; a third came once the geometry was there.
    MemoryClaim builder = claim_available_memory({1536 * kMiB, 0, {&core, 64, 64, 1}});
    MemoryClaim other = claim_available_memory({1536 * kMiB, 0, {&core, 64, 64, 2}});
    MemoryClaim later = claim_available_memory({kGiB, 0, {&core, 64, 64, 3}, kNotCounted, 0});
    CHECK(untaken_outside_any_call(room) == 4 * kGiB);
    const CallScope scope(&builder);
    {
        BuildRecords geometry(BuildPart::Geometry);
        record_taken(ClaimPart::Shared, 512 * kMiB);
        geometry.kept();
    }
    figures.set(available - 512 * kMiB);
    CHECK(untaken_outside_any_call(room - 512 * kMiB) == 3 * kGiB);
    // The builder's table is its own.
    {
        BuildRecords table(BuildPart::Table);
        record_taken(ClaimPart::Shared, kGiB);
        table.kept();
    }
    figures.set(available - 1536 * kMiB);
    CHECK(untaken_outside_any_call(room - 1536 * kMiB) == 2 * kGiB);
}

TEST(a_part_whose_claim_was_released_before_it_ended_is_built_and_counted_again) {
    const FixedAvailableMemory figures(4 * kGiB);
    int core = 0;
    const WorkingSet set{kGiB, 0, {&core, 64, 64, 1}};
    {
        MemoryClaim first = claim_available_memory(set);
        const CallScope scope(&first);
        const BuildRecords records(BuildPart::Table);
        record_taken(ClaimPart::Shared, 256 * kMiB);
        first.release();
    }
    // The next build of the table is under way: a claim admitted meanwhile
    // starts with what it has recorded.
    MemoryClaim second = claim_available_memory(set);
    const CallScope scope(&second);
    const BuildRecords records(BuildPart::Table);
    record_taken(ClaimPart::Shared, 512 * kMiB);
    MemoryClaim third = claim_available_memory(set);
    CHECK(untaken_outside_any_call(4 * kGiB - kMemoryReserve) == 512 * kMiB);
}

TEST(what_a_build_writes_is_recorded_whole_and_only_once_written) {
    const std::uint64_t room = kGiB;
    const FixedAvailableMemory figures(room + kMemoryReserve);
    pool::Arena four(4);
    // A counting table of 64 rows of 20,000 pixels, each in one of 50 bins
    // by runs of 7 pixels, built in 16 chunks of 80,000 entries: the lists
    // record every 65,536 entries, and what is left when they end.
    lut::TableLayout layout;
    layout.dim1 = 64;
    layout.dim2 = 20000;
    layout.n_bins = 50;
    layout.step = 1.0;
    layout.row_cost = layout.dim2;
    const std::uint64_t chunks = pool::run_in(four, [&] {
        return lut::row_chunks(layout.dim1, layout.row_cost, layout.n_bins).size();
    });
    CHECK(chunks == 16);
    // The claim is what the build writes and 1 MiB more.
    auto build = [&](const MemoryClaim& claim) {
        const CallScope scope(&claim);
        return pool::run_in(four, [&] {
            return lut::build_table(layout, [&](std::uint64_t first, std::uint64_t end, lut::EntryList& list) {
                for (std::uint64_t p = first * layout.dim2; p < end * layout.dim2; ++p) list.push(p / 7 % 50, p, 1.0);
            });
        });
    };
    MemoryClaim probe = claim_available_memory({room / 2, 0, {}});
    const lut::CsrLut probed = build(probe);
    probe.release();
    const std::uint64_t entries = layout.dim1 * layout.dim2;
    CHECK(probed.entries() == entries && !probed.wide_bins());
    const std::uint64_t written = entries * sizeof(lut::Entry) + chunks * layout.n_bins * sizeof(std::uint64_t) +
                                  entries * (sizeof(std::uint32_t) + sizeof(std::uint16_t)) +
                                  probed.runs.size() * sizeof(lut::PixelRun);
    MemoryClaim claim = claim_available_memory({written + kMiB, 0, {}});
    build(claim);
    CHECK(untaken_outside_any_call(room) == kMiB);
    claim.release();

    // An array written piece by piece: each piece counts once it is written,
    // and then in full.
    const std::uint64_t n = 300000, bytes = 24;
    MemoryClaim array = claim_available_memory({0, n * bytes + kMiB, {}});
    pool::Arena one(1);
    std::uint64_t done = 0, probes = 0;
    bool early = false;
    {
        const CallScope scope(&array);
        pool::run_in(one, [&] {
            pool::parallel_write(n, ClaimPart::Own, bytes, [&](std::size_t k) {
                if (k % 4096 == 0 || k + 1 == n) {
                    ++probes;
                    early = early || n * bytes + kMiB - untaken_outside_any_call(room) > done * bytes;
                }
                ++done;
            });
        });
    }
    CHECK(probes > 70 && !early && done == n);
    CHECK(untaken_outside_any_call(room) == kMiB);
}

TEST(a_growing_build_forecasts_only_the_entries_it_has_not_yet_written) {
    // A 2048 x 2048 pixel-splitting table of 1000 bins, built by 3 threads
    // inside a claim of its own, against a figure of that claim beside the
    // reserve. Its growth checks forecast what the reserved entries may
    // still take: with the entries already written counted again, it needs
    // a claim of 212-216 MiB; as it is, 163-167 MiB.
    auto build_within = [](std::uint64_t claimed) {
        auto core = std::make_shared<integration::IntegratorCore>();
        PoniGeometry& g = core->geometry;
        g.pixel1 = g.pixel2 = 7.5e-5;
        g.distance = 0.15;
        g.poni1 = 0.0792;
        g.poni2 = 0.0731;
        g.rot1 = 0.012;
        g.rot2 = -0.018;
        g.wavelength = 7.293e-11;
        core->method = {integration::MethodKind::PixelSplit, 0};
        pool::Arena three(3);
        return pool::run_in(three, [&] {
            GeometryRef snap = integration::ensure_geometry(*core, 2048, 2048);
            const FixedAvailableMemory figures(claimed + kMemoryReserve);
            MemoryClaim claim = claim_available_memory({claimed, 0, {core.get(), 2048, 2048, 1}});
            const CallScope scope(&claim);
            return passes([&] {
                integration::get_or_build_lut_1d(
                    *core, *snap, {integration::MethodKind::PixelSplit, std::nullopt, 1000, 0, core->unit});
            });
        });
    };
    CHECK(build_within(190 * kMiB));
    CHECK(!build_within(120 * kMiB));

    // One list of 2^20 pixels, 3 entries each, outgrows its reservation of
    // 2 a pixel: when it grows, its forecast (the assembly of 4 Mi reserved
    // entries, 100 MiB beside the 2 Mi written) is more than what is left of
    // a claim of the table's peak (96 MiB: 48 of entries, 45 assembled), by
    // less than that claim's untaken part.
    const std::uint64_t pixels = std::uint64_t(1) << 20, claimed = 96 * kMiB;
    const FixedAvailableMemory figures(claimed + kMemoryReserve);
    MemoryClaim claim = claim_available_memory({claimed, 0, {}});
    const CallScope scope(&claim);
    pool::Arena one(1);
    CHECK(passes([&] {
        pool::run_in(one, [&] {
            const lut::CsrLut table = lut::build_table(
                one_row_layout(pixels), [&](std::uint64_t, std::uint64_t, lut::EntryList& list) {
                    for (std::uint64_t p = 0; p < pixels; ++p) {
                        for (std::uint64_t b = 0; b < 3; ++b) list.push((p * kBins / pixels + b) % kBins, p, 1.0);
                    }
                });
            CHECK(table.entries() == 3 * pixels);
        });
    }));
}
