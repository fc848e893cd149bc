#include "memory.hpp"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <unistd.h>

#include "file.hpp"
#include "text.hpp"

namespace karvelum {

namespace {

constexpr std::uint64_t kUnknown = ~std::uint64_t(0);
constexpr std::size_t kMaxListBytes = std::size_t(4) << 20;
// A mount table line names two paths and the mount's options.
constexpr std::size_t kMaxLineBytes = std::size_t(1) << 20;
constexpr std::size_t kMaxFigureBytes = std::size_t(64) << 10;

std::optional<std::string> read_text(const std::string& path, std::size_t max_bytes) {
    file::WholeFile file = file::read_regular_file(path, max_bytes, "the expected size");
    if (!file.error.empty()) return std::nullopt;
    return std::move(file.bytes);
}

bool has_item(std::string_view list, std::string_view item) {
    for (std::string_view x : text::collect_split_pieces(list, ',')) {
        if (x == item) return true;
    }
    return false;
}

// A decimal count that fills `text` (surrounding blanks allowed).
std::optional<std::uint64_t> parse_count(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (kUnknown - digit) / 10) return kUnknown;
        value = value * 10 + digit;
    }
    return value;
}

// The value of the line "key value" (or "key: value unit") of a figures file.
std::optional<std::uint64_t> figure(std::string_view figures, std::string_view key) {
    for (std::string_view line : text::collect_split_pieces(figures, '\n')) {
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            (line[key.size()] == ' ' || line[key.size()] == ':')) {
            std::string_view value = line.substr(key.size() + 1);
            if (value.size() > 3 && value.substr(value.size() - 3) == " kB") value.remove_suffix(3);
            return parse_count(value);
        }
    }
    return std::nullopt;
}

std::optional<std::uint64_t> meminfo_available(const std::string& root) {
    const std::optional<std::string> text = read_text(root + "/proc/meminfo", kMaxListBytes);
    if (!text) return std::nullopt;
    const std::optional<std::uint64_t> kib = figure(*text, "MemAvailable");
    if (!kib) return std::nullopt;
    return *kib > (kUnknown >> 10) ? kUnknown : *kib << 10;
}

