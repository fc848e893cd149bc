// Whole small files read safely: regular files only, never a pipe or device
// that could block or never end, and never more than a cap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

namespace karvelum::file {

// The system's description of `err` followed by " (os error N)".
std::string os_error_text(int err);

// A regular file open for reading, closed with the object. Opened without
// blocking, so that a named pipe is refused instead of waited on.
class RegularFile {
public:
    // Opens `path` (which holds no NUL byte). On failure the file is not
    // open and error() says why: the system's error, or "not a regular file".
    explicit RegularFile(const std::string& path);
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    std::uint64_t size() const { return size_; }  // when it was opened
    const std::string& error() const { return error_; }

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::string error_;
};

// Reads up to `n` bytes of `fd` from `offset` on without moving the file's
// position (pread), in pieces of at most 1 GiB, going on after interrupted
// and short reads; fewer only at the end of the file, and none past the size
// the file has once the bytes are read (a cut while they were copied can
// leave zeros in their place). Returns the count read, or -1 with errno set.
std::int64_t read_at(int fd, void* out, std::uint64_t n, std::uint64_t offset);

// One positioned read, as pread makes it.
using PositionedRead = ssize_t (*)(int fd, void* out, std::size_t n, off_t offset);

// read_at with `positioned_read` making each positioned read in place of
// pread (tests drive it with short and interrupted reads, and with a cut of
// the file meanwhile).
std::int64_t read_at_with(int fd, void* out, std::uint64_t n, std::uint64_t offset, PositionedRead positioned_read);

struct WholeFile {
    std::string bytes;
    std::string error;  // empty on success, else what went wrong
};

// Reads the regular file at `path` (which holds no NUL byte) whole. A
// failure leaves `bytes` empty and says why in `error`: the system's error,
// "not a regular file", or "file is larger than {cap_text}" past `max_bytes`.
WholeFile read_regular_file(const std::string& path, std::size_t max_bytes, const char* cap_text);

}  // namespace karvelum::file
