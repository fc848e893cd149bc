// Error types of the engine. The binding layer maps them to Python exceptions:
// ValueError -> ValueError, Panic -> karvelum.PanicException,
// std::bad_alloc (including size overflow) -> MemoryError.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace karvelum {

// An error whose whole text survives, NUL bytes included (what() stops at
// the first one; a user's name can hold one).
class MessageError : public std::runtime_error {
public:
    explicit MessageError(const std::string& message)
        : std::runtime_error(message), message_(std::make_shared<const std::string>(message)) {}
    const std::string& message() const noexcept { return *message_; }

private:
    std::shared_ptr<const std::string> message_;  // shared: copies never throw
};

// A user error: bad input, a file that cannot be read, a refused setting.
class ValueError : public MessageError {
public:
    using MessageError::MessageError;
};

// A file that cannot be read or decoded; the text describes the cause and
// callers add their own prefix ("Failed to load TIFF: ...").
class LoadError : public ValueError {
public:
    using ValueError::ValueError;
};

// A broken internal invariant; reaching one is a bug, never the caller's fault.
class Panic : public MessageError {
public:
    using MessageError::MessageError;
};

// Size arithmetic done before allocating: overflow is reported like an
// allocation that cannot be satisfied.
std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b);
std::uint64_t checked_add(std::uint64_t a, std::uint64_t b);

// Refuses (as an allocation failure) a request for more bytes than the
// machine's physical memory, and a large one for more than is available
// now: with overcommitted memory such a request could succeed and then end
// the process when its pages are touched.
void require_memory(std::uint64_t bytes);

// Refuses (as an allocation failure) a working set beyond the budget of the
// memory available now (see memory.hpp: the system's and the control
// group's, less a fixed reserve), to which the memory admitted to calls in
// flight and not yet taken is added back: this is a check inside a call
// (admitted with claim_available_memory below) or of work that runs alone.
// For the total of several allocations made together, checked before the
// first of them.
void require_available_memory(std::uint64_t bytes);

// A call's working set: what it builds once for the integrator it works with
// (the geometry and the table, which callers that miss together wait for
// and share) and what it allocates for itself.
struct WorkingSet {
    std::uint64_t shared = 0;
    std::uint64_t own = 0;
    const void* owner = nullptr;  // what the shared part is built for
    std::uint64_t total() const { return checked_add(shared, own); }
};

// A working set admitted and not yet taken. While it is held, every other
// admission in the process counts it as taken: calls that are admitted
// together (batch workers, array items, threads of the caller) read the same
// available figure before any of them allocates.
class MemoryClaim {
public:
    MemoryClaim() = default;
    MemoryClaim(MemoryClaim&& other) noexcept : id_(other.id_) { other.id_ = 0; }
    MemoryClaim& operator=(MemoryClaim&& other) noexcept;
    MemoryClaim(const MemoryClaim&) = delete;
    MemoryClaim& operator=(const MemoryClaim&) = delete;
    ~MemoryClaim() { release(); }

    bool held() const { return id_ != 0; }
    // What has now been taken (and so shows in the memory used) stops
    // counting: `bytes` of the own part, or the whole shared part.
    void taken_own(std::uint64_t bytes) noexcept;
    void taken_shared() noexcept;
    void release() noexcept;

private:
    friend MemoryClaim claim_available_memory(const WorkingSet&, const std::string&);
    std::uint64_t id_ = 0;
};

// Admits a working set (the shared parts of the claims of one owner count
// once, at the largest): refuses (as an allocation failure) unless it fits,
// with every claim held, in the memory available now less the reserve. While
// the claims held come to less than kSmallClaims, only the physical memory
// is checked: reading the system's figures would cost more than the work.
MemoryClaim claim_available_memory(const WorkingSet& set);
// As above, with the figures read under `root` (memory.hpp's available_memory).
MemoryClaim claim_available_memory(const WorkingSet& set, const std::string& root);

inline constexpr std::uint64_t kSmallClaims = std::uint64_t(64) << 20;

}  // namespace karvelum
