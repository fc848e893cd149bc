// The memory a call may still take, and how much of it a working set may
// claim: the figures, and the admission of calls against them. The machine's
// available memory is not the whole story: a process in a control group with
// a memory limit (a container, a service unit) is killed at that limit
// whatever the machine has left.
#pragma once

#include <cstdint>
#include <string>

#include "errors.hpp"

namespace karvelum {

// The machine's physical memory (all ones when the system does not say).
std::uint64_t physical_memory();

// The least of MemAvailable in /proc/meminfo (free memory plus what the
// kernel can reclaim without swapping; the physical memory where it cannot
// be read) and, for the process's memory control group and every group
// above it that sets a limit, the room left under that limit: cgroup v2
// memory.max less memory.current, v1 memory.limit_in_bytes less
// memory.usage_in_bytes, each usage less the group's file cache that is
// neither shared memory nor dirty nor under writeback (memory.stat), which
// the kernel reclaims, active or not, before it kills anything. The group is
// read through the mount of its hierarchy whose root holds it (the longest
// such root); a group that no mount holds sets no bound here.
//
// The files are read under `root`: "" for the running system, or a
// directory that stands for "/" and holds proc/meminfo, proc/self/cgroup,
// proc/self/mountinfo and the control group mount points named there.
std::uint64_t available_memory(const std::string& root = "");

// Makes every reading of the running system's figures (root "") read them
// under `root` instead, process-wide, until it is called again; "" goes back
// to "/". For tests of admissions made deep inside a call, which must see
// figures they fix rather than what the machine has at that moment.
void read_system_figures_under(const std::string& root);

// Whether a working set of `bytes` may be started with `available` bytes
// available: when it fits in them less kMemoryReserve. The working sets are
// estimated at their peak (calls admitted together count each other's, see
// errors.hpp), so the reserve only has to hold what no estimate counts.
bool within_memory_budget(std::uint64_t bytes, std::uint64_t available);

// What no working set counts: the interpreter's objects for the results,
// allocator slack, thread stacks and the few MiB of small buffers a call
// takes. Fixed: it does not grow with the image.
inline constexpr std::uint64_t kMemoryReserve = std::uint64_t(64) << 20;

// A call's working set: what it builds once for one image shape and table of
// an integrator (the geometry and the table, which callers that miss together
// wait for and share) and what it allocates for itself.
struct BuildKey {
    const void* integrator = nullptr;  // none: the shared part is the call's alone
    std::uint64_t dim1 = 0, dim2 = 0;
    std::uint64_t table = 0;  // which table of the integrator (0: none)
    bool operator==(const BuildKey&) const = default;
};

struct WorkingSet {
    std::uint64_t shared = 0;
    std::uint64_t own = 0;
    BuildKey build;  // what the shared part is built for
    // For each part of the build (BuildPart) that the set counts in
    // `shared`, what the part's kept builds had recorded when the set saw it
    // still to build (builds_kept); kNotCounted for a part it does not
    // count. A claim admitted for the set starts with what was recorded
    // since then of the parts it counts: a part kept meanwhile, or under
    // way, is memory taken.
    std::uint64_t geometry_kept_before = 0, table_kept_before = 0;
    std::uint64_t total() const { return checked_add(shared, own); }
};
inline constexpr std::uint64_t kNotCounted = ~std::uint64_t(0);

// The parts of a build: the geometry of the image's shape, which every table
// of that shape shares, and the table.
enum class BuildPart { Geometry, Table };

// A working set admitted and not yet taken. While it is held, every other
// admission in the process counts it as taken: calls that are admitted
// together (batch workers, array items, threads of the caller) read the same
// available figure before any of them allocates.
class MemoryClaim {
public:
    MemoryClaim() = default;
    MemoryClaim(MemoryClaim&& other) noexcept : id_(other.id_) { other.id_ = 0; }
    MemoryClaim& operator=(MemoryClaim&& other) noexcept;
    MemoryClaim(const MemoryClaim&) = delete;
    MemoryClaim& operator=(const MemoryClaim&) = delete;
    ~MemoryClaim() { release(); }

