// Large per-pixel arrays.
//
// Buffer<T> is a std::vector whose elements are left uninitialised on resize
// (every producer writes each element, in parallel, so zeroing first would
// only add a sequential pass), and whose large blocks are aligned to 2 MiB
// and offered to the kernel for transparent huge pages: first-touch page
// faults otherwise dominate the cost of filling a fresh array.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace karvelum {

template <class T>
struct BufferAllocator {
    using value_type = T;
    static constexpr std::size_t kHuge = std::size_t(2) << 20;

    BufferAllocator() = default;
    template <class U>
    BufferAllocator(const BufferAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        std::size_t bytes = n * sizeof(T);
        void* p;
#if defined(KARVELUM_EXACT_ALLOCATION)
        if (false) {
#else
        if (bytes >= kHuge) {
#endif
            std::size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
            p = std::aligned_alloc(kHuge, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
            if (p != nullptr) madvise(p, rounded, MADV_HUGEPAGE);
#endif
        } else {
            p = std::malloc(bytes == 0 ? 1 : bytes);
        }
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }

    // Default-initialise: no zeroing of plain values.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const BufferAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using Buffer = std::vector<T, BufferAllocator<T>>;

}  // namespace karvelum
