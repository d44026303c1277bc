#include "sets/file_cache.hpp"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string_view>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "base/common.hpp"
#include "time/time_parse.hpp"

namespace kernwerk {

KernelFileError KernelFileError::io(std::string path, int os_errno) {
    std::string message = "cannot read kernel " + path + ": " + std::strerror(os_errno);
    return {Kind::Io, std::move(path), std::move(message), os_errno};
}

KernelFileError KernelFileError::io_text(std::string path, std::string reason) {
    std::string message = "cannot read kernel " + path + ": " + reason;
    return {Kind::Io, std::move(path), std::move(message), 0};
}

KernelFileError KernelFileError::format(std::string path, std::string reason) {
    std::string message = "kernel " + path + ": " + reason;
    return {Kind::Format, std::move(path), std::move(message), 0};
}

namespace {

// Closes a descriptor on every path out of open_kernel.
class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

struct Table {
    std::mutex mutex;
    std::vector<std::pair<FileIdentity, std::weak_ptr<const OpenedKernel>>> entries;
};

Table& table() {
    // Never destroyed: kernel sets held by objects that outlive static
    // destruction may still release their files.
    static Table* t = new Table();
    return *t;
}

// Reads `len` bytes from offset 0, retrying short and interrupted reads.
bool read_all(int fd, char* out, std::size_t len, int& err) {
    std::size_t done = 0;
    while (done < len) {
        const ssize_t got = ::pread(fd, out + done, len - done, static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return false;
        }
        if (got == 0) break;  // the file shrank under us
        done += static_cast<std::size_t>(got);
    }
    if (done != len) {
        err = EIO;
        return false;
    }
    return true;
}

std::expected<OpenedKernel, KernelFileError> build_daf_reader(const std::string& path, DafFile daf,
                                                              const std::string& kind);

// Read as the toolkit reads kernels: the old identification word NAIF/DAF,
// a blank format word and BIG-IEEE files too (DafRules::Toolkit).
std::expected<OpenedKernel, KernelFileError> open_daf(const std::string& path, int fd, std::size_t len) {
    // A native file is mapped through the SIGBUS guard: a file truncated
    // under the mapping is reported by changed() instead of ending the
    // process. A BIG-IEEE file is read into a swapped private image.
    auto daf = DafFile::open_descriptor(fd, len, path, DafRules::Toolkit);
    if (!daf) {
        if (daf.error().kind() == DafError::Kind::Io)
            return std::unexpected(KernelFileError::io_text(path, daf.error().message()));
        return std::unexpected(KernelFileError::format(path, daf.error().message()));
    }
    const std::string kind = daf->kind();
    if (kind == "?")
        return std::unexpected(KernelFileError::format(
            path, "a DAF with the old identification word NAIF/DAF and ND = " + std::to_string(daf->nd()) +
                      ", NI = " + std::to_string(daf->ni()) +
                      ", whose kind the toolkit does not tell (only ND = 2, NI = 6 is an SPK)"));
    if (kind != "SPK" && kind != "PCK" && kind != "CK")
        return std::unexpected(KernelFileError::format(
            path, "a DAF of kind \"" + kind + "\", neither an SPK (DAF/SPK), a binary PCK (DAF/PCK) nor a CK (DAF/CK)"));
    // What the open read came through the mapping: if the file changed under
    // it meanwhile, that verdict, success or error, is discarded. The
    // structure's copies are taken first, so that a rewrite during the open
    // shows as a difference from them at its end.
    const DafFile handle = *daf;
    auto print = DafFingerprint::capture(handle);
    auto k = build_daf_reader(path, std::move(*daf), kind);
    if (auto ok = handle.check_unchanged(); !ok)
        return std::unexpected(KernelFileError::io_text(path, ok.error().message()));
    if (!print->matches_all())
        return std::unexpected(KernelFileError::io_text(path, DafError::changed_while_open(path).message()));
    if (k) k->fingerprint = std::move(print);
    return k;
}

std::expected<OpenedKernel, KernelFileError> build_daf_reader(const std::string& path, DafFile daf,
                                                              const std::string& kind) {
    OpenedKernel k;
    if (kind == "CK") {
        // Every segment's directory checked now.
        auto ck = CkFile::from_daf(std::move(daf));
        if (!ck) return std::unexpected(KernelFileError::format(path, ck.error().message()));
        k.kind = KernelKind::Ck;
        k.ck = std::make_unique<const CkFile>(std::move(*ck));
        return k;
    }
    if (kind == "SPK") {
        if (daf.nd() != 2 || daf.ni() != 6)
            return std::unexpected(KernelFileError::format(path, "an SPK must have ND = 2 and NI = 6, not ND = " +
                                                                     std::to_string(daf.nd()) + " and NI = " +
                                                                     std::to_string(daf.ni())));
        // Every SPK type with a reader, Type 9 and 13 windows as the toolkit
        // centres them.
        auto spk = SpkFile::from_daf(std::move(daf), {SpkTypes::All, OddWindowCentre::Nearest});
        if (!spk) return std::unexpected(KernelFileError::format(path, spk.error().message()));
        k.kind = KernelKind::Spk;
        k.spk = std::make_unique<const SpkFile>(std::move(*spk));
    } else {
        if (daf.nd() != 2 || daf.ni() != 5)
            return std::unexpected(KernelFileError::format(path, "a binary PCK must have ND = 2 and NI = 5, not ND = " +
                                                                     std::to_string(daf.nd()) + " and NI = " +
                                                                     std::to_string(daf.ni())));
        // Types 2, 3 and 20, each checked now.
        auto pck = PckFile::from_daf(std::move(daf), PckTypes::All);
        if (!pck) return std::unexpected(KernelFileError::format(path, pck.error().message()));
        k.kind = KernelKind::Pck;
        k.pck = std::make_unique<const PckFile>(std::move(*pck));
    }
    return k;
}

// FNV-1a over 8-byte words (the tail bytewise): a text kernel held open is
// reused only when the file's content hashes alike.
std::uint64_t content_hash(std::string_view text) noexcept {
    std::uint64_t h = 0xCBF29CE484222325u ^ text.size();
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, text.data() + i, 8);
        h = (h ^ w) * 0x100000001B3u;
        h ^= h >> 29;
    }
    for (; i < text.size(); ++i) h = (h ^ static_cast<unsigned char>(text[i])) * 0x100000001B3u;
    return h;
}

