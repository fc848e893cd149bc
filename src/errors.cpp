#include "errors.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

namespace karvelum {

std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out = 0;
    if (__builtin_mul_overflow(a, b, &out)) throw std::bad_alloc();
    return out;
}

std::uint64_t checked_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out = 0;
    if (__builtin_add_overflow(a, b, &out)) throw std::bad_alloc();
    return out;
}

namespace {

std::uint64_t physical_memory() {
    static const std::uint64_t physical = [] {
        long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGE_SIZE);
        return pages > 0 && size > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size)
                                     : ~std::uint64_t(0);
    }();
    return physical;
}

#if defined(__linux__)
// MemAvailable of /proc/meminfo: free memory plus what the kernel can reclaim
// without swapping. Read on every call; it changes all the time.
std::optional<std::uint64_t> meminfo_available() {
    int fd = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char text[8192];
    std::size_t length = 0;
    for (ssize_t got; length < sizeof text - 1 && (got = ::read(fd, text + length, sizeof text - 1 - length)) > 0;) {
        length += static_cast<std::size_t>(got);
    }
    ::close(fd);
    text[length] = '\0';
    const char* line = std::strstr(text, "MemAvailable:");
    if (line == nullptr) return std::nullopt;
    char* end = nullptr;
    const unsigned long long kib = std::strtoull(line + 13, &end, 10);
    if (end == line + 13) return std::nullopt;
    return kib > (~std::uint64_t(0) >> 10) ? ~std::uint64_t(0) : static_cast<std::uint64_t>(kib) << 10;
}
#endif

std::uint64_t available_memory() {
#if defined(__linux__)
    if (std::optional<std::uint64_t> available = meminfo_available()) return *available;
#endif
    return physical_memory();
}

}  // namespace

void require_memory(std::uint64_t bytes) {
    if (bytes > physical_memory()) throw std::bad_alloc();
    // Small requests are not worth reading the system's figures for.
    if (bytes >= (std::uint64_t(64) << 20)) require_available_memory(bytes);
}

void require_available_memory(std::uint64_t bytes) {
    if (bytes > available_memory()) throw std::bad_alloc();
}

}  // namespace karvelum
