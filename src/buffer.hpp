// Large per-pixel arrays.
//
// Buffer<T> is a std::vector whose elements are left uninitialised on resize
// (every producer writes each element, in parallel, so zeroing first would
// only add a sequential pass), and whose large blocks are aligned to 2 MiB
// and offered to the kernel for transparent huge pages: first-touch page
// faults otherwise dominate the cost of filling a fresh array. Large blocks
// are mapped from the system directly and unmapped when freed, so freed
// frames and tables return their memory at once (the C library would keep
// them in its heap once its adaptive threshold had grown past their size).
#pragma once

#include <cstddef>
#include <cstdint>
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
            p = map_huge(bytes);
        } else {
            p = std::malloc(bytes == 0 ? 1 : bytes);
        }
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, [[maybe_unused]] std::size_t n) noexcept {
#if !defined(KARVELUM_EXACT_ALLOCATION)
        if (n * sizeof(T) >= kHuge) return unmap_huge(p, n * sizeof(T));
#endif
        std::free(p);
    }

    static std::size_t rounded(std::size_t bytes) { return (bytes + kHuge - 1) / kHuge * kHuge; }

    // A mapping of `bytes` rounded up to 2 MiB and aligned to 2 MiB, or nullptr.
    static void* map_huge(std::size_t bytes) {
        const std::size_t size = rounded(bytes);
        if (size < bytes || size + kHuge < size) return nullptr;
#if defined(__linux__)
        void* m = mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) return nullptr;
        // Aligned inside the mapping; the slack on either side goes back.
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(m);
        const std::uintptr_t aligned = (at + kHuge - 1) / kHuge * kHuge;
        if (aligned > at) munmap(m, aligned - at);
        if (aligned + size < at + size + kHuge) {
            munmap(reinterpret_cast<void*>(aligned + size), at + kHuge - aligned);
        }
        void* p = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
        madvise(p, size, MADV_HUGEPAGE);
#endif
        return p;
#else
        return std::aligned_alloc(kHuge, size);
#endif
    }

    static void unmap_huge(void* p, std::size_t bytes) noexcept {
#if defined(__linux__)
        munmap(p, rounded(bytes));
#else
        std::free(p);
#endif
    }

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