// Whether the held reader `k` still describes the open file `fd` (of the
// same identity): its structure or content unchanged, and its mapping not
// marked as changed.
bool still_current(const OpenedKernel& k, int fd, std::size_t len) {
    // The held mapping shares the file's pages with `fd`: what it shows is
    // what a read would.
    if (k.fingerprint) return !k.fingerprint->file().changed() && k.fingerprint->matches_all();
    if (k.text) {
        if (len > MAX_TEXT_KERNEL_BYTES) return false;
        std::string text(len, '\0');
        int err = 0;
        if (len && !read_all(fd, text.data(), len, err)) return false;
        return content_hash(text) == k.text_hash;
    }
    return false;
}

// A text kernel says what it is: its first line starts with an
// identification word "KPL/..." (KPL/LSK, KPL/FK, ...), or it has a
// "\begindata" marker (matched as the parser matches it, in any case and
// anywhere), without which it assigns nothing. Any other text, such as an
// HTML error page saved under a kernel's name, would otherwise load as an
// empty text kernel and leave every query to fail far from its cause.
bool announces_text_kernel(std::string_view text) {
    std::size_t p = 0;
    if (text.starts_with("\xEF\xBB\xBF")) p = 3;  // a UTF-8 byte order mark
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
    if (text.substr(p, 4) == "KPL/") return true;
    for (std::size_t at = text.find('\\'); at != std::string_view::npos; at = text.find('\\', at + 1)) {
        std::string_view word = text.substr(at + 1, 9);
        if (word.size() == 9 && std::equal(word.begin(), word.end(), "begindata", [](char a, char b) {
                return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
            }))
            return true;
    }
    return false;
}

// A date value of a text kernel ("@" and a date, no blank in it, read as the
// dates of time_parse.hpp are): seconds past J2000 in days of 86400 s, no
// leap seconds and no time scale, which is how the toolkit's pool holds it.
std::optional<double> read_pool_date(std::string_view text) {
    auto t = timescale::parse_time(text);
    // SCLK kernels write the time after the date behind a slash
    // ("@1999-02-07/03:51:29.00"), which the toolkit's pool reads.
    if (const auto slash = text.rfind('/'); !t && slash != std::string_view::npos &&
                                            text.find(':', slash) != std::string_view::npos) {
        std::string spaced(text);
        spaced[slash] = 'T';
        t = timescale::parse_time(spaced);
    }
    if (!t || t->is_number || t->scale_named) return std::nullopt;
    return static_cast<double>(timescale::day_start_seconds(t->time.day) + t->time.second) + t->time.frac;
}

