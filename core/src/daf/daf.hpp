// DAF container reader.
//
// Layout relied on (binary format "LTL-IEEE", read in place on a
// little-endian host; see DafRules for the other files taken):
//   * records are 1024 bytes, numbered from 1;
//   * words are 8 bytes, numbered from 1 (a word number is an "address"); all
//     address ranges are inclusive at both ends;
//   * record 1 is the file record: LOCIDW at byte 0 ("DAF/" + 4 free bytes),
//     ND at 8, NI at 12, LOCIFN at 16, FWARD at 76, BWARD at 80, FREE at 84,
//     LOCFMT at 88;
//   * a summary takes SS = ND + ceil(NI / 2) words: ND doubles, then NI packed
//     32-bit integers;
//   * a summary record holds NEXT, PREV, NSUM (as doubles) and then NSUM
//     summaries; the record after it holds their names, 8 * SS bytes each;
//   * records 2 .. FWARD-1 are the comment area: 1000 characters each, an
//     end of line written as NUL and the end of the comments as EOT (4).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kernwerk {

class DafError {
public:
    enum class Kind { Io, TooSmall, BadIdWord, UnsupportedFormat, MalformedSummary, AddressOutOfRange, Changed };

    // {what} is the system's description of the error followed by
    // " (os error {code})".
    static DafError io_errno(int code);
    // A non-system I/O failure with a fixed text.
    static DafError io_text(std::string text);
    static DafError too_small(std::uint64_t len);
    static DafError bad_id_word(const unsigned char bytes[8]);
    static DafError unsupported_format(const unsigned char bytes[8]);
    // The same under DafRules::Toolkit, which reads more formats.
    static DafError unsupported_toolkit_format(const unsigned char bytes[8]);
    // A comment area that FWARD places past the end of the file.
    static DafError comments_past_end(std::uint32_t fward, std::uint64_t len);
    static DafError malformed_summary(std::uint32_t record, std::string reason);
    static DafError address_out_of_range(std::uint32_t start, std::uint32_t end, std::uint64_t count);
    // "kernel file changed while open: {path} (...)": a read met a page that
    // vanished because another process truncated or rewrote the file.
    static DafError changed_while_open(const std::string& path);

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    // The system's error number of an Io error from a system call, else 0.
    int os_errno() const noexcept { return errno_; }

private:
    DafError(Kind kind, std::string message, int os_errno = 0)
        : kind_(kind), message_(std::move(message)), errno_(os_errno) {}
    Kind kind_;
    std::string message_;
    int errno_ = 0;
};

// One decoded summary: ND doubles, NI ints and the segment name.
struct Summary {
    std::vector<double> doubles;
    std::vector<std::int32_t> ints;
    std::string name;
    // The last words of the summary's array, read with the summary: words
    // end-3 .. end, where end is the last integer (the array's final
    // address), as far as they lie in the file; tail[4 - tail_count .. 3]
    // are valid. Segment readers take their trailers from here, so that
    // opening a file reads nothing else.
    std::array<double, 4> tail{};
    std::uint32_t tail_count = 0;

    // Words end-(k-1) .. end of the array ending at `end`, when this
    // summary's tail holds them.
    const double* tail_words(std::uint32_t end, std::uint32_t k) const noexcept {
        if (ints.empty() || static_cast<std::uint32_t>(ints.back()) != end || k > tail_count) return nullptr;
        return tail.data() + (4 - k);
    }
};

class DafFile;

// Which file records a reader takes.
//   * Strict: the identification word "DAF/..." and the format LTL-IEEE
//     only (the documented behaviour of the low-level readers).
//   * Toolkit: also what the toolkit reads: the old identification word
//     "NAIF/DAF" (whose kind getfat tells from ND and NI: SPK for ND = 2 and
//     NI = 6, unknown otherwise), a blank or NUL format word taken as the
//     native (little-endian) format, and BIG-IEEE files. A BIG-IEEE file is
//     read once at open into a private image in which every number is
//     swapped into the native order (the file record's integers, each
//     summary's doubles and integers, the arrays' words; comments and names
//     stay as they are), so that every reader reads it in place like a
//     little-endian file and little-endian files pay nothing.
enum class DafRules : std::uint8_t { Strict, Toolkit };

// The byte order a file's numbers were stored in.
enum class DafByteOrder : std::uint8_t { Little, Big };

// A DAF opened by path with its summaries (or the error of walking their
// chain), read with pread(2) at open.
struct OpenedDaf;

// A read-only mapping of a whole file; unmapped when destroyed. A mapping of
// a file (DafFile::open) is registered with the SIGBUS guard (map_guard.hpp)
// for its whole life, so that a page that vanishes under a read is replaced
// by zeros and reported through changed() instead of ending the process.
class Mapping {
public:
    Mapping() = default;
    Mapping(const void* base, std::size_t len) noexcept : base_(base), len_(len) {}
    // Takes over a mapping of the file at `path` that holds guard slot
    // `guard` (-1 for none).
    Mapping(const void* base, std::size_t len, int guard, std::string path) noexcept
        : base_(base), len_(len), guard_(guard), path_(std::move(path)) {}
    Mapping(Mapping&& other) noexcept;
    Mapping& operator=(Mapping&& other) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping();

