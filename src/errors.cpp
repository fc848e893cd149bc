#include "errors.hpp"

#include <new>

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

void require_memory(std::uint64_t bytes) {
    static const std::uint64_t physical = [] {
        long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGE_SIZE);
        return pages > 0 && size > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size)
                                     : ~std::uint64_t(0);
    }();
    if (bytes > physical) throw std::bad_alloc();
}

}  // namespace karvelum