std::expected<OpenedKernel, KernelFileError> open_text(const std::string& path, int fd, std::size_t len) {
    if (len > MAX_TEXT_KERNEL_BYTES)
        return std::unexpected(KernelFileError::io(path, EFBIG));
    std::string text(len, '\0');
    int err = 0;
    if (len && !read_all(fd, text.data(), len, err)) return std::unexpected(KernelFileError::io(path, err));
    if (!is_valid_utf8(text))
        return std::unexpected(KernelFileError::format(path, "neither a DAF kernel (SPK, binary PCK) nor UTF-8 text"));
    // A transfer file is text, but no text kernel: read as one it would
    // load silently and answer nothing.
    if (text.starts_with("DAFETF") || text.starts_with("NAIF DAF ENCODED"))
        return std::unexpected(KernelFileError::format(
            path, "a DAF transfer file (text); convert it to a binary kernel before loading it"));
    if (!announces_text_kernel(text))
        return std::unexpected(KernelFileError::format(
            path, len == 0 ? "an empty file, not a kernel"
                           : "not a SPICE kernel: neither a DAF (SPK, binary PCK) nor a text kernel (no KPL/ "
                             "identification word on its first line and no \\begindata)"));
    auto parsed = parse_text_kernel_with_assignments(text, read_pool_date);
    if (!parsed) return std::unexpected(KernelFileError::format(path, parsed.error().message()));
    OpenedKernel k;
    k.kind = KernelKind::Text;
    k.text = std::make_unique<const TextKernel>(std::move(*parsed));
    k.text_hash = content_hash(text);
    return k;
}

}  // namespace

std::expected<std::shared_ptr<const OpenedKernel>, KernelFileError> open_kernel(const std::string& path) {
    // open(2) would stop at an embedded NUL and open another file.
    if (path.find('\0') != std::string::npos)
        return std::unexpected(KernelFileError::io_text(path, "the file name contains a NUL byte"));
    // O_NONBLOCK: a FIFO would otherwise block the open until a writer came.
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return std::unexpected(KernelFileError::io(path, errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(KernelFileError::io(path, errno));
    if (S_ISDIR(st.st_mode)) return std::unexpected(KernelFileError::io(path, EISDIR));
    if (!S_ISREG(st.st_mode)) return std::unexpected(KernelFileError::format(path, "not a regular file"));
    const FileIdentity id{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                          static_cast<std::uint64_t>(st.st_size),
                          static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                          static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};

    // Opening under the table's lock makes two threads that open one file at
    // once share a single reader; opening is rare and short (a DAF is
    // mapped, not read).
    Table& t = table();
    std::lock_guard lock(t.mutex);
    std::erase_if(t.entries, [](const auto& e) { return e.second.expired(); });
    const auto len = static_cast<std::size_t>(st.st_size);
    for (const auto& [key, weak] : t.entries)
        if (key == id)
            if (auto held = weak.lock(); held && still_current(*held, fd.get(), len)) return held;

    char head[8] = {};
    int err = 0;
    const bool is_daf = len >= 8 && read_all(fd.get(), head, 8, err) &&
                        (std::memcmp(head, "DAF/", 4) == 0 || std::memcmp(head, "NAIF/DAF", 8) == 0);
    if (err) return std::unexpected(KernelFileError::io(path, err));
    auto opened = is_daf ? open_daf(path, fd.get(), len) : open_text(path, fd.get(), len);
    if (!opened) return std::unexpected(opened.error());
    opened->identity = id;
    opened->path = path;
    auto shared = std::make_shared<const OpenedKernel>(std::move(*opened));
    t.entries.emplace_back(id, shared);
    return shared;
}

std::size_t open_kernel_count() {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    std::size_t n = 0;
    for (const auto& e : t.entries) n += !e.second.expired();
    return n;
}

}  // namespace kernwerk
