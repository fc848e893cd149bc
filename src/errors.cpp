#include "errors.hpp"

#include <new>

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

}  // namespace karvelum
