// Committing a file atomically: the content goes to a staging file beside
// the target, is synced, and is renamed over the target, so that the target
// holds its old content or the complete new one, never a part. The kernel
// writers (SPK, CK) share it.
//
// The staging file is created exclusively under a random name
// (staging_stem(path) + "." + the writer's process id + "." + 12 random
// letters and digits, never following a link), so no existing file is
// touched and concurrent writers never share one; it is removed on every
// failure and locked (flock) while it is written. Only a process killed
// during the write can leave it behind: each write first removes, in the
// folder of the target, the staging files (named so) of processes that no
// longer exist and that no one holds locked.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <sys/types.h>
#include <sys/uio.h>

namespace kernwerk {

// A failed write: a system error number, or (os_error 0) a text.
struct FileWriteError {
    int os_error = 0;
    std::string text;
    static FileWriteError of_errno(int code) { return {code, {}}; }
    static FileWriteError of_text(std::string t) { return {0, std::move(t)}; }
};

// The stem of the staging files: the extension of the last component
// replaced by "tmp" (or ".tmp" appended when there is none; a leading dot
// starts no extension). A name whose extension is already "tmp" gets ".tmp"
// appended, so that the target is never its own staging file.
std::string staging_stem(const std::string& path);

// A vectored write of `count` buffers (writev(2) semantics) repeated until
// every byte is out: a short write resumes inside the buffer where it
// stopped, an interrupted call is repeated, and a call that writes nothing
// is "failed to write whole buffer". The call is passed in so that short
// writes and failures can be exercised.
using WritevCall = ssize_t (*)(int fd, const struct iovec* iov, int count);
std::expected<void, FileWriteError> writev_all(int fd, struct iovec* iov, int count, WritevCall call);

// Writes the `count` buffers of `iov` (consumed) as the whole new content
// of `path`: staging file, fsync, rename, fsync of the folder. A path
// holding a NUL byte, an empty path and one without a file name are refused
// before anything is created.
std::expected<void, FileWriteError> write_atomically(const std::string& path, struct iovec* iov, int count);

}  // namespace kernwerk