// mountinfo writes a space, tab, newline or backslash of a path as \ooo.
std::string unescape_mount_path(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() &&
            std::all_of(text.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                        text.begin() + static_cast<std::ptrdiff_t>(i) + 4, [](char c) { return c >= '0' && c <= '7'; })) {
            out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// The files that tell one control group's limit, usage and file cache.
struct GroupFiles {
    const char* limit;
    const char* usage;
    // memory.stat keys: all the file cache, and the parts of it the kernel
    // cannot drop at once (shared memory, dirty and under writeback).
    const char* cache;
    const char* shmem;
    const char* dirty;
    const char* writeback;
};
constexpr GroupFiles kV2{"memory.max", "memory.current", "file", "shmem", "file_dirty", "file_writeback"};
constexpr GroupFiles kV1{"memory.limit_in_bytes", "memory.usage_in_bytes", "total_cache",
                         "total_shmem",           "total_dirty",           "total_writeback"};

// The file cache that the kernel reclaims before it kills anything, active
// or not: all of it but shared memory and pages still to be written. None
// when memory.stat does not tell all four figures.
std::uint64_t reclaimable_cache(std::string_view stat, const GroupFiles& files) {
    const std::optional<std::uint64_t> cache = figure(stat, files.cache), shmem = figure(stat, files.shmem),
                                       dirty = figure(stat, files.dirty), writeback = figure(stat, files.writeback);
    if (!cache || !shmem || !dirty || !writeback) return 0;
    std::uint64_t clean = *cache;
    for (std::uint64_t pinned : {*shmem, *dirty, *writeback}) clean -= std::min(clean, pinned);
    return clean;
}

// Calls `take` with each line of the regular file at `path`, without its
// newline, reading it in pieces: a mount table can be tens of megabytes.
// A line longer than kMaxLineBytes is skipped. False when the file cannot be
// opened or read.
template <class Take>
bool for_each_line(const std::string& path, Take take) {
    const file::RegularFile file(path);
    if (!file.is_open()) return false;
    std::string line;  // the start of a line that the last piece cut
    bool skipping = false;
    std::vector<char> buffer(std::size_t(64) << 10);
    for (;;) {
        const ssize_t n = ::read(file.fd(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        std::string_view piece(buffer.data(), static_cast<std::size_t>(n));
        for (;;) {
            const std::size_t end = piece.find('\n');
            const std::string_view part = piece.substr(0, end);
            if (end != std::string_view::npos && line.empty() && !skipping) {
                take(part);
            } else if (!skipping) {
                skipping = part.size() > kMaxLineBytes - line.size();
                if (skipping) {
                    line.clear();
                } else {
                    line.append(part);
                    if (end != std::string_view::npos) take(std::string_view(line));
                }
            }
            if (end == std::string_view::npos) break;
            line.clear();
            skipping = false;
            piece.remove_prefix(end + 1);
        }
    }
    if (!line.empty()) take(std::string_view(line));
    return true;
}

// The process's group in one hierarchy, and where it can be read: the
// hierarchy's mount (the cgroup2 one, or the v1 one holding the memory
// controller) whose root holds the group, the longest such root, and the
// group's path below it.
struct Hierarchy {
    bool v1;
    std::optional<std::string> group;
    std::optional<std::string> point, below;
    std::size_t root_length = 0;
};

// The group's path below a mount of its hierarchy whose root is `mounted`:
// "" for the mounted group itself, or "/a/b"; none when the mount does not
// hold the group. The kernel writes both paths from the same namespace root,
// a path outside it with leading "/.." steps, so the names compare as they
// stand.
std::optional<std::string> path_below(std::string_view mounted, std::string_view group) {
    std::string_view below;
    if (mounted == "/") {
        // A group path that is not one: the mounted group.
        if (group.empty() || group.front() != '/') return std::string();
        below = group == "/" ? std::string_view() : group;
    } else if (group.size() >= mounted.size() && group.substr(0, mounted.size()) == mounted &&
               (group.size() == mounted.size() || group[mounted.size()] == '/')) {
        below = group.substr(mounted.size());
    } else {
        return std::nullopt;
    }
    for (std::string_view step : text::collect_split_pieces(below, '/')) {
        if (step == "..") return std::nullopt;
    }
    return std::string(below);
}

// Takes the mount of one mountinfo line if it holds the hierarchy's group
// with a longer root than the one found so far.
void consider_mount(Hierarchy& hierarchy, std::string_view type, std::string_view options, std::string_view root,
                    std::string_view point) {
    if (!hierarchy.group) return;
    if (!(hierarchy.v1 ? type == "cgroup" && has_item(options, "memory") : type == "cgroup2")) return;
    const std::string mounted = unescape_mount_path(root);
    if (hierarchy.point && mounted.size() <= hierarchy.root_length) return;
    std::optional<std::string> below = path_below(mounted, *hierarchy.group);
    if (!below) return;
    hierarchy.point = unescape_mount_path(point);
    hierarchy.below = std::move(below);
    hierarchy.root_length = mounted.size();
}

void consider_mount_line(std::string_view line, Hierarchy& v2, Hierarchy& v1) {
    // ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER_OPTIONS
    const std::vector<std::string_view> f = text::collect_split_pieces(line, ' ');
    const auto dash = std::find(f.begin(), f.end(), std::string_view("-"));
    if (f.size() < 6 || dash - f.begin() < 6 || f.end() - dash < 4) return;
    for (Hierarchy* hierarchy : {&v2, &v1}) consider_mount(*hierarchy, dash[1], dash[3], f[3], f[4]);
}

// The process's group in the v2 hierarchy (line "0::PATH") or in the v1
// hierarchy of the memory controller (line "ID:...,memory,...:PATH").
std::optional<std::string> find_group(std::string_view cgroups, bool v1) {
    for (std::string_view line : text::collect_split_pieces(cgroups, '\n')) {
        const std::size_t a = line.find(':');
        const std::size_t b = a == std::string_view::npos ? a : line.find(':', a + 1);
        if (b == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, a), controllers = line.substr(a + 1, b - a - 1);
        if (v1 ? has_item(controllers, "memory") : (id == "0" && controllers.empty())) {
            return std::string(line.substr(b + 1));
        }
    }
    return std::nullopt;
}

// The room under the limit of the group in `directory`, if it sets one.
std::optional<std::uint64_t> room_under_limit(const std::string& directory, const GroupFiles& files) {
    const std::optional<std::string> limit_text = read_text(directory + "/" + files.limit, kMaxFigureBytes);
    if (!limit_text) return std::nullopt;
    // v2 writes "max" for none; v1 a figure near 2^63, beyond any machine,
    // and a limit the machine cannot reach leaves MemAvailable to decide.
    const std::optional<std::uint64_t> limit = parse_count(*limit_text);
    if (!limit || *limit >= physical_memory()) return std::nullopt;
    std::uint64_t used = 0;
    if (const std::optional<std::string> usage = read_text(directory + "/" + files.usage, kMaxFigureBytes)) {
        used = parse_count(*usage).value_or(0);
    }
    if (const std::optional<std::string> stat = read_text(directory + "/memory.stat", kMaxListBytes)) {
        used -= std::min(used, reclaimable_cache(*stat, files));
    }
    return *limit > used ? *limit - used : 0;
}

// The least room under the limits of the process's group in one hierarchy
// and of the groups above it, up to the mounted one. A group that no mount
// holds cannot be read, and another group's limit is no bound on it.
std::uint64_t room_in_hierarchy(const std::string& root, const Hierarchy& hierarchy) {
    if (!hierarchy.point) return kUnknown;
    std::string below = *hierarchy.below;
    std::uint64_t room = kUnknown;
    for (;;) {
        if (std::optional<std::uint64_t> r =
                room_under_limit(root + *hierarchy.point + below, hierarchy.v1 ? kV1 : kV2)) {
            room = std::min(room, *r);
        }
        if (below.empty()) return room;
        below.erase(below.rfind('/'));
    }
}

}  // namespace

std::uint64_t physical_memory() {
    static const std::uint64_t physical = [] {
        long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGE_SIZE);
        return pages > 0 && size > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size)
                                     : kUnknown;
    }();
    return physical;
}

