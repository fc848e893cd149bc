#include "file.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace karvelum::file {

namespace {

WholeFile failed(std::string error) { return {{}, std::move(error)}; }

}  // namespace

std::string os_error_text(int err) {
    return std::generic_category().message(err) + " (os error " + std::to_string(err) + ")";
}

RegularFile::RegularFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error_ = os_error_text(errno);
        return;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        error_ = os_error_text(errno);
    } else if (S_ISDIR(info.st_mode)) {
        error_ = os_error_text(EISDIR);
    } else if (!S_ISREG(info.st_mode)) {
        error_ = "not a regular file";
    } else {
        fd_ = fd;
        size_ = static_cast<std::uint64_t>(info.st_size);
        return;
    }
    ::close(fd);
}

RegularFile::~RegularFile() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

// read_at's loop, making each positioned read with `positioned_read`: pread
// itself, called directly, or the one a test passes to read_at_with.
template <class Read>
std::int64_t read_at_by(int fd, void* out, std::uint64_t n, std::uint64_t offset, Read positioned_read) {
    constexpr std::uint64_t kPiece = std::uint64_t(1) << 30;
    auto* bytes = static_cast<unsigned char*>(out);
    std::uint64_t done = 0;
    while (done < n) {
        const std::uint64_t at = offset + done;
        if (at < offset || at > std::uint64_t(std::numeric_limits<off_t>::max())) break;  // past any end
        const ssize_t got = positioned_read(fd, bytes + done, static_cast<std::size_t>(std::min(n - done, kPiece)),
                                            static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;  // the end of the file
        done += static_cast<std::uint64_t>(got);
    }
    // A read racing a cut of the file can count bytes that the cut zeroed
    // meanwhile: what lies past the size the file has now is not trusted.
    if (done > 0) {
        struct stat info {};
        if (::fstat(fd, &info) != 0) return -1;
        const auto size = static_cast<std::uint64_t>(info.st_size);
        if (size < offset + done) done = size > offset ? size - offset : 0;
    }
    return static_cast<std::int64_t>(done);
}

}  // namespace

std::int64_t read_at(int fd, void* out, std::uint64_t n, std::uint64_t offset) {
    return read_at_by(fd, out, n, offset, [](int f, void* b, std::size_t c, off_t at) { return ::pread(f, b, c, at); });
}

std::int64_t read_at_with(int fd, void* out, std::uint64_t n, std::uint64_t offset, PositionedRead positioned_read) {
    return read_at_by(fd, out, n, offset, positioned_read);
}

WholeFile read_regular_file(const std::string& path, std::size_t max_bytes, const char* cap_text) {
    const RegularFile file(path);
    if (!file.is_open()) return failed(file.error());
    WholeFile out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(file.fd(), buffer, sizeof buffer);
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