    bool held() const { return id_ != 0; }
    std::uint64_t id() const { return id_; }
    // What has now been taken (and so shows in the memory used) stops
    // counting: `bytes` of the own part, or the whole shared part.
    void taken_own(std::uint64_t bytes) noexcept;
    void taken_shared() noexcept;
    void release() noexcept;

private:
    friend MemoryClaim claim_available_memory(const WorkingSet&, const std::string&);
    std::uint64_t id_ = 0;
};

// Admits a working set (the shared parts of the claims for one build count
// once, at the largest): refuses (as an allocation failure) unless it fits,
// with every claim held, in the memory available now less the reserve. While
// the claims held come to less than kSmallClaims, only the physical memory
// is checked: reading the system's figures would cost more than the work.
MemoryClaim claim_available_memory(const WorkingSet& set);
// As above, with the figures read under `root` (see available_memory).
MemoryClaim claim_available_memory(const WorkingSet& set, const std::string& root);

inline constexpr std::uint64_t kSmallClaims = std::uint64_t(64) << 20;

// While it lives, the calling thread works for the call admitted with
// `claim` (none: the thread goes on as it was), or for the call whose claim
// is `claim_id` (0: for no call). The pool carries the caller's to the
// threads that run its work, and work started outside any call says so:
// a thread keeps no call of a task it ran before or waits in.
class CallScope {
public:
    explicit CallScope(const MemoryClaim* claim);
    explicit CallScope(std::uint64_t claim_id);
    CallScope(CallScope&& other) noexcept : previous_(other.previous_), active_(other.active_) { other.active_ = false; }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    CallScope& operator=(CallScope&&) = delete;
    ~CallScope();
    // The claim of the call the calling thread works for, or 0.
    static std::uint64_t current() noexcept;

private:
    std::uint64_t previous_ = 0;
    bool active_ = false;
};

// Which part of a call's working set an allocation belongs to.
enum class ClaimPart { Shared, Own };

// Records that the call the calling thread works for (none: nothing to
// record) has allocated and written `bytes` of its working set's `part`:
// they show in the memory used now, so its claim stops counting them as
// still to come. Bytes of the shared part are taken for every call waiting
// on the same build. Recorded once written, not when reserved: the pages of
// a fresh mapping take memory only where they are touched.
void record_taken(ClaimPart part, std::uint64_t bytes) noexcept;

// What the builds of `part` of `build` that were kept (BuildRecords::kept)
// have recorded in all, while a claim sharing that part is held or one is
// under way.
std::uint64_t builds_kept(const BuildKey& build, BuildPart part);

// While it lives, what the calling thread's call records of its working
// set's shared part (record_taken) is `part` of its build, being built: it
// is taken for every claim that counts that part (the geometry: the claims
// of every table of the shape), and a claim admitted for the build
// meanwhile starts with it taken. Unless `kept` is called before it ends,
// the part failed or was dropped, and its memory with it: its records leave
// every claim they were taken for, whose callers expect that memory again
// when they build it anew.
class BuildRecords {
public:
    explicit BuildRecords(BuildPart part);
    ~BuildRecords();
    BuildRecords(const BuildRecords&) = delete;
    BuildRecords& operator=(const BuildRecords&) = delete;
    // The part is built and about to be stored: its records stay, and count
    // in builds_kept from now on. Called before the part is stored, so that
    // a working set that sees it stored has seen it counted.
    void kept() noexcept;

private:
    void end(bool kept) noexcept;
    std::uint64_t call_ = 0;  // 0: nothing recorded here, or ended
    BuildKey part_;           // the part's key: a geometry's has table 0
};

// Before the calling thread's call writes up to `bytes` more of its working
// set at once (the next pieces of an array, the next stretches of its entry
// lists, written by the pool's threads together): nothing to check while
// what it has not yet taken of its claim holds them. Past that, as for a
// growth forecast (require_memory_to_grow), what they take beyond it must
// fit beside what the other calls still expect, in what is really left: an
// estimate can fall short, and the writes past it must not end the process.
void require_room_to_write(std::uint64_t bytes);

// Refuses (as an allocation failure) `bytes` taken together, checked before
// the first of them is allocated, unless they fit beside what the claims
// held still expect to take in the memory available now less the reserve.
// A claim's untaken part is memory that is still in the available figure
// but its call's; what its call has recorded as taken is gone from the
// figure and counts no more. Inside a call (see CallScope) its own claim,
// and the build it waits on, do not count against it: a request that what
// the call has not yet taken of its claim holds only needs the other calls'
// untaken claims to fit. A request beyond that, from a call that has taken
// part or all of its claim, or outside any call, must fit whole beside
// them: what a call has taken is gone from the figure and gives no credit.
void require_available_memory(std::uint64_t bytes);
// As above, with the figures read under `root`.
void require_available_memory(std::uint64_t bytes, const std::string& root);

// Refuses (as an allocation failure) a request for more bytes than the
// machine's physical memory, and one that require_available_memory refuses
// where it is checked: a large one always; a small one inside a call when
// the call has not that much left untaken of its claim (an estimate can
// fall short: past its claim, each further step of a call is checked
// against what is really left), unless all the calls hold is small. With
// overcommitted memory an unchecked request could succeed and then end the
// process when its pages are touched.
void require_memory(std::uint64_t bytes);

// As require_memory, for a forecast of what a growing build may take at
// most (its whole reservation, which it may never write): it is credited
// with as much of the call's untaken claim as it asks for, also when it
// asks for more. What the build then writes past its claim is checked as it
// is written (require_room_to_write).
void require_memory_to_grow(std::uint64_t bytes);

}  // namespace karvelum