namespace {

// Where the running system's figures are read ("" for "/"); see
// read_system_figures_under.
struct SystemRoot {
    std::mutex mutex;
    std::string path;
};

SystemRoot& system_root() {
    static SystemRoot* root = new SystemRoot();  // never destroyed: detached workers may read at exit
    return *root;
}

}  // namespace

void read_system_figures_under(const std::string& root) {
    SystemRoot& system = system_root();
    std::lock_guard<std::mutex> lock(system.mutex);
    system.path = root;
}

std::uint64_t available_memory(const std::string& root) {
    if (root.empty()) {
        std::string under;
        {
            SystemRoot& system = system_root();
            std::lock_guard<std::mutex> lock(system.mutex);
            under = system.path;
        }
        if (!under.empty()) return available_memory(under);
    }
    std::uint64_t available = meminfo_available(root).value_or(physical_memory());
    const std::optional<std::string> cgroups = read_text(root + "/proc/self/cgroup", kMaxListBytes);
    if (!cgroups) return available;
    Hierarchy v2{false, find_group(*cgroups, false), {}, {}, 0}, v1{true, find_group(*cgroups, true), {}, {}, 0};
    if (!v2.group && !v1.group) return available;
    if (!for_each_line(root + "/proc/self/mountinfo",
                       [&](std::string_view line) { consider_mount_line(line, v2, v1); })) {
        return available;
    }
    for (const Hierarchy* hierarchy : {&v2, &v1}) available = std::min(available, room_in_hierarchy(root, *hierarchy));
    return available;
}

bool within_memory_budget(std::uint64_t bytes, std::uint64_t available) {
    // Nothing to take always fits.
    return bytes == 0 || (available >= kMemoryReserve && bytes <= available - kMemoryReserve);
}

