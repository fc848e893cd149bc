// Positioned reads of a real file through stand-ins for pread: reads of a
// few bytes at a time, interrupted now and then, and a cut of the file made
// while the bytes were copied.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "check.hpp"
#include "file.hpp"

using namespace karvelum;

namespace {

// A fresh file holding `bytes`, open for reading and writing, removed at the end.
class TempFile {
public:
    explicit TempFile(const std::vector<unsigned char>& bytes) : bytes_(bytes) {
        std::string pattern = (std::filesystem::temp_directory_path() / "karvelum_file_XXXXXX").string();
        fd_ = ::mkstemp(pattern.data());
        if (fd_ < 0) throw std::runtime_error("mkstemp failed");
        path_ = pattern;
        restore();
    }
    ~TempFile() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const { return fd_; }
    const std::vector<unsigned char>& bytes() const { return bytes_; }

    // The file whole again, as it was made.
    void restore() const {
        if (::ftruncate(fd_, 0) != 0 ||
            ::pwrite(fd_, bytes_.data(), bytes_.size(), 0) != static_cast<ssize_t>(bytes_.size())) {
            throw std::runtime_error("cannot write " + path_);
        }
    }

private:
    std::vector<unsigned char> bytes_;
    std::string path_;
    int fd_ = -1;
};

std::vector<unsigned char> random_bytes(std::size_t n) {
    std::mt19937 rng(11);
    std::vector<unsigned char> bytes(n);
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(rng());
    return bytes;
}

// One call of a stand-in for pread: where it was asked to read, and what it gave.
struct Call {
    unsigned char* out;
    std::size_t n;
    off_t offset;
    ssize_t got;
};
std::vector<Call> g_calls;

// pread of 1 to 7 bytes at a time (cycling through them), every fourth call
// interrupted before it reads anything.
ssize_t few_bytes_at_a_time(int fd, void* out, std::size_t n, off_t offset) {
    const std::size_t call = g_calls.size();
    ssize_t got = -1;
    if (call % 4 == 3) {
        errno = EINTR;
    } else {
        got = ::pread(fd, out, std::min<std::size_t>(n, 1 + call * 5 % 7), offset);
    }
    g_calls.push_back({static_cast<unsigned char*>(out), n, offset, got});
    return got;
}

// pread that fails with EIO at its third call.
ssize_t failing_at_the_third_call(int fd, void* out, std::size_t n, off_t offset) {
    const ssize_t got = g_calls.size() == 2 ? -1 : ::pread(fd, out, std::min<std::size_t>(n, 3), offset);
    if (got < 0) errno = EIO;
    g_calls.push_back({static_cast<unsigned char*>(out), n, offset, got});
    return got;
}

// pread whose copy is overtaken by a cut of the file to g_cut_to bytes: what
// lies before the cut arrives, zeros stand for the rest, and the whole count
// is returned, as a copy that began before the cut does.
off_t g_cut_to = 0;
ssize_t cut_while_copied(int fd, void* out, std::size_t n, off_t offset) {
    const std::size_t before =
        offset < g_cut_to ? std::min<std::size_t>(n, static_cast<std::size_t>(g_cut_to - offset)) : 0;
    ssize_t got = before > 0 ? ::pread(fd, out, before, offset) : 0;
    if (got == static_cast<ssize_t>(before)) {
        std::memset(static_cast<unsigned char*>(out) + before, 0, n - before);
        got = ::ftruncate(fd, g_cut_to) == 0 ? static_cast<ssize_t>(n) : -1;
    }
    g_calls.push_back({static_cast<unsigned char*>(out), n, offset, got});
    return got;
}

// Reads `n` bytes at `offset` with `positioned_read`; checks that exactly `want` arrive,
// equal to the file's.
void check_read(const TempFile& file, file::PositionedRead positioned_read, std::uint64_t offset, std::uint64_t n,
                std::int64_t want) {
    std::vector<unsigned char> out(n);
    g_calls.clear();
    const std::int64_t got = file::read_at_with(file.fd(), out.data(), n, offset, positioned_read);
    if (got != want) {
        check::fail(__FILE__, __LINE__, "read " + std::to_string(n) + " at " + std::to_string(offset) + ": " +
                                            std::to_string(got) + " bytes, not " + std::to_string(want));
        return;
    }
    if (got > 0) CHECK(std::memcmp(out.data(), file.bytes().data() + offset, static_cast<std::size_t>(got)) == 0);
}

}  // namespace

TEST(read_at_goes_on_after_short_and_interrupted_reads_until_every_byte_or_the_end) {
    const TempFile file(random_bytes(1000));
    struct Case {
        std::uint64_t offset, n;
        std::int64_t want;
    };
    const Case cases[] = {
        {0, 1000, 1000},  // the whole file
        {3, 500, 500},    // from the middle of a piece
        {997, 3, 3},      // up to the end exactly
        {990, 50, 10},    // across the end
        {1000, 5, 0},     // at the end
        {1500, 5, 0},     // past it
        {17, 0, 0},       // nothing asked
    };
    for (const Case& c : cases) {
        check_read(file, few_bytes_at_a_time, c.offset, c.n, c.want);
        // Each read asks for the rest from where the last one stopped, and
        // none follows the one that found the end.
        std::uint64_t done = 0;
        std::size_t short_reads = 0, interrupted = 0;
        for (std::size_t k = 0; k < g_calls.size(); ++k) {
            const Call& call = g_calls[k];
            CHECK(static_cast<std::uint64_t>(call.offset) == c.offset + done);
            CHECK(call.out == g_calls[0].out + done);
            CHECK(call.n == c.n - done);
            if (call.got < 0) ++interrupted;
            if (call.got > 0 && static_cast<std::size_t>(call.got) < call.n) ++short_reads;
            if (call.got == 0) CHECK(k + 1 == g_calls.size());
            if (call.got > 0) done += static_cast<std::uint64_t>(call.got);
        }
        CHECK(done == static_cast<std::uint64_t>(c.want));
        if (c.want > 7) CHECK(short_reads >= static_cast<std::size_t>(c.want) / 7 && interrupted > 0);
    }
    // A read that fails for another reason fails the whole read.
    std::vector<unsigned char> out(100);
    g_calls.clear();
    errno = 0;
    CHECK(file::read_at_with(file.fd(), out.data(), out.size(), 0, failing_at_the_third_call) == -1);
    CHECK(errno == EIO);
    CHECK(g_calls.size() == 3);
}

TEST(read_at_counts_no_byte_past_the_size_the_file_has_once_they_are_read) {
    const TempFile file(random_bytes(1000));
    struct Case {
        std::uint64_t offset, n;
        off_t cut_to;
        std::int64_t want;
    };
    const Case cases[] = {
        {0, 1000, 600, 600},  // the file cut within the bytes read
        {400, 400, 600, 200},
        {599, 10, 600, 1},
        {700, 100, 600, 0},   // cut before them
        {600, 100, 600, 0},   // cut where they begin
        {100, 200, 600, 200}, // cut after them: all stand
        {0, 1000, 0, 0},      // cut to nothing
    };
    for (const Case& c : cases) {
        file.restore();
        g_cut_to = c.cut_to;
        check_read(file, cut_while_copied, c.offset, c.n, c.want);
        CHECK(g_calls.size() == 1 && g_calls[0].got == static_cast<ssize_t>(c.n));  // counted whole by the read
        CHECK(::lseek(file.fd(), 0, SEEK_END) == c.cut_to);
    }
}