    // A private read-only mapping holding a copy of `bytes` (tests, fuzzing,
    // in-memory kernels).
    static std::expected<Mapping, DafError> copy_of(std::span<const unsigned char> bytes);
    // The first `len` bytes of the open file `fd`, mapped read-only and
    // registered with the SIGBUS guard, so that changed() reports a file cut
    // under the mapping instead of the process dying. When every guard slot
    // is taken, the bytes are read into private memory instead (they can then
    // never vanish). `path` names the file in the Changed error. Any reader
    // that maps kernels itself should map them through this call. `fd` stays
    // open; it may be closed once this returns.
    static std::expected<Mapping, DafError> map_file(int fd, std::size_t len, std::string path);

    const unsigned char* data() const noexcept { return static_cast<const unsigned char*>(base_); }
    std::size_t size() const noexcept { return len_; }
    // The path the file was opened by; empty for memory images.
    const std::string& path() const noexcept { return path_; }
    // True once a read met a page that vanished (the file shrank under us),
    // or the file's last non-zero byte reads otherwise than at the mapping
    // (a cut inside the last page, which faults nowhere: the page stays,
    // zero-filled past the new end); reads the last byte first (see
    // DafFile::changed).
    bool changed() const noexcept;

private:
    void release() noexcept;
    // Notes the last non-zero byte among the last 64 KiB, read through the
    // mapping at map time.
    void note_tail() noexcept;

    const void* base_ = nullptr;
    std::size_t len_ = 0;
    int guard_ = -1;
    std::string path_;
    std::size_t tail_at_ = 0;
    unsigned char tail_value_ = 0;  // 0: no non-zero byte noted
    mutable std::atomic<bool> cut_{false};
};

// Handle to one open, validated DAF file. Copies share the mapping (one atomic
// reference count); the mapping is removed when the last copy goes.
class DafFile {
public:
    static std::expected<DafFile, DafError> open(const std::string& path);
    // The file at `path` under `rules` (open_descriptor on its descriptor).
    static std::expected<DafFile, DafError> open(const std::string& path, DafRules rules);
    // The same with the summaries. The header, the summary and name records
    // and the array tails are read with pread(2) from the descriptor, never
    // through the mapping: touching a page of a mapped file maps (and at
    // unmap tears down) a whole folio of pages around it, which for a large
    // kernel costs more than all the reads. The length is checked again
    // before the descriptor is closed, so a file cut during the open is
    // reported as changed.
    static std::expected<OpenedDaf, DafError> open_with_summaries(const std::string& path);
    static std::expected<DafFile, DafError> from_mmap(Mapping mapping);
    // The mapping of the open file `fd` (Mapping::map_file) with its
    // summaries read from `fd`; the descriptor stays the caller's.
    static std::expected<OpenedDaf, DafError> from_descriptor(Mapping mapping, int fd);
    static std::expected<DafFile, DafError> from_bytes(std::span<const unsigned char> bytes,
                                                       DafRules rules = DafRules::Strict);
    // The open file `fd` of `len` bytes under `rules`: a native file is
    // mapped (Mapping::map_file), a BIG-IEEE one read into a swapped private
    // image. The header is read with pread(2); the descriptor stays the
    // caller's.
    static std::expected<DafFile, DafError> open_descriptor(int fd, std::size_t len, std::string path,
                                                            DafRules rules);

    // Every summary of the chain, in chain order and stored order.
    std::expected<std::vector<Summary>, DafError> summaries() const;
    // The doubles at addresses start..end (inclusive, from 1), copied.
    std::expected<std::vector<double>, DafError> read_doubles(std::uint32_t start, std::uint32_t end) const;
    // The same doubles as a view into the mapping, valid while a handle lives.
    std::expected<std::span<const double>, DafError> slice_doubles(std::uint32_t start, std::uint32_t end) const;
    // The first of the doubles start..end in the mapping, or null when the
    // range is not in the file (the checks of slice_doubles without an
    // error value, for hot loops).
    const double* doubles_at(std::uint32_t start, std::uint32_t end) const noexcept {
        const std::uint64_t len = map_->size();
        if (start < 1 || start > end || std::uint64_t{end} * 8 > len) return nullptr;
        return reinterpret_cast<const double*>(map_->data() + (std::uint64_t{start} - 1) * 8);
    }

    const unsigned char* id_word() const noexcept { return idword_; }
    // The order the file's numbers were stored in (a Big file is read from
    // its swapped image).
    DafByteOrder byte_order() const noexcept { return order_; }
    // The file's kind as the toolkit's getfat tells it: the characters after
    // "DAF/" without trailing blanks and NULs ("SPK", "PCK", "CK"); for the
    // old word "NAIF/DAF", "SPK" when ND = 2 and NI = 6 and "?" otherwise.
    std::string kind() const;
    // The comment area (records 2 .. FWARD-1) as text: each NUL ends a
    // line ("\n"), the first EOT ends the comments. Empty when there is
    // none.
    std::expected<std::string, DafError> comments() const;
    std::uint32_t nd() const noexcept { return nd_; }
    std::uint32_t ni() const noexcept { return ni_; }
    std::uint32_t fward() const noexcept { return fward_; }
    std::uint32_t bward() const noexcept { return bward_; }
    // File length in bytes.
    std::size_t size() const noexcept { return map_->size(); }
    // Handles alive on this mapping (for tests of lifetime).
    long use_count() const noexcept { return map_.use_count(); }
    // The path given to open(); empty for images from memory.
    const std::string& path() const noexcept { return map_->path(); }

