// The memory available to a call, read from a directory that stands for the
// system root: /proc's figures and control group limits of both versions;
// and what calls are admitted for.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <libdeflate.h>
#include <tiffio.h>

#include "check.hpp"
#include "errors.hpp"
#include "fixed_figures.hpp"
#include "frame.hpp"
#include "integration.hpp"
#include "integration/working_set.hpp"
#include "memory.hpp"
#include "pool.hpp"

using namespace karvelum;

namespace {

constexpr std::uint64_t kKiB = std::uint64_t(1) << 10;
constexpr std::uint64_t kMiB = std::uint64_t(1) << 20;
constexpr std::uint64_t kGiB = std::uint64_t(1) << 30;
// What v1 writes for "no limit": 2^63 rounded down to a page.
constexpr const char* kV1Unlimited = "9223372036854771712\n";

// A fresh directory standing for "/", removed with its contents at the end.
class FakeRoot {
public:
    FakeRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "karvelum_memory_XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~FakeRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    FakeRoot(const FakeRoot&) = delete;
    FakeRoot& operator=(const FakeRoot&) = delete;

    void write(const std::string& relative, const std::string& text) const {
        const std::filesystem::path file = std::filesystem::path(path_) / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    std::uint64_t available() const { return available_memory(path_); }
    const std::string& path() const { return path_; }

    // A host with `available` bytes in MemAvailable; a process in the v2
    // group /system.slice/app.service (the unified hierarchy at
    // /sys/fs/cgroup) and in the v1 memory group /docker/c1 (that hierarchy
    // at /sys/fs/cgroup/memory, its mount point shown escaped).
    void host(std::uint64_t available) const {
        write("proc/meminfo", "MemTotal:       25165824 kB\nMemFree:         1000000 kB\nMemAvailable:   " +
                                  std::to_string(available >> 10) + " kB\nBuffers:           22580 kB\n");
        write("proc/self/cgroup", "12:cpu,cpuacct:/docker/c1\n4:memory:/docker/c1\n1:name=systemd:/\n"
                                  "0::/system.slice/app.service\n");
        write("proc/self/mountinfo",
              "23 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
              "31 23 0:28 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw,nsdelegate\n"
              "35 23 0:32 / /sys/fs/cgroup/mem\\040ory rw,relatime shared:13 - cgroup cgroup rw,memory\n"
              "36 23 0:33 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu,cpuacct\n");
    }
    void v2(const std::string& group, const std::string& max, std::uint64_t current, std::uint64_t cache) const {
        group_files("sys/fs/cgroup" + group, false, max + "\n", current, cache);
    }
    void v1(const std::string& group, const std::string& limit, std::uint64_t usage, std::uint64_t cache) const {
        group_files("sys/fs/cgroup/mem ory" + group, true, limit, usage, cache);
    }
    // The files of a group at `dir` whose file cache holds `cache` bytes
    // the kernel can drop, beside shared memory, dirty pages and pages under
    // writeback that it cannot.
    void group_files(const std::string& dir, bool v1, const std::string& limit, std::uint64_t usage,
                     std::uint64_t cache) const {
        write(dir + (v1 ? "/memory.limit_in_bytes" : "/memory.max"), limit);
        write(dir + (v1 ? "/memory.usage_in_bytes" : "/memory.current"), std::to_string(usage) + "\n");
        stat(dir, v1, cache + 76 * kMiB, 64 * kMiB, 8 * kMiB, 4 * kMiB, cache);
    }
    // memory.stat with the file cache `file`, of which `shmem` is shared
    // memory, `dirty` dirty and `writeback` under writeback, and `inactive`
    // on the inactive list. Keys that begin with another key come first.
    void stat(const std::string& dir, bool v1, std::uint64_t file, std::uint64_t shmem, std::uint64_t dirty,
              std::uint64_t writeback, std::uint64_t inactive) const {
        const std::uint64_t active = file - std::min(file, shmem + inactive);
        const auto n = [](std::uint64_t x) { return std::to_string(x); };
        if (v1) {
            write(dir + "/memory.stat", "cache 9\nrss 5\nshmem 1\nmapped_file 3\ndirty 1\nwriteback 1\n"
                                        "inactive_file 1\nactive_file 7\ntotal_cache " + n(file) +
                                            "\ntotal_rss 5\ntotal_shmem " + n(shmem) + "\ntotal_mapped_file " +
                                            n(file / 2) + "\ntotal_dirty " + n(dirty) + "\ntotal_writeback " +
                                            n(writeback) + "\ntotal_inactive_file " + n(inactive) +
                                            "\ntotal_active_file " + n(active) + "\n");
        } else {
            write(dir + "/memory.stat", "anon 1000\nfile_mapped " + n(file / 2) + "\nfile_thp 2097152\nfile " +
                                            n(file) + "\nshmem_thp 0\nshmem " + n(shmem) + "\nfile_dirty " +
                                            n(dirty) + "\nfile_writeback " + n(writeback) + "\nactive_file " +
                                            n(active) + "\ninactive_file " + n(inactive) + "\nslab 5\n");
        }
    }

private:
    std::string path_;
};

}  // namespace

TEST(available_memory_is_mem_available_without_a_group_limit) {
    FakeRoot root;
    root.host(20 * kGiB);
    CHECK(root.available() == 20 * kGiB);
    // Groups that set no limit: v2 "max", v1's unlimited figure, and a
    // limit beyond any machine.
    root.v2("/system.slice/app.service", "max", 3 * kGiB, 0);
    root.v2("/system.slice", "max", 5 * kGiB, 0);
    root.v1("/docker/c1", kV1Unlimited, 4 * kGiB, 0);
    root.v1("/docker", std::to_string(std::uint64_t(1) << 62), 4 * kGiB, 0);
    CHECK(root.available() == 20 * kGiB);
}

TEST(a_cgroup_v2_limit_bounds_available_memory) {
    FakeRoot root;
    root.host(20 * kGiB);
    // 4 GiB limit, 3 GiB charged of which 512 MiB is inactive file cache.
    root.v2("/system.slice/app.service", std::to_string(4 * kGiB), 3 * kGiB, 512 * kMiB);
    CHECK(root.available() == 1536 * kMiB);
    // A tighter limit on the group above counts too.
    root.v2("/system.slice", std::to_string(6 * kGiB), 5900 * kMiB, 0);
    CHECK(root.available() == 244 * kMiB);
    // A group at its limit has no room; the machine's figure can still be the least.
    root.v2("/system.slice", "max", 0, 0);
    root.v2("/system.slice/app.service", std::to_string(2 * kGiB), 3 * kGiB, 0);
    CHECK(root.available() == 0);
    root.v2("/system.slice/app.service", std::to_string(16 * kGiB), kGiB, 0);
    root.host(3 * kGiB);
    CHECK(root.available() == 3 * kGiB);
}

TEST(a_cgroup_v1_limit_bounds_available_memory) {
    FakeRoot root;
    root.host(20 * kGiB);
    root.v1("/docker/c1", std::to_string(2 * kGiB) + "\n", 712 * kMiB, 200 * kMiB);
    CHECK(root.available() == 1536 * kMiB);
    // The least of both hierarchies.
    root.v2("/system.slice/app.service", std::to_string(kGiB), 100 * kMiB, 0);
    CHECK(root.available() == 924 * kMiB);
}

TEST(a_container_sees_its_own_group_as_the_mounted_one) {
    // In a cgroup namespace the process's group is "/" and the mount shows
    // the container's group; without one the mount's root names the group.
    FakeRoot root;
    root.host(20 * kGiB);
    root.write("proc/self/cgroup", "0::/\n");
    root.write("proc/self/mountinfo", "31 23 0:28 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
    root.v2("", std::to_string(8 * kGiB), 2 * kGiB, 0);
    CHECK(root.available() == 6 * kGiB);
    root.write("proc/self/cgroup", "4:memory:/kubepods/pod7/c2\n");
    root.write("proc/self/mountinfo",
               "40 23 0:32 /kubepods/pod7/c2 /sys/fs/cgroup/mem\\040ory ro - cgroup cgroup rw,memory\n");
    root.v1("", std::to_string(kGiB), 256 * kMiB, 0);
    CHECK(root.available() == 768 * kMiB);
}

TEST(all_clean_file_cache_counts_as_reclaimable_active_or_not) {
    for (bool v1 : {false, true}) {
        FakeRoot root;
        root.host(20 * kGiB);
        const std::string dir = v1 ? "sys/fs/cgroup/mem ory/docker/c1" : "sys/fs/cgroup/system.slice/app.service";
        root.group_files(dir, v1, std::to_string(2 * kGiB) + "\n", 1900 * kMiB, 0);
        // Files read twice: 1,200 of the 1,300 MiB of cache are active.
        root.stat(dir, v1, 1300 * kMiB, 0, 0, 0, 100 * kMiB);
        CHECK(root.available() == 1448 * kMiB);
        // Shared memory, dirty pages and pages under writeback stay charged.
        root.stat(dir, v1, 1300 * kMiB, 300 * kMiB, 50 * kMiB, 25 * kMiB, 100 * kMiB);
        CHECK(root.available() == 1073 * kMiB);
        root.stat(dir, v1, 100 * kMiB, 80 * kMiB, 30 * kMiB, 10 * kMiB, 0);
        CHECK(root.available() == 148 * kMiB);
        // A memory.stat that does not tell what is pinned frees nothing.
        root.write(dir + "/memory.stat", v1 ? "total_cache 1363148800\ntotal_inactive_file 1048576000\n"
                                            : "file 1363148800\ninactive_file 1048576000\n");
        CHECK(root.available() == 148 * kMiB);
    }
}

// The mount table lines of a hierarchy mounted from group `mounted` at `point`.
std::string group_mount(bool v1, const std::string& mounted, const std::string& point) {
    return "30 23 0:40 " + mounted + " " + point + " rw,relatime - " +
           (v1 ? "cgroup cgroup rw,memory\n" : "cgroup2 cgroup2 rw\n");
}

TEST(a_mount_of_another_groups_subtree_does_not_bound_the_process) {
    for (bool v1 : {false, true}) {
        FakeRoot root;
        root.host(20 * kGiB);
        root.write("proc/self/cgroup", v1 ? "4:memory:/user.slice/me\n0::/\n" : "0::/user.slice/me\n");
        const std::string unlimited = v1 ? kV1Unlimited : "max\n";
        // Another service's subtree is mounted first, then the whole hierarchy.
        const std::string other = group_mount(v1, "/system.slice/other", "/run/other");
        root.write("proc/self/mountinfo", other + group_mount(v1, "/", "/sys/fs/cgroup"));
        root.group_files("run/other", v1, std::to_string(512 * kMiB) + "\n", 100 * kMiB, 0);
        root.group_files("sys/fs/cgroup/user.slice/me", v1, std::to_string(7 * kGiB) + "\n", kGiB, 0);
        CHECK(root.available() == 6 * kGiB);
        // Unlimited there, it does not hide the process's own limit.
        root.group_files("run/other", v1, unlimited, 100 * kMiB, 0);
        root.group_files("sys/fs/cgroup/user.slice/me", v1, std::to_string(2 * kGiB) + "\n", 512 * kMiB, 0);
        CHECK(root.available() == 1536 * kMiB);
        // With no mount that holds the process's group, the hierarchy sets no bound.
        root.group_files("run/other", v1, std::to_string(512 * kMiB) + "\n", 100 * kMiB, 0);
        root.write("proc/self/mountinfo", other);
        CHECK(root.available() == 20 * kGiB);
    }
}

TEST(a_mount_of_a_child_group_does_not_bound_its_parent) {
    for (bool v1 : {false, true}) {
        FakeRoot root;
        root.host(20 * kGiB);
        root.write("proc/self/cgroup", v1 ? "4:memory:/user.slice/me\n0::/\n" : "0::/user.slice/me\n");
        root.write("proc/self/mountinfo",
                   group_mount(v1, "/user.slice/me/child", "/run/child") + group_mount(v1, "/", "/sys/fs/cgroup"));
        root.group_files("run/child", v1, std::to_string(256 * kMiB) + "\n", 0, 0);
        root.group_files("sys/fs/cgroup/user.slice/me", v1, std::to_string(3 * kGiB) + "\n", kGiB, 0);
        CHECK(root.available() == 2 * kGiB);
        // Of two mounts that hold the group, the one whose root is nearest it.
        root.write("proc/self/mountinfo", group_mount(v1, "/user.slice/me/child", "/run/child") +
                                              group_mount(v1, "/", "/sys/fs/cgroup") +
                                              group_mount(v1, "/user.slice", "/run/users"));
        root.group_files("run/users/me", v1, std::to_string(5 * kGiB) + "\n", kGiB, 0);
        CHECK(root.available() == 4 * kGiB);
    }
}

TEST(a_group_outside_the_namespace_root_is_read_only_through_a_mount_that_holds_it) {
    // The kernel writes a group and a mount root outside the process's
    // cgroup namespace with leading "/.." steps.
    FakeRoot root;
    root.host(20 * kGiB);
    root.write("proc/self/cgroup", "0::/../sibling\n");
    root.write("proc/self/mountinfo", group_mount(false, "/", "/sys/fs/cgroup"));
    root.v2("", std::to_string(kGiB), 0, 0);
    CHECK(root.available() == 20 * kGiB);
    root.write("proc/self/mountinfo",
               group_mount(false, "/", "/sys/fs/cgroup") + group_mount(false, "/..", "/run/parent"));
    root.group_files("run/parent/sibling", false, std::to_string(2 * kGiB) + "\n", 0, 0);
    CHECK(root.available() == 2 * kGiB);
}

TEST(a_mount_table_of_any_length_is_read_whole) {
    FakeRoot root;
    root.host(20 * kGiB);
    root.v2("/system.slice/app.service", std::to_string(4 * kGiB), kGiB, 0);
    root.v1("/docker/c1", std::to_string(2 * kGiB) + "\n", 712 * kMiB, 200 * kMiB);
    // Tens of thousands of container mounts, one line longer than a mount
    // table line can be, then the control group mounts, the last one with
    // no newline.
    std::string table;
    for (int i = 0; i < 40000; ++i) {
        table += std::to_string(100 + i) + " 23 0:" + std::to_string(60 + i) +
                 " / /var/lib/containers/storage/overlay/" + std::string(std::size_t(i % 61 + 4), static_cast<char>('a' + i % 26)) +
                 "/merged rw,relatime - overlay overlay rw,lowerdir=/l/" + std::to_string(i) + "\n";
    }
    table += "99 23 0:59 / /var/lib/x rw - overlay overlay rw,lowerdir=" + std::string(std::size_t(3) << 20, 'l') +
             "\n";
    table += "31 23 0:28 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw,nsdelegate\n"
             "35 23 0:32 / /sys/fs/cgroup/mem\\040ory rw,relatime shared:13 - cgroup cgroup rw,memory";
    CHECK(table.size() > (std::size_t(8) << 20));
    root.write("proc/self/mountinfo", table);
    CHECK(root.available() == 1536 * kMiB);
    root.v1("/docker/c1", kV1Unlimited, 712 * kMiB, 200 * kMiB);
    CHECK(root.available() == 3 * kGiB);
}

TEST(unreadable_figures_fall_back_to_what_can_be_read) {
    FakeRoot root;
    root.host(20 * kGiB);
    root.write("proc/meminfo", "MemTotal: 1 kB\n");  // no MemAvailable: the physical memory
    CHECK(root.available() == physical_memory());
    root.host(20 * kGiB);
    root.v2("/system.slice/app.service", "garbage", kGiB, 0);
    CHECK(root.available() == 20 * kGiB);
    root.v2("/system.slice/app.service", std::to_string(2 * kGiB), kGiB, 0);
    CHECK(root.available() == kGiB);
    // A group path that is not one: the mounted group's own limit.
    root.write("proc/self/cgroup", "0::system.slice\n");
    root.v2("", std::to_string(3 * kGiB), 0, 0);
    CHECK(root.available() == 3 * kGiB);
    root.write("proc/self/mountinfo", "not a mount table\n\n- - -\n");
    CHECK(root.available() == 20 * kGiB);
}

TEST(a_working_set_may_take_what_is_available_less_the_reserve) {
    CHECK(within_memory_budget(0, 0));
    CHECK(!within_memory_budget(1, 0));
    CHECK(!within_memory_budget(1, kMemoryReserve));
    CHECK(within_memory_budget(4 * kGiB - kMemoryReserve, 4 * kGiB));
    CHECK(!within_memory_budget(4 * kGiB - kMemoryReserve + 1, 4 * kGiB));
    CHECK(within_memory_budget(3 * kGiB + 1, 4 * kGiB));  // beyond the three quarters of before
    const std::uint64_t all = ~std::uint64_t(0);
    CHECK(within_memory_budget(all - kMemoryReserve, all) && !within_memory_budget(all - kMemoryReserve + 1, all));
    // In a container of 4 GiB with 1 GiB used, 3 GiB less the reserve may be
    // started, whatever the host has.
    FakeRoot root;
    root.host(20 * kGiB);
    root.v2("/system.slice/app.service", std::to_string(4 * kGiB), kGiB, 0);
    CHECK(within_memory_budget(3 * kGiB - kMemoryReserve, root.available()));
    CHECK(!within_memory_budget(3 * kGiB - kMemoryReserve + 1, root.available()));
}

namespace {

// Whether the working set is admitted beside the claims `held` holds.
bool admitted(const WorkingSet& set, const FakeRoot& root, std::vector<MemoryClaim>& held) {
    try {
        held.push_back(claim_available_memory(set, root.path()));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

TEST(claims_held_together_must_fit_together_with_one_shared_build_per_owner) {
    // 3 GiB available under the group's limit, for calls admitted at once.
    FakeRoot root;
    root.host(20 * kGiB);
    root.v2("/system.slice/app.service", std::to_string(4 * kGiB), kGiB, 0);
    const std::uint64_t room = 3 * kGiB - kMemoryReserve;
    int core = 0, other = 0;
    std::vector<MemoryClaim> held;
    // Two workers of one integrator each expect to build its 1 GiB table:
    // it is built once, so both fit beside their own 512 MiB.
    CHECK(admitted({kGiB, 512 * kMiB, {&core}}, root, held));
    CHECK(admitted({kGiB, 512 * kMiB, {&core}}, root, held));
    // A third caller's own needs do not fit beside the first two.
    CHECK(!admitted({0, room - 2 * kGiB + 1, {}}, root, held));
    CHECK(held.size() == 2);
    CHECK(admitted({0, room - 2 * kGiB, {}}, root, held));
    held.pop_back();
    // Another integrator's build counts on its own.
    CHECK(!admitted({kGiB, 0, {&other}}, root, held));
    // Once the table is built it shows in the group's usage and stops
    // counting as a claim; a released claim stops counting at all.
    held[0].taken_shared();
    CHECK(!admitted({kGiB, 0, {&other}}, root, held));  // the second worker still expects it
    held[1].taken_shared();
    CHECK(admitted({kGiB, 0, {&other}}, root, held));
    held.clear();
    CHECK(admitted({0, room, {}}, root, held));
    CHECK(!admitted({0, 1, {}}, root, held));
}

TEST(each_shape_and_table_of_an_integrator_is_a_build_of_its_own) {
    FakeRoot root;
    root.host(20 * kGiB);
    root.v2("/system.slice/app.service", std::to_string(4 * kGiB), kGiB, 0);
    const std::uint64_t room = 3 * kGiB - kMemoryReserve;
    int core = 0;
    std::vector<MemoryClaim> held;
    // Workers of one integrator on files of two shapes: two geometries and
    // two tables, resident together while the workers hold them.
    CHECK(admitted({kGiB, 0, {&core, 2048, 2048, 7}}, root, held));
    CHECK(admitted({kGiB, 0, {&core, 1024, 4096, 7}}, root, held));
    CHECK(!admitted({0, room - 2 * kGiB + 1, {}}, root, held));
    // A second table of the first shape is built as well.
    CHECK(!admitted({kGiB, 0, {&core, 2048, 2048, 8}}, root, held));
    // The same build again is the one already counted.
    CHECK(admitted({kGiB, 0, {&core, 1024, 4096, 7}}, root, held));
    CHECK(admitted({0, room - 2 * kGiB, {}}, root, held));
}

namespace {

// Whether `bytes` may be asked for now, with the figures under `root`.
bool fits_now(const FakeRoot& root, std::uint64_t bytes) {
    try {
        require_available_memory(bytes, root.path());
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

TEST(a_check_counts_what_other_calls_still_expect_and_not_its_own_claim) {
    FakeRoot root;
    root.host(20 * kGiB);
    root.v2("/system.slice/app.service", std::to_string(4 * kGiB), kGiB, 0);
    const std::uint64_t room = 3 * kGiB - kMemoryReserve;
    auto fits = [&](std::uint64_t bytes) { return fits_now(root, bytes); };
    CHECK(fits(room) && !fits(room + 1));
    // Another call was admitted for 2 GiB and has taken none of it yet: a
    // check outside any call (a peak search, a stream's copies) fits only
    // beside it.
    std::vector<MemoryClaim> held;
    CHECK(admitted({0, 2 * kGiB, {}}, root, held));
    CHECK(CallScope::current() == 0);
    CHECK(fits(room - 2 * kGiB) && !fits(room - 2 * kGiB + 1));
    {
        // Inside a call of its own: what it asks for is part of its 512 MiB,
        // which do not count against it, while they do outside it.
        MemoryClaim mine = claim_available_memory({0, 512 * kMiB, {}}, root.path());
        CHECK(!fits(room - 2 * kGiB - 512 * kMiB + 1));
        const CallScope scope(&mine);
        CHECK(CallScope::current() == mine.id());
        CHECK(fits(room - 2 * kGiB) && !fits(room - 2 * kGiB + 1));
        // The pool's threads check for the same call.
        std::vector<std::uint64_t> seen(64, 0);
        pool::parallel_for_index(seen.size(), [&](std::size_t k) { seen[k] = CallScope::current(); }, 1);
        CHECK(std::count(seen.begin(), seen.end(), mine.id()) == 64);
        {
            const CallScope none(nullptr);  // no claim: still the same call
            CHECK(CallScope::current() == mine.id());
        }
    }
    CHECK(CallScope::current() == 0);
    held.clear();
    CHECK(fits(room));
    {
        // Two workers of one integrator wait for one 2 GiB build: whichever
        // makes it, it is each one's own, not another call's.
        int core = 0;
        MemoryClaim first = claim_available_memory({2 * kGiB, 0, {&core, 64, 64, 1}}, root.path());
        MemoryClaim second = claim_available_memory({2 * kGiB, 256 * kMiB, {&core, 64, 64, 1}}, root.path());
        CHECK(!fits(room - 2 * kGiB - 256 * kMiB + 1));  // outside both, the build and the second's own count
        const CallScope scope(&first);
        CHECK(fits(room - 256 * kMiB) && !fits(room - 256 * kMiB + 1));
    }
}

TEST(what_a_call_has_taken_of_its_claim_counts_once_for_every_other_check) {
    // 4 GiB under the group's limit, 1 GiB of it used before any call.
    FakeRoot root;
    root.host(20 * kGiB);
    const std::string group = "/system.slice/app.service";
    auto used = [&](std::uint64_t bytes) { root.v2(group, std::to_string(5 * kGiB), kGiB + bytes, 0); };
    used(0);
    const std::uint64_t room = 4 * kGiB - kMemoryReserve;
    auto fits = [&](std::uint64_t bytes) { return fits_now(root, bytes); };
    int core = 0;
    // Three calls admitted together, all the room among them: a build of
    // 2 GiB, a call of 512 MiB of its own, and another of the rest.
    MemoryClaim building = claim_available_memory({2 * kGiB, 0, {&core, 64, 64, 1}}, root.path());
    MemoryClaim other = claim_available_memory({0, 512 * kMiB, {}}, root.path());
    MemoryClaim third = claim_available_memory({0, room - 2 * kGiB - 512 * kMiB, {}}, root.path());
    CHECK(fits(0) && !fits(1));
    // The build has written 1.5 GiB of its table: the group's usage shows it.
    {
        const CallScope scope(&building);
        record_taken(ClaimPart::Shared, 1536 * kMiB);
    }
    used(1536 * kMiB);
    {
        // The other call's request within its claim fits; a byte beyond it
        // would take from what the build and the third call still expect.
        const CallScope scope(&other);
        CHECK(fits(512 * kMiB) && !fits(512 * kMiB + 1));
        // Having allocated 256 MiB it did not record, it may still ask for
        // what its claim holds (a builder checks its whole growth so far).
        used(1792 * kMiB);
        CHECK(fits(512 * kMiB) && !fits(512 * kMiB + 1));
        used(1536 * kMiB);
    }
    // Outside any call every untaken part counts, and only those.
    CHECK(fits(0) && !fits(1));
    // The build's pool threads record for it too.
    {
        const CallScope scope(&building);
        pool::parallel_for_index(1024, [&](std::size_t) { record_taken(ClaimPart::Shared, 256 * kKiB); }, 1);
    }
    used(1792 * kMiB);
    CHECK(fits(0) && !fits(1));
    // The other calls are done: a check outside any call fits in what is
    // really left beside the 256 MiB the build still expects.
    other.release();
    third.release();
    const std::uint64_t left = 4 * kGiB - 1792 * kMiB - kMemoryReserve;
    CHECK(fits(left - 256 * kMiB) && !fits(left - 256 * kMiB + 1));
    // What is recorded beyond the claim takes nothing more off.
    {
        const CallScope scope(&building);
        record_taken(ClaimPart::Shared, 4 * kGiB);
    }
    CHECK(fits(left) && !fits(left + 1));
    // Outside any call nothing is recorded.
    record_taken(ClaimPart::Own, kGiB);
    CHECK(fits(left) && !fits(left + 1));
}

TEST(a_build_taken_by_one_caller_is_taken_for_every_caller_that_waits_on_it) {
    FakeRoot root;
    root.host(20 * kGiB);
    const std::string group = "/system.slice/app.service";
    root.v2(group, std::to_string(5 * kGiB), kGiB, 0);
    auto fits = [&](std::uint64_t bytes) { return fits_now(root, bytes); };
    int core = 0;
    // Two workers wait on one 2 GiB build (the second expected a little
    // more of it), each with 256 MiB of its own; a third call builds a
    // table of another shape.
    MemoryClaim builder = claim_available_memory({2 * kGiB, 256 * kMiB, {&core, 64, 64, 1}}, root.path());
    MemoryClaim waiter = claim_available_memory({2 * kGiB + kMiB, 256 * kMiB, {&core, 64, 64, 1}}, root.path());
    MemoryClaim elsewhere = claim_available_memory({kGiB, 0, {&core, 32, 32, 1}}, root.path());
    const std::uint64_t expected = 2 * kGiB + kMiB + 512 * kMiB + kGiB;
    const std::uint64_t room = 4 * kGiB - kMemoryReserve;
    CHECK(fits(room - expected) && !fits(room - expected + 1));
    // The builder writes 1.5 GiB of the build and 128 MiB of its own.
    {
        const CallScope scope(&builder);
        record_taken(ClaimPart::Shared, 1536 * kMiB);
        record_taken(ClaimPart::Own, 128 * kMiB);
    }
    root.v2(group, std::to_string(5 * kGiB), kGiB + 1664 * kMiB, 0);
    const std::uint64_t left = 4 * kGiB - 1664 * kMiB - kMemoryReserve;
    const std::uint64_t still = 512 * kMiB + kMiB + 128 * kMiB + 256 * kMiB + kGiB;
    CHECK(fits(left - still) && !fits(left - still + 1));
    // Another shape's build was not touched by it.
    {
        const CallScope scope(&elsewhere);
        CHECK(fits(left - still + kGiB) && !fits(left - still + kGiB + 1));
    }
}

namespace {

// A new TIFF at `path` for one 16-bit grey image in Deflate strips of
// `strip_rows` rows, its strips still to write; null if it cannot be made.
TIFF* open_deflate_tiff(const std::string& path, std::uint32_t width, std::uint32_t height, std::uint32_t strip_rows) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (tif == nullptr) return nullptr;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, strip_rows);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    return tif;
}

}  // namespace

TEST(a_file_read_in_its_stored_type_is_admitted_with_its_decoded_samples) {
    // 8192 x 8192 zeros of 16 bits in Deflate strips of 64 rows: a small
    // file whose samples, kept as stored, take 128 MiB.
    const FakeRoot directory;
    const std::string path = directory.path() + "/zeros.tif";
    constexpr std::uint32_t kSide = 8192, kStripRows = 64;
    const std::uint64_t frame_bytes = std::uint64_t(kSide) * kSide * sizeof(std::uint16_t);
    {
        TIFF* tif = open_deflate_tiff(path, kSide, kSide, kStripRows);
        CHECK(tif != nullptr);
        if (tif == nullptr) return;
        TIFFSetField(tif, TIFFTAG_ZIPQUALITY, 1);
        std::vector<std::uint16_t> strip(std::size_t(kSide) * kStripRows, 0);
        for (std::uint32_t s = 0; s < kSide / kStripRows; ++s) {
            CHECK(TIFFWriteEncodedStrip(tif, s, strip.data(), static_cast<tmsize_t>(strip.size() * 2)) > 0);
        }
        TIFFClose(tif);
    }
    // A pool of its own size decodes it against a fixed available figure:
    // each of its workers holds a few strips at most (the strip, its
    // compressed bytes, a checked copy), whatever the machine's processors,
    // memory and load.
    constexpr std::size_t kThreads = 4;
    const std::uint64_t strip_bytes = std::uint64_t(kSide) * kStripRows * sizeof(std::uint16_t);
    const std::uint64_t scratch = kThreads * 4 * strip_bytes;
    const std::uint64_t available = kGiB;
    const FixedAvailableMemory figures(available);
    pool::Arena arena(kThreads);
    // The call's own needs take all the budget but `left` bytes of it: the
    // decode fits beside them only when the frame does.
    auto admitted_with = [&](std::uint64_t left) {
        ImageFrame frame;
        MemoryClaim hold;
        const ThenNeeds then_needs = [&](std::uint64_t rows, std::uint64_t cols, SampleType type) {
            CHECK(rows == kSide && cols == kSide && type == SampleType::U16);
            CHECK(pool::current_thread_count() == kThreads);
            return WorkingSet{0, available - kMemoryReserve - left, {}};
        };
        try {
            pool::run_in(arena, [&] { load_tiff_frame(frame, path, then_needs, true, &hold); });
        } catch (const std::bad_alloc&) {
            return false;
        }
        CHECK(frame.in_file_form && frame.file_data.size() == frame_bytes);
        return true;
    };
    CHECK(!admitted_with(frame_bytes / 2));
    CHECK(admitted_with(frame_bytes + scratch));
}

TEST(a_supersampled_estimate_leaves_what_other_calls_hold_to_the_admission) {
    // Another call holds the whole machine (as a batch worker holds the
    // build this call waits for): the estimate still samples, and leaves to
    // the admission what fits beside it. Only what cannot fit in the machine
    // at all is refused at once.
    FakeRoot roomy;
    roomy.write("proc/meminfo", "MemAvailable:   " + std::to_string(physical_memory() / 512) + " kB\n");
    const MemoryClaim other = claim_available_memory({0, physical_memory() - kMemoryReserve, {}}, roomy.path());
    integration::IntegratorCore core;
    core.geometry.pixel1 = core.geometry.pixel2 = 1e-4;
    core.geometry.distance = 0.1;
    core.geometry.wavelength = 1e-10;
    const integration::Options1d options{100, false, false};
    // 4100^2 sub-sample bins of 4 bytes per worker, 64 MiB and more, for
    // each of a pool of two, whatever the machine's processors.
    core.method = {integration::MethodKind::Supersampled, 4100};
    pool::Arena two(2);
    const WorkingSet set = pool::run_in(two, [&] { return integration::working_set_1d(core, options, 40, 56); });
    CHECK(set.shared >= std::uint64_t(2) * 4100 * 4100 * 4);
    // So many sub-samples that one worker's bins alone exceed the machine,
    // however many workers and however much memory it has.
    const std::uint64_t beyond = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(physical_memory()) / 4)) + 2;
    CHECK(static_cast<double>(beyond) * static_cast<double>(beyond) * 4 > static_cast<double>(physical_memory()));
    core.method = {integration::MethodKind::Supersampled, beyond};
    bool refused = false;
    try {
        integration::working_set_1d(core, options, 40, 56);
    } catch (const std::bad_alloc&) {
        refused = true;
    }
    CHECK(refused);
}

TEST(an_only_deflate_strip_with_padding_rows_is_inflated_again_only_into_memory_available) {
    // One Deflate strip for an image of 4 rows of 16384 16-bit samples, with
    // RowsPerStrip 4096: its stream may go on with padding rows up to 128 MiB,
    // and runs out of the image's room when it does. The buffer it is then
    // inflated into again is bounded by what its bytes can inflate to and is
    // admitted against 100 MiB available.
    constexpr std::uint32_t kWidth = 16384, kHeight = 4, kStripRows = 4096;
    const std::uint64_t row_bytes = kWidth * sizeof(std::uint16_t);
    const FakeRoot directory;
    auto one_strip_file = [&](const std::string& name, const std::vector<std::uint16_t>& rows) {
        libdeflate_compressor* compressor = libdeflate_alloc_compressor(9);
        const std::size_t bytes = rows.size() * sizeof(std::uint16_t);
        std::vector<std::byte> stream(libdeflate_zlib_compress_bound(compressor, bytes));
        stream.resize(libdeflate_zlib_compress(compressor, rows.data(), bytes, stream.data(), stream.size()));
        libdeflate_free_compressor(compressor);
        const std::string path = directory.path() + "/" + name;
        TIFF* tif = open_deflate_tiff(path, kWidth, kHeight, kStripRows);
        if (tif == nullptr || stream.empty()) throw std::runtime_error("cannot write " + path);
        CHECK(TIFFWriteRawStrip(tif, 0, stream.data(), static_cast<tmsize_t>(stream.size())) ==
              static_cast<tmsize_t>(stream.size()));
        TIFFClose(tif);
        return std::make_pair(path, stream.size());
    };
    // The image's rows and one of padding, a pattern of period 7 that each
    // row starts at another phase of.
    std::vector<std::uint16_t> samples(std::size_t(kWidth) * (kHeight + 1));
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::uint16_t>(i % 7 * 9001 + 1);
    const auto [short_path, short_bytes] = one_strip_file("short.tif", samples);
    // Every row the strip may hold, zeros: 128 MiB.
    const auto [full_path, full_bytes] =
        one_strip_file("full.tif", std::vector<std::uint16_t>(std::size_t(kWidth) * kStripRows, 0));
    // Stored in a few hundred bytes, the short stream can give no more than
    // fits; the full one can give more than 100 MiB.
    CHECK(short_bytes < 1024 && full_bytes * 1032 > 100 * kMiB);

    const FixedAvailableMemory figures(100 * kMiB + kMemoryReserve);
    ImageFrame frame;
    load_tiff_frame(frame, short_path, {}, true);
    CHECK(frame.dim1 == kHeight && frame.dim2 == kWidth && frame.file_data.size() == kHeight * row_bytes);
    CHECK(std::memcmp(frame.file_data.data(), samples.data(), kHeight * row_bytes) == 0);
    bool refused = false;
    try {
        load_tiff_frame(frame, full_path, {}, true);
    } catch (const std::bad_alloc&) {
        refused = true;
    }
    CHECK(refused);
}