namespace {

struct HeldClaim {
    std::uint64_t id;
    WorkingSet set;  // as admitted, less what was taken (taken_own, taken_shared)
    // What its call, or a caller of the same build, has recorded as taken.
    std::uint64_t recorded_shared = 0, recorded_own = 0;
    bool shared_in_use = false;  // taken_shared: the build is done, whatever was recorded of it
    // Inside the build of a part (BuildRecords): the part, and what its call
    // has recorded of it.
    bool building = false;
    BuildKey building_part{};
    std::uint64_t recorded_in_build = 0;
    WorkingSet untaken() const {
        return {set.shared - std::min(set.shared, recorded_shared), set.own - std::min(set.own, recorded_own),
                set.build};
    }
    // What the call has not yet taken of its whole claim, and what it has
    // taken beyond it: a part taken past its share eats into the other's.
    std::uint64_t shared_beyond() const {
        return shared_in_use ? 0 : recorded_shared - std::min(recorded_shared, set.shared);
    }
    std::uint64_t own_beyond() const { return recorded_own - std::min(recorded_own, set.own); }
    std::uint64_t untaken_of_claim() const {
        const WorkingSet left = untaken();
        const std::uint64_t expected = left.shared + left.own, beyond = shared_beyond() + own_beyond();
        return expected - std::min(expected, beyond);
    }
};

bool same_build(const WorkingSet& a, const WorkingSet& b) {
    return a.build.integrator != nullptr && a.build == b.build;
}

// The key of a part of a build: a geometry's names no table.
BuildKey part_key(const BuildKey& build, BuildPart part) {
    return part == BuildPart::Geometry ? BuildKey{build.integrator, build.dim1, build.dim2, 0} : build;
}

bool same_shape(const BuildKey& a, const BuildKey& b) {
    return a.integrator != nullptr && a.integrator == b.integrator && a.dim1 == b.dim1 && a.dim2 == b.dim2;
}

// Whether the set counts the part whose key is `part` in its shared part.
bool counts_part(const WorkingSet& set, const BuildKey& part) {
    if (!same_shape(set.build, part)) return false;
    if (part.table == 0) return set.geometry_kept_before != kNotCounted;
    return set.build == part && set.table_kept_before != kNotCounted;
}

// The claims held in the process; a handful at a time (one per call in flight).
struct Claims {
    std::mutex mutex;
    std::vector<HeldClaim> held;
    std::uint64_t next_id = 1;
    // Per part of a build (BuildRecords): what its builds that were kept
    // have recorded in all, and what the one under way has recorded so far.
    // A claim admitted for a build starts with what was recorded of the
    // parts it counts since its working set saw them still to build.
    struct Progress {
        BuildKey part;
        std::uint64_t kept = 0, current = 0;
        bool building = false;
    };
    std::vector<Progress> builds;

    Progress* progress(const BuildKey& part) {
        for (Progress& p : builds) {
            if (p.part == part) return &p;
        }
        return nullptr;
    }
    // Forgets the parts of the shape of `build` that no claim held shares
    // and none is building.
    void forget_unused(const BuildKey& build) {
        std::erase_if(builds, [&](const Progress& p) {
            return same_shape(p.part, build) && !p.building && std::none_of(held.begin(), held.end(), [&](const HeldClaim& c) {
                       return same_shape(c.set.build, p.part) && (p.part.table == 0 || c.set.build == p.part);
                   });
        });
    }

    // Own parts, and the largest shared part of each build once; the claim
    // `except` left out, and with it the build it is for (whichever of the
    // callers that wait for a build makes it, it is made for each of them).
    // Untaken: less what the calls have recorded as taken.
    std::uint64_t outstanding(std::uint64_t except = 0, bool untaken = true) const {
        const HeldClaim* left_out = except != 0 ? find(except) : nullptr;
        auto part = [&](const HeldClaim& c) { return untaken ? c.untaken() : c.set; };
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < held.size(); ++i) {
            const HeldClaim& c = held[i];
            if (c.id == except) continue;
            const WorkingSet mine = part(c);
            sum = checked_add(sum, mine.own);
            bool counted = left_out != nullptr && same_build(mine, left_out->set);
            for (std::size_t j = 0; j < held.size() && !counted; ++j) {
                const HeldClaim& d = held[j];
                if (j == i || d.id == except || !same_build(d.set, mine)) continue;
                // The first holder of the largest shared part counts it.
                const std::uint64_t theirs = part(d).shared;
                counted = theirs > mine.shared || (theirs == mine.shared && j < i);
            }
            if (!counted) sum = checked_add(sum, mine.shared);
        }
        return sum;
    }

    const HeldClaim* find(std::uint64_t id) const {
        for (const HeldClaim& c : held) {
            if (c.id == id) return &c;
        }
        return nullptr;
    }
    HeldClaim* find(std::uint64_t id) { return const_cast<HeldClaim*>(std::as_const(*this).find(id)); }
};

Claims& claims() {
    static Claims* all = new Claims();  // never destroyed: detached workers may release at exit
    return *all;
}

thread_local std::uint64_t current_call = 0;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > ~b ? ~std::uint64_t(0) : a + b; }

}  // namespace

MemoryClaim& MemoryClaim::operator=(MemoryClaim&& other) noexcept {
    if (this != &other) {
        release();
        id_ = other.id_;
        other.id_ = 0;
    }
    return *this;
}

