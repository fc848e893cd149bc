#include "errors.hpp"

#include <new>

#include "memory.hpp"

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
    if (bytes > physical_memory()) throw std::bad_alloc();
    // Small requests are not worth reading the system's figures for.
    if (bytes >= (std::uint64_t(64) << 20)) require_available_memory(bytes);
}

void require_available_memory(std::uint64_t bytes) {
    if (!within_memory_budget(bytes, available_memory())) throw std::bad_alloc();
}

}  // namespace karvelum
