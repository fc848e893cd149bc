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

}  // namespace karvelum