void MemoryClaim::taken_own(std::uint64_t bytes) noexcept {
    if (id_ == 0) return;
    Claims& all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    if (HeldClaim* c = all.find(id_)) c->set.own -= std::min(c->set.own, bytes);
}

void MemoryClaim::taken_shared() noexcept {
    if (id_ == 0) return;
    Claims& all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    if (HeldClaim* c = all.find(id_)) {
        c->set.shared = 0;
        c->shared_in_use = true;
    }
}

void MemoryClaim::release() noexcept {
    if (id_ == 0) return;
    Claims& all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    const auto released =
        std::find_if(all.held.begin(), all.held.end(), [&](const HeldClaim& c) { return c.id == id_; });
    if (released != all.held.end()) {
        const BuildKey build = released->set.build;
        all.held.erase(released);
        if (build.integrator != nullptr) all.forget_unused(build);
    }
    id_ = 0;
}

MemoryClaim claim_available_memory(const WorkingSet& set) { return claim_available_memory(set, ""); }

MemoryClaim claim_available_memory(const WorkingSet& set, const std::string& root) {
    if (set.total() > physical_memory()) throw std::bad_alloc();
    Claims& all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.held.reserve(all.held.size() + 1);
    const std::uint64_t id = all.next_id++;
    all.held.push_back(HeldClaim{id, set});
    if (set.build.integrator != nullptr) {
        const std::pair<BuildPart, std::uint64_t> parts[] = {{BuildPart::Geometry, set.geometry_kept_before},
                                                              {BuildPart::Table, set.table_kept_before}};
        for (const auto& [part, before] : parts) {
            const BuildKey key = part_key(set.build, part);
            if (before == kNotCounted || (part == BuildPart::Table && key.table == 0)) continue;
            if (const Claims::Progress* p = all.progress(key)) {
                const std::uint64_t since = saturating_add(p->kept - std::min(p->kept, before), p->current);
                all.held.back().recorded_shared = saturating_add(all.held.back().recorded_shared, since);
            }
        }
    }
    bool fits = false;
    try {
        const std::uint64_t outstanding = all.outstanding();
        fits = outstanding <= physical_memory() &&
               (outstanding < kSmallClaims || within_memory_budget(outstanding, available_memory(root)));
    } catch (...) {
        all.held.pop_back();
        throw;
    }
    if (!fits) {
        all.held.pop_back();
        throw std::bad_alloc();
    }
    MemoryClaim claim;
    claim.id_ = id;
    return claim;
}

CallScope::CallScope(const MemoryClaim* claim) : previous_(current_call), active_(claim != nullptr && claim->held()) {
    if (active_) current_call = claim->id();
}

CallScope::CallScope(std::uint64_t claim_id) : previous_(current_call), active_(true) { current_call = claim_id; }

CallScope::~CallScope() {
    if (active_) current_call = previous_;
}

std::uint64_t CallScope::current() noexcept { return current_call; }

void require_available_memory(std::uint64_t bytes) { require_available_memory(bytes, ""); }

void record_taken(ClaimPart part, std::uint64_t bytes) noexcept {
    const std::uint64_t call = current_call;
    if (call == 0 || bytes == 0) return;
    Claims& all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    HeldClaim* mine = all.find(call);
    if (mine == nullptr) return;
    if (part == ClaimPart::Own) {
        mine->recorded_own = saturating_add(mine->recorded_own, bytes);
        return;
    }
    for (HeldClaim& c : all.held) {
        const bool shares = mine->building ? counts_part(c.set, mine->building_part) : same_build(c.set, mine->set);
        if (&c == mine || shares) c.recorded_shared = saturating_add(c.recorded_shared, bytes);
    }
    if (mine->building) {
        mine->recorded_in_build = saturating_add(mine->recorded_in_build, bytes);
        if (Claims::Progress* p = all.progress(mine->building_part)) p->current = saturating_add(p->current, bytes);
    }
}

