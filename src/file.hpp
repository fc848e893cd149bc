// Whole small files read safely: regular files only, never a pipe or device
// that could block or never end, and never more than a cap.
#pragma once

#include <cstddef>
#include <string>

namespace karvelum::file {

// The system's description of `err` followed by " (os error N)".
std::string os_error_text(int err);

struct WholeFile {
    std::string bytes;
    std::string error;  // empty on success, else what went wrong
};

// Reads the regular file at `path` (which holds no NUL byte) whole. A
// failure leaves `bytes` empty and says why in `error`: the system's error,
// "not a regular file", or "file is larger than {cap_text}" past `max_bytes`.
WholeFile read_regular_file(const std::string& path, std::size_t max_bytes, const char* cap_text);

}  // namespace karvelum::file
