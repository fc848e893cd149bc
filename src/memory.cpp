#include "memory.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "file.hpp"
#include "text.hpp"

namespace karvelum {

namespace {

constexpr std::uint64_t kUnknown = ~std::uint64_t(0);
// /proc/self/mountinfo lists every mount the process sees: thousands in
// some containers.
constexpr std::size_t kMaxListBytes = std::size_t(4) << 20;
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

// Where a control group hierarchy is mounted: the group at `mounted` of the
// hierarchy appears at `point`.
struct Mount {
    std::string mounted, point;
};

// The mount of the cgroup v2 hierarchy (`v1` false) or of the v1 hierarchy
// holding the memory controller.
std::optional<Mount> find_mount(std::string_view mountinfo, bool v1) {
    for (std::string_view line : text::collect_split_pieces(mountinfo, '\n')) {
        // ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER_OPTIONS
        const std::vector<std::string_view> f = text::collect_split_pieces(line, ' ');
        const auto dash = std::find(f.begin(), f.end(), std::string_view("-"));
        if (f.size() < 6 || dash - f.begin() < 6 || f.end() - dash < 4) continue;
        const std::string_view type = dash[1], options = dash[3];
        if (v1 ? (type == "cgroup" && has_item(options, "memory")) : type == "cgroup2") {
            return Mount{unescape_mount_path(f[3]), unescape_mount_path(f[4])};
        }
    }
    return std::nullopt;
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
// and of the groups above it, up to the mounted one.
std::uint64_t room_in_hierarchy(const std::string& root, std::string_view mountinfo, std::string_view cgroups,
                                bool v1) {
    const std::optional<Mount> mount = find_mount(mountinfo, v1);
    const std::optional<std::string> group = find_group(cgroups, v1);
    if (!mount || !group) return kUnknown;
    // The group's path below the mounted one; a group outside it (or in
    // another namespace's terms) is taken to be the mounted group itself.
    std::string below;
    const std::string& top = mount->mounted;
    if (top == "/") {
        below = *group == "/" ? "" : *group;
    } else if (group->size() >= top.size() && group->compare(0, top.size(), top) == 0 &&
               (group->size() == top.size() || (*group)[top.size()] == '/')) {
        below = group->substr(top.size());
    }
    if (!below.empty() && (below.front() != '/' || below.find("/..") != std::string::npos)) below.clear();
    std::uint64_t room = kUnknown;
    for (;;) {
        if (std::optional<std::uint64_t> r = room_under_limit(root + mount->point + below, v1 ? kV1 : kV2)) {
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

std::uint64_t available_memory(const std::string& root) {
    std::uint64_t available = meminfo_available(root).value_or(physical_memory());
    const std::optional<std::string> cgroups = read_text(root + "/proc/self/cgroup", kMaxListBytes);
    if (!cgroups) return available;
    const std::optional<std::string> mountinfo = read_text(root + "/proc/self/mountinfo", kMaxListBytes);
    if (!mountinfo) return available;
    for (bool v1 : {false, true}) available = std::min(available, room_in_hierarchy(root, *mountinfo, *cgroups, v1));
    return available;
}

bool within_memory_budget(std::uint64_t bytes, std::uint64_t available) {
    return bytes <= available / 4 * 3 + available % 4 * 3 / 4;
}

}  // namespace karvelum
