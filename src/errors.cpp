#include "errors.hpp"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

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

namespace {

struct HeldClaim {
    std::uint64_t id;
    WorkingSet set;
};

// The claims held in the process; a handful at a time (one per call in flight).
struct Claims {
    std::mutex mutex;
    std::vector<HeldClaim> held;
    std::uint64_t next_id = 1;

    // Own parts, and the largest shared part of each owner once.
    std::uint64_t outstanding() const {
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < held.size(); ++i) {
            sum = checked_add(sum, held[i].set.own);
            bool counted = false;
            std::uint64_t largest = held[i].set.shared;
            for (std::size_t j = 0; j < held.size() && !counted; ++j) {
                if (j == i || held[j].set.owner == nullptr || held[j].set.owner != held[i].set.owner) continue;
                // The first holder of the largest shared part counts it.
                counted = held[j].set.shared > largest || (held[j].set.shared == largest && j < i);
            }
            if (!counted) sum = checked_add(sum, largest);
        }
        return sum;
    }

    HeldClaim* find(std::uint64_t id) {
        for (HeldClaim& c : held) {
            if (c.id == id) return &c;
        }
        return nullptr;
    }
};

Claims& claims() {
    static Claims* all = new Claims();  // never destroyed: detached workers may release at exit
    return *all;
}

}  // namespace

void require_available_memory(std::uint64_t bytes) {
    // Memory admitted to calls in flight and not taken yet is theirs: an
    // allocation inside one of them is part of it.
    std::uint64_t claimed = 0;
    {
        Claims& all = claims();
        std::lock_guard<std::mutex> lock(all.mutex);
        claimed = all.outstanding();
    }
    const std::uint64_t available = available_memory();
    if (!within_memory_budget(bytes, available > ~claimed ? ~std::uint64_t(0) : available + claimed)) {
        throw std::bad_alloc();
    }
}

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
    if (HeldClaim* c = all.find(id_)) c->set.shared = 0;
}

void MemoryClaim::release() noexcept {
    if (id_ == 0) return;
    Claims& all = claims();
    std::lock_guard<std::mutex> lock(all.mutex);
    std::erase_if(all.held, [&](const HeldClaim& c) { return c.id == id_; });
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

}  // namespace karvelum