BuildRecords::BuildRecords(BuildPart part) : call_(current_call) {
    if (call_ == 0) return;
    Claims& all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    HeldClaim* mine = all.find(call_);
    if (mine == nullptr || mine->building) {
        call_ = 0;
        return;
    }
    part_ = part_key(mine->set.build, part);
    if (part_.integrator != nullptr) {
        Claims::Progress* p = all.progress(part_);
        if (p == nullptr) {
            all.builds.reserve(all.builds.size() + 1);
            p = &all.builds.emplace_back(Claims::Progress{part_});
        }
        if (p->building) {
            call_ = 0;  // another call builds it: its records are counted there
            return;
        }
        p->building = true;
        p->current = 0;
    }
    mine->building = true;
    mine->building_part = part_;
    mine->recorded_in_build = 0;
}

BuildRecords::~BuildRecords() { end(false); }

void BuildRecords::kept() noexcept { end(true); }

void BuildRecords::end(bool kept) noexcept {
    if (call_ == 0) return;
    const std::uint64_t call = std::exchange(call_, 0);
    Claims& all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    HeldClaim* mine = all.find(call);
    std::uint64_t recorded = mine != nullptr ? mine->recorded_in_build : 0;
    if (mine != nullptr) mine->building = false;
    if (Claims::Progress* p = part_.integrator != nullptr ? all.progress(part_) : nullptr) {
        recorded = p->current;
        p->building = false;
        p->current = 0;
        if (kept) p->kept = saturating_add(p->kept, recorded);
        all.forget_unused(part_);
    }
    if (!kept) {
        // The part's memory is gone with it: every claim that counted its
        // records as taken expects that memory again.
        for (HeldClaim& c : all.held) {
            if (&c == mine || (part_.integrator != nullptr && counts_part(c.set, part_))) {
                c.recorded_shared -= std::min(c.recorded_shared, recorded);
            }
        }
    }
}

std::uint64_t builds_kept(const BuildKey& build, BuildPart part) {
    if (build.integrator == nullptr || (part == BuildPart::Table && build.table == 0)) return 0;
    Claims& all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    const Claims::Progress* p = all.progress(part_key(build, part));
    return p != nullptr ? p->kept : 0;
}

namespace {

// What the calling thread's call has not yet taken of its claim (0 outside
// any call, or for a call whose claim is released).
std::uint64_t untaken_of_call(const Claims& all, std::uint64_t call) {
    const HeldClaim* mine = call != 0 ? all.find(call) : nullptr;
    return mine != nullptr ? mine->untaken_of_claim() : 0;
}

// See require_available_memory; a forecast is credited with as much of the
// call's untaken claim as it asks for, also when it asks for more.
void check_available(std::uint64_t bytes, const std::string& root, bool forecast) {
    std::uint64_t others = 0, untaken = 0;
    {
        Claims& all = claims();
        std::lock_guard<std::mutex> lock(all.mutex);
        const std::uint64_t call = current_call;
        others = all.outstanding(call);
        untaken = untaken_of_call(all, call);
    }
    const std::uint64_t credit = forecast || bytes <= untaken ? std::min(bytes, untaken) : 0;
    const std::uint64_t available = available_memory(root);
    if (!within_memory_budget(checked_add(bytes - credit, others), available)) throw std::bad_alloc();
}

// Whether a small request inside a call need not read the system's figures:
// the call's untaken claim holds it, or all that the calls hold is small.
bool claim_holds_or_small(std::uint64_t bytes) {
    const std::uint64_t call = current_call;
    if (call == 0) return true;
    Claims& all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    const HeldClaim* mine = all.find(call);
    if (mine == nullptr || bytes <= mine->untaken_of_claim()) return true;
    const std::uint64_t held =
        saturating_add(saturating_add(all.outstanding(), mine->recorded_own),
                       saturating_add(mine->shared_in_use ? 0 : mine->recorded_shared, bytes));
    return held < kSmallClaims;
}

void check_memory(std::uint64_t bytes, bool forecast) {
    if (bytes > physical_memory()) throw std::bad_alloc();
    // Small requests are not worth reading the system's figures for.
    if (bytes < kSmallClaims && claim_holds_or_small(bytes)) return;
    check_available(bytes, "", forecast);
}

}  // namespace

void require_available_memory(std::uint64_t bytes, const std::string& root) { check_available(bytes, root, false); }

void require_memory(std::uint64_t bytes) { check_memory(bytes, false); }

void require_memory_to_grow(std::uint64_t bytes) { check_memory(bytes, true); }

void require_room_to_write(std::uint64_t bytes) {
    if (bytes > physical_memory()) throw std::bad_alloc();
    if (claim_holds_or_small(bytes)) return;
    check_available(bytes, "", true);
}

}  // namespace karvelum
