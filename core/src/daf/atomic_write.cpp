#include "daf/atomic_write.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kernwerk {

namespace {

// Makes the rename itself durable. A directory that cannot be opened for
// reading cannot be synced; the rename has happened, so that is not reported.
// File systems that cannot sync directories say EINVAL; neither is reported.
std::expected<void, FileWriteError> sync_directory(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return {};
    int rc;
    do rc = ::fsync(fd);
    while (rc != 0 && errno == EINTR);
    const int err = errno;
    ::close(fd);
    if (rc != 0 && err != EINVAL && err != ENOTSUP) return std::unexpected(FileWriteError::of_errno(err));
    return {};
}

}  // namespace


std::expected<void, FileWriteError> writev_all(int fd, struct iovec* iov, int count, WritevCall call) {
    // Empty buffers are skipped up front, so that "nothing written" always
    // means the call failed to write.
    while (count > 0 && iov->iov_len == 0) ++iov, --count;
    while (count > 0) {
        const ssize_t w = call(fd, iov, std::min(count, IOV_MAX));
        if (w < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(FileWriteError::of_errno(errno));
        }
        if (w == 0) return std::unexpected(FileWriteError::of_text("failed to write whole buffer"));
        auto left = static_cast<std::size_t>(w);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov, --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<unsigned char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
        while (count > 0 && iov->iov_len == 0) ++iov, --count;
    }
    return {};
}

std::string staging_stem(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.rfind('.');
    // A dot that begins the last component (".hidden") starts no extension.
    if (dot == std::string::npos || dot <= base) return path + ".tmp";
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); });
    // Replacing "tmp" by "tmp" would make the target its own temporary file
    // and truncate it before the new content is complete. The comparison
    // ignores case for file systems that do.
    if (ext == "tmp") return path + ".tmp";
    return path.substr(0, dot + 1) + "tmp";
}

namespace {

// 12 letters and digits from the system's random source; should it fail, from
// the clock, the process and a counter (still distinct between the writers
// of one process, and EEXIST retries cover the rest).
std::string random_suffix() {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[12];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        static std::atomic<std::uint64_t> counter{0};
        std::uint64_t x = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                          (std::uint64_t(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15u);
        for (unsigned char& b : bytes) {
            x = (x ^ (x >> 31)) * 0xBF58476D1CE4E5B9u;
            b = static_cast<unsigned char>(x >> 56);
        }
    }
    std::string out;
    for (unsigned char b : bytes) out += kAlphabet[b % (sizeof kAlphabet - 1)];
    return out;
}

// An open staging file; removed (and closed) unless committed.
struct Staging {
    int fd = -1;
    std::string name;
    bool committed = false;
    ~Staging() {
        if (fd >= 0) ::close(fd);
        if (!committed && !name.empty()) ::unlink(name.c_str());
    }
};

// The process id in a staging file's name "<stem ending in .tmp>.<pid>.<12
// letters and digits>", or 0 when the name is not one.
long staging_owner(std::string_view name) {
    if (name.size() < 12 + 1 + 1 + 1 + 4) return 0;
    const std::string_view suffix = name.substr(name.size() - 12);
    for (char c : suffix)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return 0;
    std::string_view rest = name.substr(0, name.size() - 12);
    if (!rest.ends_with('.')) return 0;
    rest.remove_suffix(1);
    const std::size_t dot = rest.rfind('.');
    if (dot == std::string_view::npos || !rest.substr(0, dot).ends_with(".tmp")) return 0;
    const std::string_view digits = rest.substr(dot + 1);
    if (digits.empty() || digits.size() > 9 || digits[0] == '0') return 0;
    long pid = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return 0;
        pid = pid * 10 + (c - '0');
    }
    return pid;
}

// Removes the staging files that writers killed during a write left in the
// folder of `path`: named as staging files, of a process that no longer
// exists (kill(pid, 0) fails with ESRCH), a regular file (never followed
// through a link) that no one holds locked. A process id seen from another
// PID namespace may look dead; the lock keeps its live writer's file.
void remove_stale_staging(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    const long self = static_cast<long>(::getpid());
    while (const struct dirent* e = ::readdir(d)) {
        const long pid = staging_owner(e->d_name);
        if (pid == 0 || pid == self) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        const int fd = ::openat(::dirfd(d), e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(::dirfd(d), e->d_name, 0);
        ::close(fd);
    }
    ::closedir(d);
}

// Creates the staging file exclusively: O_EXCL never opens an existing file
// and, with O_NOFOLLOW, never follows a link planted under the name. It is
// locked until it is closed, so that no other writer takes it for stale.
std::expected<void, FileWriteError> create_staging(const std::string& path, Staging& out) {
    const std::string stem = staging_stem(path) + "." + std::to_string(::getpid());
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::string name = stem + "." + random_suffix();
        int fd;
        do fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            out.fd = fd;
            out.name = std::move(name);
            ::flock(fd, LOCK_EX | LOCK_NB);  // a file system without locks leaves it unlocked
            return {};
        }
        if (errno != EEXIST) return std::unexpected(FileWriteError::of_errno(errno));
    }
    return std::unexpected(FileWriteError::of_errno(EEXIST));
}

}  // namespace
std::expected<void, FileWriteError> write_atomically(const std::string& path, struct iovec* iov, int count) {
    // open(2) would stop at an embedded NUL and write another file.
    if (path.find('\0') != std::string::npos)
        return std::unexpected(FileWriteError::of_text("file name contained an unexpected NUL byte"));
    // A path without a file name ("", "dir/", "dir/.", "..") cannot receive a
    // file; refuse it before a staging file is created beside it.
    const std::size_t slash = path.rfind('/');
    const std::string_view last = std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
    if (path.empty()) return std::unexpected(FileWriteError::of_errno(ENOENT));
    if (last.empty() || last == "." || last == "..") return std::unexpected(FileWriteError::of_errno(EISDIR));

    remove_stale_staging(path);
    Staging staging;
    if (auto ok = create_staging(path, staging); !ok) return std::unexpected(ok.error());
    if (auto ok = writev_all(staging.fd, iov, count, ::writev); !ok) return std::unexpected(ok.error());
    int rc;
    do rc = ::fsync(staging.fd);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) return std::unexpected(FileWriteError::of_errno(errno));
    // The data are on disk; a failing close has nothing more to lose.
    ::close(staging.fd);
    staging.fd = -1;
    if (::rename(staging.name.c_str(), path.c_str()) != 0) return std::unexpected(FileWriteError::of_errno(errno));
    staging.committed = true;
    return sync_directory(path);
}

}  // namespace kernwerk
