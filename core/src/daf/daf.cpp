#include "daf/daf.hpp"

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

#include "base/common.hpp"
#include "base/map_guard.hpp"

namespace kernwerk {

namespace {

constexpr std::size_t kRecordBytes = 1024;

std::string bytes_list(const unsigned char bytes[8]) {
    std::string out = "[";
    for (int i = 0; i < 8; ++i) {
        if (i) out += ", ";
        out += std::to_string(bytes[i]);
    }
    out += "]";
    return out;
}

template <typename T>
T load(const unsigned char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A format word of blanks and NULs only: files written before the word
// existed, which the toolkit takes as native.
bool blank_format(const unsigned char* w) noexcept {
    for (int i = 0; i < 8; ++i)
        if (w[i] != ' ' && w[i] != 0) return false;
    return true;
}

void swap8(unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

void swap4(unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}

// Swaps the numbers of the BIG-IEEE file image `b` (`len` bytes) into the
// native order, in place: the file record's ND, NI, FWARD, BWARD and FREE;
// in each summary record of the chain from FWARD, NEXT, PREV, NSUM and each
// summary's ND doubles and NI 32-bit integers; every whole word of the
// other records from FWARD on (the arrays), except the name record after
// each summary record. The comment records before FWARD and the characters
// of the file record stay as they are. The chain is followed as far as it
// is sound (inside the file, no record twice); the walk of the swapped
// image then reports a broken chain as it would in a native file.
void swap_big_endian_image(unsigned char* b, std::size_t len) {
    for (std::size_t off : {8, 12, 76, 80, 84}) swap4(b + off);
    const std::uint32_t nd = load<std::uint32_t>(b + 8), ni = load<std::uint32_t>(b + 12);
    const std::uint32_t fward = load<std::uint32_t>(b + 76);
    const std::uint64_t nrec = (len + kRecordBytes - 1) / kRecordBytes;
    const std::uint64_t sb = 8 * (std::uint64_t{nd} + (std::uint64_t{ni} + 1) / 2);
    std::unordered_set<std::uint64_t> summary_records;
    for (std::uint64_t rec = fward; rec >= 2 && rec * kRecordBytes <= len;) {
        if (!summary_records.insert(rec).second) break;
        unsigned char* r = b + (rec - 1) * kRecordBytes;
        for (int w = 0; w < 3; ++w) swap8(r + 8 * w);
        const std::uint64_t nsum = count_from_double(load<double>(r + 16));
        for (std::uint64_t i = 0; sb != 0 && i < nsum && 24 + (i + 1) * sb <= kRecordBytes; ++i) {
            unsigned char* s = r + 24 + i * sb;
            for (std::uint32_t k = 0; k < nd; ++k) swap8(s + 8 * k);
            for (std::uint32_t k = 0; k < ni; ++k) swap4(s + 8 * std::size_t{nd} + 4 * k);
        }
        const double next = load<double>(r);
        if (std::isnan(next) || next < 2.0 || next >= static_cast<double>(nrec + 1)) break;
        rec = static_cast<std::uint64_t>(next);
    }
    for (std::uint64_t rec = std::max<std::uint64_t>(fward, 2); rec <= nrec; ++rec) {
        if (summary_records.contains(rec) || summary_records.contains(rec - 1)) continue;
        const std::uint64_t start = (rec - 1) * kRecordBytes;
        const std::uint64_t end = std::min<std::uint64_t>(start + kRecordBytes, len);
        for (std::uint64_t off = start; off + 8 <= end; off += 8) swap8(b + off);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Errors

DafError DafError::io_errno(int code) {
    return {Kind::Io, "I/O error: " + std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")",
            code};
}

DafError DafError::io_text(std::string text) { return {Kind::Io, "I/O error: " + text}; }

DafError DafError::too_small(std::uint64_t len) {
    return {Kind::TooSmall, "file too small (" + std::to_string(len) + " bytes) to contain a DAF header"};
}

DafError DafError::bad_id_word(const unsigned char bytes[8]) {
    return {Kind::BadIdWord, "unrecognized DAF identifier: " + bytes_list(bytes)};
}

DafError DafError::unsupported_format(const unsigned char bytes[8]) {
    return {Kind::UnsupportedFormat,
            "unsupported binary format: " + bytes_list(bytes) + " (only LTL-IEEE is supported)"};
}

DafError DafError::unsupported_toolkit_format(const unsigned char bytes[8]) {
    return {Kind::UnsupportedFormat,
            "unsupported binary format: " + bytes_list(bytes) + " (LTL-IEEE, BIG-IEEE and a blank word are read)"};
}

DafError DafError::comments_past_end(std::uint32_t fward, std::uint64_t len) {
    return {Kind::MalformedSummary, "malformed comment area: the first summary record is " + std::to_string(fward) +
                                        ", past the end of the file (" + std::to_string(len) + " bytes)"};
}

DafError DafError::malformed_summary(std::uint32_t record, std::string reason) {
    return {Kind::MalformedSummary, "malformed summary at record " + std::to_string(record) + ": " + reason};
}

DafError DafError::changed_while_open(const std::string& path) {
    return {Kind::Changed, "kernel file changed while open: " + path +
                               " (it was truncated or rewritten in place by another process; open it again, and "
                               "update kernels by writing a new file and renaming it over the old one)"};
}

DafError DafError::address_out_of_range(std::uint32_t start, std::uint32_t end, std::uint64_t count) {
    // A well-formed range that runs past the end is what a cut-off download
    // or copy leaves: say so. A reversed or zero range is a damaged summary.
    const bool cut = start >= 1 && start <= end && end > count;
    return {Kind::AddressOutOfRange, "address range [" + std::to_string(start) + "," + std::to_string(end) +
                                         "] out of file (file has " + std::to_string(count) + " doubles" +
                                         (cut ? "; the file looks truncated" : "") + ")"};
}

// ---------------------------------------------------------------------------
// Mapping

Mapping::Mapping(Mapping&& other) noexcept
    : base_(other.base_), len_(other.len_), guard_(other.guard_), path_(std::move(other.path_)),
      tail_at_(other.tail_at_), tail_value_(other.tail_value_), cut_(other.cut_.load(std::memory_order_relaxed)) {
    other.tail_value_ = 0;
    other.base_ = nullptr;
    other.len_ = 0;
    other.guard_ = -1;
}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
    if (this != &other) {
        release();
        base_ = other.base_;
        len_ = other.len_;
        guard_ = other.guard_;
        path_ = std::move(other.path_);
        tail_at_ = other.tail_at_;
        tail_value_ = other.tail_value_;
        cut_.store(other.cut_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        other.tail_value_ = 0;
        other.base_ = nullptr;
        other.len_ = 0;
        other.guard_ = -1;
    }
    return *this;
}

Mapping::~Mapping() { release(); }

// The guard's slot is freed before the pages go, so that the handler never
// repairs an address that is no longer ours.
void Mapping::release() noexcept {
    map_guard::unregister_mapping(guard_);
    guard_ = -1;
    if (base_) ::munmap(const_cast<void*>(base_), len_);
    base_ = nullptr;
}

bool Mapping::changed() const noexcept {
    if (guard_ < 0) return false;
    // A read of the mapping's last byte faults, and so marks the mapping,
    // whenever the file now ends before the mapping's last page: a call that
    // met only the zeros of a page cut in the middle (which read without a
    // fault) is caught too, instead of answering from them.
    static_cast<void>(*static_cast<const volatile unsigned char*>(data() + len_ - 1));
    // A cut inside the last page reads zeros past the new end without a
    // fault; the last non-zero byte then reads zero.
    if (tail_value_ != 0 && *static_cast<const volatile unsigned char*>(data() + tail_at_) != tail_value_)
        cut_.store(true, std::memory_order_relaxed);
    return cut_.load(std::memory_order_relaxed) || map_guard::changed(guard_);
}

void Mapping::note_tail() noexcept {
    const std::size_t floor = len_ > 65536 ? len_ - 65536 : 0;
    for (std::size_t i = len_; i-- > floor;)
        if (data()[i] != 0) {
            tail_at_ = i;
            tail_value_ = data()[i];
            return;
        }
}

std::expected<Mapping, DafError> Mapping::copy_of(std::span<const unsigned char> bytes) {
    if (bytes.empty()) return Mapping();
    void* p = ::mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return std::unexpected(DafError::io_errno(errno));
    std::memcpy(p, bytes.data(), bytes.size());
    if (::mprotect(p, bytes.size(), PROT_READ) != 0) {
        const int err = errno;
        ::munmap(p, bytes.size());
        return std::unexpected(DafError::io_errno(err));
    }
    return Mapping(p, bytes.size());
}

// ---------------------------------------------------------------------------
// Opening and validation

std::expected<DafFile, DafError> DafFile::open(const std::string& path) {
    auto opened = open_with_summaries(path);
    if (!opened) return std::unexpected(opened.error());
    return std::move(opened->file);
}

namespace {

// An open descriptor, closed when the holder goes.
struct OpenDescriptor {
    int fd = -1;
    std::size_t len = 0;
    OpenDescriptor() = default;
    OpenDescriptor(const OpenDescriptor&) = delete;
    OpenDescriptor& operator=(const OpenDescriptor&) = delete;
    ~OpenDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// Opens `path` for reading and takes its length: the checks every open by
// path makes before anything is read.
std::expected<void, DafError> open_for_reading(const std::string& path, OpenDescriptor& out) {
    // open(2) would silently stop at an embedded NUL and open another file.
    if (path.find('\0') != std::string::npos)
        return std::unexpected(DafError::io_text("file name contained an unexpected NUL byte"));
    // O_NONBLOCK: opening a FIFO read-only would otherwise wait for a writer
    // for ever; for a regular file it changes nothing, and mmap ignores it.
    out.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (out.fd < 0) return std::unexpected(DafError::io_errno(errno));
    struct stat st {};
    if (::fstat(out.fd, &st) != 0) return std::unexpected(DafError::io_errno(errno));
    // A directory opens read-only on Linux but cannot be mapped; say what it is.
    if (S_ISDIR(st.st_mode)) return std::unexpected(DafError::io_errno(EISDIR));
    if (st.st_size < 0) return std::unexpected(DafError::io_text("file length does not fit a signed 64-bit size"));
    out.len = static_cast<std::size_t>(st.st_size);
    // An empty file cannot be mapped; it is reported as too small.
    if (out.len == 0) return std::unexpected(DafError::too_small(0));
    return {};
}

}  // namespace

std::expected<DafFile, DafError> DafFile::open(const std::string& path, DafRules rules) {
    OpenDescriptor d;
    if (auto ok = open_for_reading(path, d); !ok) return std::unexpected(ok.error());
    return open_descriptor(d.fd, d.len, path, rules);
}

std::expected<OpenedDaf, DafError> DafFile::open_with_summaries(const std::string& path) {
    // The descriptor is closed on every path once the reads are done; the
    // mapping stays valid without it.
    OpenDescriptor d;
    if (auto ok = open_for_reading(path, d); !ok) return std::unexpected(ok.error());
    auto mapping = Mapping::map_file(d.fd, d.len, path);
    if (!mapping) return std::unexpected(mapping.error());
    auto opened = from_descriptor(std::move(*mapping), d.fd);
    // The file may have shrunk while the header and chain were read: a read
    // past the new end comes back short (and is reported), and a cut after
    // the reads shows in the length.
    struct stat st {};
    if (opened && (::fstat(d.fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < d.len))
        return std::unexpected(DafError::changed_while_open(path));
    return opened;
}

std::expected<Mapping, DafError> Mapping::map_file(int fd, std::size_t len, std::string path) {
    if (len == 0) return Mapping(nullptr, 0, -1, std::move(path));
    void* p = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return std::unexpected(DafError::io_errno(errno));
    const int guard = map_guard::register_mapping(p, len);
    if (guard >= 0) {
        Mapping m(p, len, guard, std::move(path));
        m.note_tail();
        return m;
    }

    // No guard slot: a private copy cannot vanish under a read.
    ::munmap(p, len);
    p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return std::unexpected(DafError::io_errno(errno));
    Mapping m(p, len, -1, std::move(path));
    auto* dst = static_cast<unsigned char*>(p);
    std::size_t done = 0;
    while (done < len) {
        const ssize_t got = ::pread(fd, dst + done, len - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::unexpected(DafError::io_errno(errno));
        if (got == 0) return std::unexpected(DafError::changed_while_open(m.path()));
        done += static_cast<std::size_t>(got);
    }
    if (::mprotect(p, len, PROT_READ) != 0) return std::unexpected(DafError::io_errno(errno));
    return m;
}

std::expected<void, DafError> DafFile::check_unchanged() const {
    if (!map_->changed()) return {};
    return std::unexpected(DafError::changed_while_open(map_->path()));
}

std::expected<DafFile, DafError> DafFile::from_bytes(std::span<const unsigned char> bytes, DafRules rules) {
    if (rules == DafRules::Strict || bytes.size() < kRecordBytes || std::memcmp(bytes.data() + 88, "BIG-IEEE", 8) != 0) {
        auto m = Mapping::copy_of(bytes);
        if (!m) return std::unexpected(m.error());
        if (m->size() < kRecordBytes) return std::unexpected(DafError::too_small(m->size()));
        return from_header(std::make_shared<const Mapping>(std::move(*m)), -1, rules);
    }
    std::vector<unsigned char> image(bytes.begin(), bytes.end());
    swap_big_endian_image(image.data(), image.size());
    auto m = Mapping::copy_of(image);
    if (!m) return std::unexpected(m.error());
    return from_header(std::make_shared<const Mapping>(std::move(*m)), -1, rules, DafByteOrder::Big);
}

std::expected<DafFile, DafError> DafFile::open_descriptor(int fd, std::size_t len, std::string path,
                                                          DafRules rules) {
    if (len < kRecordBytes) return std::unexpected(DafError::too_small(len));
    unsigned char head[96];
    std::size_t done = 0;
    while (done < sizeof head) {
        const ssize_t got = ::pread(fd, head + done, sizeof head - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::unexpected(DafError::io_errno(errno));
        if (got == 0) return std::unexpected(DafError::changed_while_open(path));
        done += static_cast<std::size_t>(got);
    }
    const bool big = rules == DafRules::Toolkit && std::memcmp(head + 88, "BIG-IEEE", 8) == 0 &&
                     (std::memcmp(head, "DAF/", 4) == 0 || std::memcmp(head, "NAIF/DAF", 8) == 0);
    if (!big) {
        auto mapping = Mapping::map_file(fd, len, std::move(path));
        if (!mapping) return std::unexpected(mapping.error());
        return from_header(std::make_shared<const Mapping>(std::move(*mapping)), -1, rules);
    }
    // A private image cannot vanish under a read: it needs no guard slot.
    void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return std::unexpected(DafError::io_errno(errno));
    Mapping m(p, len, -1, path);
    auto* dst = static_cast<unsigned char*>(p);
    done = 0;
    while (done < len) {
        const ssize_t got = ::pread(fd, dst + done, len - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::unexpected(DafError::io_errno(errno));
        if (got == 0) return std::unexpected(DafError::changed_while_open(path));
        done += static_cast<std::size_t>(got);
    }
    swap_big_endian_image(dst, len);
    if (::mprotect(p, len, PROT_READ) != 0) return std::unexpected(DafError::io_errno(errno));
    return from_header(std::make_shared<const Mapping>(std::move(m)), -1, rules, DafByteOrder::Big);
}

std::expected<DafFile, DafError> DafFile::from_mmap(Mapping mapping) {
    const std::size_t len = mapping.size();
    if (len < kRecordBytes) return std::unexpected(DafError::too_small(len));
    return from_header(std::make_shared<const Mapping>(std::move(mapping)), -1);
}

std::expected<OpenedDaf, DafError> DafFile::from_descriptor(Mapping mapping, int fd) {
    const std::size_t len = mapping.size();
    if (len < kRecordBytes) return std::unexpected(DafError::too_small(len));
    auto f = from_header(std::make_shared<const Mapping>(std::move(mapping)), fd);
    if (!f) return std::unexpected(f.error());
    auto sums = f->walk_summaries(fd);
    return OpenedDaf{std::move(*f), std::move(sums)};
}

bool DafFile::read_at(int fd, std::uint64_t offset, std::size_t len, unsigned char* dst) const noexcept {
    if (offset > map_->size() || len > map_->size() - offset) return false;
    if (fd < 0) {
        std::memcpy(dst, map_->data() + offset, len);
        return true;
    }
    std::size_t done = 0;
    while (done < len) {
        const ssize_t got = ::pread(fd, dst + done, len - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

std::expected<DafFile, DafError> DafFile::from_header(std::shared_ptr<const Mapping> map, int fd, DafRules rules,
                                                      DafByteOrder order) {
    DafFile f(std::move(map));
    unsigned char b[96];
    if (!f.read_at(fd, 0, sizeof b, b)) return std::unexpected(DafError::changed_while_open(f.path()));
    const bool toolkit = rules == DafRules::Toolkit;
    if (std::memcmp(b, "DAF/", 4) != 0 && !(toolkit && std::memcmp(b, "NAIF/DAF", 8) == 0))
        return std::unexpected(DafError::bad_id_word(b));
    // A Big image was swapped by the caller; its word still says BIG-IEEE.
    const bool format_ok = std::memcmp(b + 88, "LTL-IEEE", 8) == 0 ||
                           (toolkit && (order == DafByteOrder::Big || blank_format(b + 88)));
    if (!format_ok) {
        if (!toolkit) return std::unexpected(DafError::unsupported_format(b + 88));
        return std::unexpected(DafError::unsupported_toolkit_format(b + 88));
    }
    f.order_ = order;
    std::memcpy(f.idword_, b, 8);
    f.nd_ = load<std::uint32_t>(b + 8);
    f.ni_ = load<std::uint32_t>(b + 12);
    f.fward_ = load<std::uint32_t>(b + 76);
    f.bward_ = load<std::uint32_t>(b + 80);
    return f;
}

// ---------------------------------------------------------------------------
// Summary walk

namespace {

// Blanks and NULs at the end of a name: the whole White_Space set for
// UTF-8, its ASCII members alone (HT, LF, VT, FF, CR, space) for names of
// ASCII bytes, which are nearly all names and give the same result.
std::string decode_name(const unsigned char* bytes, std::size_t size) {
    bool ascii = true;
    for (std::size_t i = 0; i < size; ++i) ascii = ascii && bytes[i] < 0x80;
    std::size_t n = size;
    if (ascii) {
        while (n > 0 && bytes[n - 1] == 0) --n;
        while (n > 0 && (bytes[n - 1] == ' ' || (bytes[n - 1] >= 9 && bytes[n - 1] <= 13))) --n;
        return std::string(reinterpret_cast<const char*>(bytes), n);
    }
    std::string name(reinterpret_cast<const char*>(bytes), size);
    if (!is_valid_utf8(name)) return {};
    while (!name.empty() && name.back() == '\0') name.pop_back();
    trim_trailing_white_space(name);
    return name;
}

}  // namespace

std::expected<std::vector<Summary>, DafError> DafFile::summaries() const { return walk_summaries(-1); }

std::string DafFile::kind() const {
    if (std::memcmp(idword_, "NAIF/DAF", 8) == 0) return nd_ == 2 && ni_ == 6 ? "SPK" : "?";
    std::string k(reinterpret_cast<const char*>(idword_) + 4, 4);
    while (!k.empty() && (k.back() == ' ' || k.back() == '\0')) k.pop_back();
    return k;
}

std::expected<std::string, DafError> DafFile::comments() const {
    // Each comment record carries 1000 characters.
    constexpr std::size_t kCommentChars = 1000;
    std::string out;
    if (fward_ < 3) return out;
    const std::uint64_t last = std::uint64_t{fward_} - 1;
    if (last * kRecordBytes > map_->size())
        return std::unexpected(DafError::comments_past_end(fward_, map_->size()));
    for (std::uint64_t rec = 2; rec <= last; ++rec) {
        const unsigned char* r = map_->data() + (rec - 1) * kRecordBytes;
        for (std::size_t i = 0; i < kCommentChars; ++i) {
            if (r[i] == 4) {
                if (auto ok = check_unchanged(); !ok) return std::unexpected(ok.error());
                return out;
            }
            out.push_back(r[i] == 0 ? '\n' : static_cast<char>(r[i]));
        }
    }
    if (auto ok = check_unchanged(); !ok) return std::unexpected(ok.error());
    return out;
}

std::expected<std::vector<Summary>, DafError> DafFile::walk_summaries(int fd) const {
    std::vector<Summary> out;
    const std::uint64_t file_len = map_->size();
    const std::uint64_t ss = std::uint64_t{nd_} + (std::uint64_t{ni_} + 1) / 2;
    const std::uint64_t sb = 8 * ss;
    // Every record of the chain is visited at most once: a chain that comes
    // back to a record it has read would otherwise loop for ever. The set
    // grows with the records visited, not with the file's length (a sparse
    // file may claim terabytes).
    std::unordered_set<std::uint32_t> visited;
    // A summary record and the name record after it.
    unsigned char pair[2 * kRecordBytes];

    std::uint32_t rec = fward_;
    while (rec != 0) {
        if (std::uint64_t{rec} * kRecordBytes > file_len)
            return std::unexpected(DafError::malformed_summary(rec, "record extends past end of file"));
        if ((std::uint64_t{rec} + 1) * kRecordBytes > file_len)
            return std::unexpected(DafError::malformed_summary(rec + 1, "record extends past end of file"));
        if (!visited.insert(rec).second)
            return std::unexpected(DafError::malformed_summary(rec, "summary chain revisits this record"));

        if (!read_at(fd, (std::uint64_t{rec} - 1) * kRecordBytes, sizeof pair, pair))
            return std::unexpected(DafError::changed_while_open(path()));
        const unsigned char* r = pair;
        const unsigned char* names = r + kRecordBytes;
        const std::uint64_t nsum = count_from_double(load<double>(r + 16));
        if (nsum != 0 && sb == 0)
            return std::unexpected(DafError::malformed_summary(rec, "summary size is zero (ND = NI = 0)"));
        // Room for the summaries the record can hold (a larger NSUM fails
        // below at the first summary past the end).
        if (sb != 0) out.reserve(out.size() + std::min<std::uint64_t>(nsum, (kRecordBytes - 24) / sb));
        for (std::uint64_t i = 0; i < nsum; ++i) {
            if (24 + (i + 1) * sb > kRecordBytes)
                return std::unexpected(DafError::malformed_summary(rec, "summary past end of record"));
            const unsigned char* s = r + 24 + i * sb;
            Summary sum;
            // An empty vector's data() may be null, and memcpy must not be
            // given null even for zero bytes: ND or NI may be 0.
            sum.doubles.resize(nd_);
            if (nd_ != 0) std::memcpy(sum.doubles.data(), s, std::size_t{nd_} * 8);
            sum.ints.resize(ni_);
            if (ni_ != 0) std::memcpy(sum.ints.data(), s + std::size_t{nd_} * 8, std::size_t{ni_} * 4);
            sum.name = decode_name(names + i * sb, static_cast<std::size_t>(sb));
            if (ni_ != 0) {
                const auto end = static_cast<std::uint32_t>(sum.ints[ni_ - 1]);
                if (end >= 1 && std::uint64_t{end} * 8 <= file_len) {
                    const std::uint32_t k = std::min<std::uint32_t>(end, 4);
                    if (!read_at(fd, (std::uint64_t{end} - k) * 8, std::size_t{k} * 8,
                                 reinterpret_cast<unsigned char*>(sum.tail.data() + (4 - k))))
                        return std::unexpected(DafError::changed_while_open(path()));
                    sum.tail_count = k;
                }
            }
            out.push_back(std::move(sum));
        }
        const double next = load<double>(r);
        if (std::isnan(next) || next <= 0.0) rec = 0;
        else if (next >= 4294967295.0) rec = 4294967295u;
        else rec = static_cast<std::uint32_t>(next);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Address reads

std::expected<std::span<const double>, DafError> DafFile::checked_range(std::uint32_t start,
                                                                        std::uint32_t end) const {
    const std::uint64_t len = map_->size();
    if (start < 1 || start > end || std::uint64_t{end} * 8 > len)
        return std::unexpected(DafError::address_out_of_range(start, end, len / 8));
    const auto* p = reinterpret_cast<const double*>(map_->data() + (std::uint64_t{start} - 1) * 8);
    return std::span<const double>(p, std::size_t{end} - start + 1);
}

std::expected<std::vector<double>, DafError> DafFile::read_doubles(std::uint32_t start, std::uint32_t end) const {
    auto s = checked_range(start, end);
    if (!s) return std::unexpected(s.error());
    return std::vector<double>(s->begin(), s->end());
}

std::expected<std::span<const double>, DafError> DafFile::slice_doubles(std::uint32_t start,
                                                                       std::uint32_t end) const {
    return checked_range(start, end);
}

}  // namespace kernwerk

namespace kernwerk {

// ---------------------------------------------------------------------------
// Fingerprint

void DafFingerprint::add(std::uint64_t offset, std::uint32_t length) {
    if (length == 0) return;
    regions_.push_back({offset, length});
    const unsigned char* p = daf_.map_->data() + offset;
    bytes_.insert(bytes_.end(), p, p + length);
}

std::shared_ptr<const DafFingerprint> DafFingerprint::capture(const DafFile& daf) {
    std::shared_ptr<DafFingerprint> fp(new DafFingerprint(daf));
    const std::uint64_t len = daf.size();
    const unsigned char* data = daf.map_->data();
    if (len < kRecordBytes || data == nullptr) return fp;
    fp->add(0, 96);
    std::vector<Region> trailers;
    // The chain as walk_summaries follows it, bounded the same way.
    const std::uint64_t ss = std::uint64_t{daf.nd()} + (std::uint64_t{daf.ni()} + 1) / 2;
    const std::uint64_t sb = 8 * ss;
    std::unordered_set<std::uint32_t> visited;
    std::uint32_t rec = daf.fward();
    while (rec != 0 && std::uint64_t{rec} * kRecordBytes <= len && visited.insert(rec).second) {
        const std::uint64_t at = (std::uint64_t{rec} - 1) * kRecordBytes;
        const unsigned char* r = data + at;
        const std::uint64_t nsum = count_from_double(load<double>(r + 16));
        const std::uint64_t fit = sb == 0 ? 0 : std::min<std::uint64_t>(nsum, (kRecordBytes - 24) / sb);
        fp->add(at, static_cast<std::uint32_t>(24 + fit * sb));
        for (std::uint64_t i = 0; i < fit && daf.ni() != 0; ++i) {
            const unsigned char* s = r + 24 + i * sb + std::uint64_t{daf.nd()} * 8;
            const auto end = static_cast<std::uint32_t>(load<std::int32_t>(s + (std::uint64_t{daf.ni()} - 1) * 4));
            if (end < 1 || std::uint64_t{end} * 8 > len) continue;
            const std::uint32_t k = std::min<std::uint32_t>(end, 4);
            trailers.push_back({(std::uint64_t{end} - k) * 8, k * 8});
        }
        const double next = load<double>(r);
        if (std::isnan(next) || next <= 0.0) rec = 0;
        else if (next >= 4294967295.0) rec = 4294967295u;
        else rec = static_cast<std::uint32_t>(next);
    }
    fp->structure_ = fp->regions_.size();
    for (const Region& t : trailers) fp->add(t.offset, t.length);
    return fp;
}

bool DafFingerprint::matches() const noexcept { return compare(structure_); }

bool DafFingerprint::matches_all() const noexcept { return compare(regions_.size()); }

bool DafFingerprint::compare(std::size_t regions) const noexcept {
    if (differs_.load(std::memory_order_relaxed)) return false;
    const unsigned char* data = daf_.map_->data();
    const unsigned char* want = bytes_.data();
    for (std::size_t i = 0; i < regions; ++i) {
        const Region& r = regions_[i];
        if (std::memcmp(data + r.offset, want, r.length) != 0) {
            differs_.store(true, std::memory_order_relaxed);
            return false;
        }
        want += r.length;
    }
    return true;
}

}  // namespace kernwerk
