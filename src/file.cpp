#include "file.hpp"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace karvelum::file {

namespace {

// Closes a file descriptor on every way out.
struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

WholeFile failed(std::string error) { return {{}, std::move(error)}; }

}  // namespace

std::string os_error_text(int err) {
    return std::generic_category().message(err) + " (os error " + std::to_string(err) + ")";
}

WholeFile read_regular_file(const std::string& path, std::size_t max_bytes, const char* cap_text) {
    // Non-blocking, so that a named pipe is refused instead of waited on.
    FileDescriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (file.fd < 0) return failed(os_error_text(errno));
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) return failed(os_error_text(errno));
    if (S_ISDIR(info.st_mode)) return failed(os_error_text(EISDIR));
    if (!S_ISREG(info.st_mode)) return failed("not a regular file");
    WholeFile out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failed(os_error_text(errno));
        }
        if (n == 0) break;
        if (static_cast<std::size_t>(n) > max_bytes - out.bytes.size()) {
            return failed(std::string("file is larger than ") + cap_text);
        }
        out.bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

}  // namespace karvelum::file