    // Whether the file changed under its mapping. A file truncated or
    // rewritten in place by another process while it is open makes reads of
    // the vanished pages fault; the guard then maps zeros there, so such a
    // read returns garbage instead of ending the process. Any call that read
    // through this file must therefore check, once at its end, that nothing
    // changed, and discard its result if something did:
    //
    //     if (auto ok = daf.check_unchanged(); !ok) return std::unexpected(ok.error());
    //
    // changed() costs one read of the file's last byte (which faults when the
    // file now ends before its last page) and one atomic load; once true it
    // stays true for this handle and all its copies (open the file again to
    // read its new content). A file rewritten in place to its old length or
    // longer faults nowhere and is not seen: kernels must be replaced by a
    // rename, never rewritten in place.
    bool changed() const noexcept { return map_->changed(); }
    // Success, or the Changed error naming the file.
    std::expected<void, DafError> check_unchanged() const;

private:
    friend class DafFingerprint;
    explicit DafFile(std::shared_ptr<const Mapping> map) : map_(std::move(map)) {}
    // Reads `len` bytes at `offset` into `dst` from `fd`, or from the
    // mapping when fd < 0; false when the file ends first.
    bool read_at(int fd, std::uint64_t offset, std::size_t len, unsigned char* dst) const noexcept;
    static std::expected<DafFile, DafError> from_header(std::shared_ptr<const Mapping> map, int fd,
                                                        DafRules rules = DafRules::Strict,
                                                        DafByteOrder order = DafByteOrder::Little);
    std::expected<std::vector<Summary>, DafError> walk_summaries(int fd) const;
    std::expected<std::span<const double>, DafError> checked_range(std::uint32_t start, std::uint32_t end) const;

    std::shared_ptr<const Mapping> map_;
    unsigned char idword_[8] = {};
    std::uint32_t nd_ = 0, ni_ = 0, fward_ = 0, bward_ = 0;
    DafByteOrder order_ = DafByteOrder::Little;
};

// The bytes of a DAF's structure as they were when the file was opened: the
// header of record 1 (ND, NI, FWARD, BWARD, FREE, the format), the used part
// of every summary record of the chain and the last four words of every
// array (where readers keep their trailers).
// Readers built at open hold what these bytes said (segment lists,
// directories, record sizes); compared with the mapping, they tell whether
// the file still is the one that was read.
//
//   * A file rewritten in place (cp of another kernel of the same size, an
//     editor, a download that truncates first) shows through the shared
//     mapping: its new summaries or trailers differ from the copies, and the
//     readers' view of the file is stale.
//
// A rewrite that keeps every one of these bytes (only coefficients
// changed) keeps the readers' view valid: queries read the new data in
// place. Comparing costs a few hundred bytes per file and no system call.
class DafFingerprint {
public:
    // The copies, read through `daf`'s mapping; `daf` is kept (its mapping is
    // what matches() reads).
    static std::shared_ptr<const DafFingerprint> capture(const DafFile& daf);

    // True while the mapping shows the header and summary records captured
    // (the check of every query: these lie in one or two pages, where the
    // array trailers are spread over the whole file and would cost a page
    // walk each). Once false it stays false: a file that changed while open
    // is never trusted again, even if its bytes come back.
    bool matches() const noexcept;
    // The same with the array trailers too (the file cache's check before it
    // hands out a reader it holds).
    bool matches_all() const noexcept;
    // The file whose mapping is compared.
    const DafFile& file() const noexcept { return daf_; }
    // Bytes compared per check (for tests and measurements).
    std::size_t compared_bytes() const noexcept { return bytes_.size(); }

private:
    struct Region {
        std::uint64_t offset;
        std::uint32_t length;
    };
    explicit DafFingerprint(DafFile daf) : daf_(std::move(daf)) {}
    void add(std::uint64_t offset, std::uint32_t length);

    bool compare(std::size_t regions) const noexcept;

    DafFile daf_;
    std::vector<Region> regions_;    // header and summary records, then trailers
    std::size_t structure_ = 0;      // regions of the header and summary records
    std::vector<unsigned char> bytes_;
    mutable std::atomic<bool> differs_{false};
};

struct OpenedDaf {
    DafFile file;
    std::expected<std::vector<Summary>, DafError> summaries;
};

// The first changed file among `files` (any range of DafFile), as its
// Changed error; success when none changed. For readers that hold several
// files: call it once at the end of every call that read through them.
template <typename Files>
std::expected<void, DafError> check_unchanged(const Files& files) {
    for (const DafFile& f : files)
        if (f.changed()) return f.check_unchanged();
    return {};
}

}  // namespace kernwerk
