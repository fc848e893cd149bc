// The memory a call may still take, and how much of it a working set may
// claim. The machine's available memory is not the whole story: a process
// in a control group with a memory limit (a container, a service unit) is
// killed at that limit whatever the machine has left.
#pragma once

#include <cstdint>
#include <string>

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

// Whether a working set of `bytes` may be started with `available` bytes
// available: when it fits in them less kMemoryReserve. The working sets are
// estimated at their peak (calls admitted together count each other's, see
// errors.hpp), so the reserve only has to hold what no estimate counts.
bool within_memory_budget(std::uint64_t bytes, std::uint64_t available);

// What no working set counts: the interpreter's objects for the results,
// allocator slack, thread stacks and the few MiB of small buffers a call
// takes. Fixed: it does not grow with the image.
inline constexpr std::uint64_t kMemoryReserve = std::uint64_t(64) << 20;

}  // namespace karvelum
