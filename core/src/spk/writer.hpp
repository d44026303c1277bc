// SPK writer: Type 3 and Type 9 segments collected in memory, serialised into
// one DAF/SPK image and committed to disk by an atomic rename.
//
// Layout produced (binary format "LTL-IEEE", little-endian):
//   * records are 1024 bytes, numbered from 1; words ("addresses") are 8
//     bytes, numbered from 1; address ranges are inclusive at both ends;
//   * record 1 is the file record (LOCIDW "DAF/SPK ", ND = 2, NI = 6, LOCIFN,
//     FWARD = BWARD = 2, FREE, LOCFMT, the FTP validation string at byte 500);
//   * the comment records, when there are comments (see set_comments),
//     follow the file record; FWARD is then 2 plus their count;
//   * then the summary records, each followed by its name record: a summary
//     record holds NEXT, PREV (record numbers of its neighbours in the
//     chain, 0 at the ends), NSUM, then up to 25 summaries of 40 bytes
//     (start ET, end ET, target, center, frame, type, begin, end); its name
//     record the segment names, 40 blank-padded bytes each. BWARD is the
//     last summary record. A writer from new_spk has one such pair (at most
//     25 segments, the limit of NaifSpkWriter); one from new_spk_chained
//     has as many as its segments need;
//   * the segments' data follow back to back from the next record (address
//     385, byte 3072, with one pair and no comments); the image ends at the
//     next whole record.
// Type 3 data: records of MID, RADIUS and n coefficients of x, y, z, vx, vy,
// vz, then INIT, INTLEN, RSIZE = 2 + 6n, N. Type 9 data: N states of 6
// doubles, N epochs, every 100th epoch (the last excepted), degree, N.
// Epochs are TDB seconds past J2000; positions km, velocities km/s.
#pragma once

#include "daf/writer.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <sys/uio.h>
#include <utility>
#include <vector>

namespace kernwerk {

class SpkWriterError {
public:
    enum class Kind {
        Io,
        SegmentIdTooLong,
        TooManySegments,
        InvalidType3,
        InvalidType9,
        AddressRange,
        InvalidComment,
        InvalidType13,
    };

    // A system error: "I/O error: {strerror} (os error {code})".
    static SpkWriterError io_errno(int code);
    // An I/O failure without a system code: "I/O error: {text}".
    static SpkWriterError io_text(std::string text);
    static SpkWriterError segment_id_too_long(std::string id);
    static SpkWriterError too_many_segments(std::size_t count, std::size_t limit);
    static SpkWriterError invalid_type3(std::string reason);
    static SpkWriterError invalid_type9(std::string reason);
    static SpkWriterError invalid_type13(std::string reason);
    // The data would need addresses beyond the 32-bit range of a summary.
    static SpkWriterError address_range(std::uint64_t data_doubles);
    // A comment line holding a character the comment area cannot keep.
    static SpkWriterError invalid_comment(std::size_t line, std::size_t column, unsigned char byte);

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    // The rejected id (Kind::SegmentIdTooLong only).
    const std::string& segment_id() const noexcept { return id_; }
    // The system error number (Kind::Io from a system call), else 0.
    int os_error() const noexcept { return os_error_; }

private:
    SpkWriterError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
    std::string id_;
    int os_error_ = 0;
};

// Input of SpkWriter::add_type3 for callers that hold the records in a
// vector: record after record, each MID and RADIUS (seconds) followed by the
// n coefficients of x, y, z (km) and of vx, vy, vz (km/s), lowest order
// first, where n is `coefficients` (degree + 1).
struct Type3Segment {
    std::int32_t target = 0, center = 0, frame_id = 0;
    double start_et = 0, end_et = 0;  // coverage written into the summary
    std::string segment_id;          // at most 40 bytes of UTF-8
    double init = 0;                 // ET of the start of the first record
    double intlen = 0;               // seconds covered by each record
    std::size_t coefficients = 0;    // per component in every record
    std::vector<double> records;     // R records of 2 + 6 * coefficients doubles
};

struct Type9Segment {
    std::int32_t target = 0, center = 0, frame_id = 0;
    double start_et = 0, end_et = 0;
    std::string segment_id;
    std::int32_t degree = 0;       // of the Lagrange polynomial
    std::vector<double> states;    // 6N values: x, y, z, vx, vy, vz per epoch
    std::vector<double> epochs;    // N epochs, strictly increasing
};

// The same descriptions without the data, for callers that copy the data
// straight into the writer's storage (SpkWriter::add_type3_from and
// add_type9_from): the counts that fix the layout stand in for the arrays.
struct Type3Layout {
    std::int32_t target = 0, center = 0, frame_id = 0;
    double start_et = 0, end_et = 0;
    std::string segment_id;
    double init = 0, intlen = 0;
    std::size_t coefficients = 0;  // per component in every record
    std::size_t words = 0;         // doubles of all the records together
};

struct Type9Layout {
    std::int32_t target = 0, center = 0, frame_id = 0;
    double start_et = 0, end_et = 0;
    std::string segment_id;
    std::int32_t degree = 0;
    std::size_t states = 0;  // doubles of the states (6N when well formed)
    std::size_t epochs = 0;  // N
};

// Memory of its own for T values: an anonymous mapping, so that large
// buffers come as fresh pages (zeroed by the system, never cleared by the
// library) and go back to the system when freed. Throws std::bad_alloc when
// the memory cannot be had, as a vector would.
void* map_pages(std::size_t bytes, std::size_t& mapped);
void unmap_pages(void* data, std::size_t mapped) noexcept;

template <typename T>
class PageArray {
public:
    PageArray() = default;
    explicit PageArray(std::size_t count) : size_(count) {
        data_ = static_cast<T*>(map_pages(count * sizeof(T), mapped_));
    }
    PageArray(PageArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          mapped_(std::exchange(other.mapped_, 0)) {}
    PageArray& operator=(PageArray&& other) noexcept {
        if (this != &other) {
            if (data_) unmap_pages(data_, mapped_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            mapped_ = std::exchange(other.mapped_, 0);
        }
        return *this;
    }
    PageArray(const PageArray&) = delete;
    PageArray& operator=(const PageArray&) = delete;
    ~PageArray() {
        if (data_) unmap_pages(data_, mapped_);
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    T operator[](std::size_t i) const noexcept { return data_[i]; }
    std::vector<T> to_vector() const { return {begin(), end()}; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;
};

// Doubles of a segment's data; the content is undefined until written.
using WordBuffer = PageArray<double>;

// A segment as the writer holds it: its summary, its name and its data array
// exactly as the file stores it (Type 3: the records, INIT, INTLEN, RSIZE,
// N; Type 9: states, epochs, epoch directory, degree, N), so that writing it
// is handing the buffer to the system.
struct HeldSegment {
    std::int32_t data_type = 0;  // 3 or 9, any type for add_copied
    std::int32_t target = 0, center = 0, frame_id = 0;
    double start_et = 0, end_et = 0;
    std::string segment_id;
    WordBuffer words;
};

// A file image: zero-initialised, since its pages arrive zeroed, so the
// image is never cleared twice.
using ByteImage = PageArray<unsigned char>;

class SpkWriter {
public:
    // Summaries fit in one record: 3 control words + 25 * 5 words = 128.
    static constexpr std::size_t kMaxSegments = 25;
    // FREE = 385 + D is a signed 32-bit address.
    static constexpr std::uint64_t kMaxDataDoubles = 2147483647u - 385u;

    // An empty writer; `locifn` is cut or blank-padded to 60 bytes. It holds
    // at most kMaxSegments segments (checked by write and to_bytes).
    static SpkWriter new_spk(std::string_view locifn);
    // The same without a segment limit: the summaries and names take as many
    // chained record pairs as the segments need. With at most 25 segments
    // and no comments its file is byte for byte that of new_spk.
    static SpkWriter new_spk_chained(std::string_view locifn);

    // The comment area: `lines` kept in comment records after the file
    // record as the toolkit keeps them (1000 characters per record, each
    // line ended by NUL, the text by EOT, 0x04), replacing comments set
    // before. Lines hold printable ASCII (32 to 126) only; a line with any
    // other byte is refused, naming the line and column (from 1), and the
    // writer is left as it was. No lines, no comment records.
    std::expected<void, SpkWriterError> set_comments(const std::vector<std::string>& lines);
    std::size_t comment_records() const noexcept { return dafw::comment_records(comments_.size()); }

    // Validate and copy a segment. A rejected segment leaves the writer as it
    // was.
    std::expected<void, SpkWriterError> add_type3(const Type3Segment& segment);
    std::expected<void, SpkWriterError> add_type9(const Type9Segment& segment);
    // Type 13 (Hermite interpolation of unequally spaced states): the
    // arrays of Type 9, `degree` odd (1 to kMaxDegree), windows of (degree +
    // 1) / 2 states; the checks and limits of the toolkit's spkw13.
    std::expected<void, SpkWriterError> add_type13(const Type9Segment& segment);

    // The same with the data copied by the caller, once, straight into the
    // segment's place in the writer's storage: `fill_records(dst)` writes
    // the layout's `words` doubles of records; `fill(states, epochs)` writes
    // the layout's `states` and `epochs` doubles. Fill is called only when
    // the layout's counts and bounds are valid; a Type 9 segment whose
    // copied epochs then fail their checks is discarded. The checks and
    // their messages are those of add_type3 and add_type9.
    using FillRecords = std::function<void(double* records)>;
    using FillStates = std::function<void(double* states, double* epochs)>;
    std::expected<void, SpkWriterError> add_type3_from(const Type3Layout& layout, const FillRecords& fill_records);
    std::expected<void, SpkWriterError> add_type9_from(const Type9Layout& layout, const FillStates& fill);
    std::expected<void, SpkWriterError> add_type13_from(const Type9Layout& layout, const FillStates& fill);

    // A segment of any data type, its data array of `words` doubles laid
    // out by the caller as the type's readers expect (`fill(dst)` writes
    // them): for copying segments of other files, whose readers validated
    // them. Only the name's length and the address range are checked.
    std::expected<void, SpkWriterError> add_copied(std::int32_t data_type, std::int32_t target, std::int32_t center,
                                                   std::int32_t frame_id, double start_et, double end_et,
                                                   const std::string& segment_id, std::size_t words,
                                                   const FillRecords& fill);

    // The complete file image: 1024 * (1 + C + 2 S + ceil(D / 128)) bytes for
    // C comment records, S summary records and D data doubles.
    std::expected<ByteImage, SpkWriterError> to_bytes() const;
    // Writes the file to a new staging file beside `path` (the header
    // records and every segment's buffer in one vectored write), syncs it, renames
    // it over `path` and syncs the directory: `path` holds its old content or
    // the complete new file, never a part. The staging file is created
    // exclusively under a random name (temporary_path(path) + "." + the
    // writer's process id + "." + 12 random letters and digits, never
    // following a link), so no existing file is touched and concurrent
    // writers never share one; it is removed on every failure, and locked
    // (flock) while it is written. Only a process killed during the write
    // can leave it behind: each write first removes, in the folder of
    // `path`, the staging files (named so) of processes that no longer exist
    // and that no one holds locked.
    std::expected<void, SpkWriterError> write(const std::string& path) const;

    // The stem of the staging files of `write`: the extension of the last
    // component replaced by "tmp" (or ".tmp" appended when there is none; a
    // leading dot starts no extension). A name whose extension is already
    // "tmp" gets ".tmp" appended. `write` appends a random suffix to it.
    static std::string temporary_path(const std::string& path);

    // The largest degree the SPICE toolkit's writers accept for Types 3 and 9
    // (spkw03 and spkw09 refuse 28 and above; its Type 3 reader fails from
    // degree 32, its Type 9 reader from 28).
    static constexpr std::int32_t kMaxDegree = 27;

    // FREE, the first address after D data doubles, or the address-range
    // error when it does not fit a signed 32-bit integer (one summary record
    // pair, no comments).
    static std::expected<std::uint32_t, SpkWriterError> free_address(std::uint64_t data_doubles);
    // Summary records for `segments` segments (one at least).
    static std::size_t summary_records(std::size_t segments) noexcept {
        return dafw::summary_records(segments);
    }
    // The segment limit, 0 for none.
    std::size_t segment_limit() const noexcept { return limit_; }

    const std::vector<HeldSegment>& segments() const noexcept { return segments_; }
    const char* locidw() const noexcept { return locidw_; }
    const char* locifn() const noexcept { return locifn_; }

private:
    SpkWriter() = default;

    // Records before the data: file record, comment records, summary and
    // name record pairs.
    std::size_t header_records() const noexcept {
        return dafw::header_records(comments_.size(), segments_.size());
    }
    // The records before the data (file record, comments, summaries,
    // names) for the segments held, header_records() * 1024 bytes; the
    // layout must have been checked.
    void put_header(unsigned char* b, std::uint32_t free) const noexcept;
    std::expected<std::uint32_t, SpkWriterError> checked_free() const;
    // FREE with `segments` segments of `data_doubles` doubles in all, or the
    // address-range error.
    std::expected<std::uint32_t, SpkWriterError> layout_free(std::size_t segments,
                                                             std::uint64_t data_doubles) const;
    // Refuses a segment of `words` doubles that would take the data beyond
    // the 32-bit addresses, before its storage is allocated.
    std::expected<void, SpkWriterError> check_room(std::size_t words) const;
    // Types 9 and 13 (`type`), which share their layout.
    std::expected<void, SpkWriterError> add_discrete(int type, const Type9Layout& layout, const FillStates& fill);
    std::expected<void, SpkWriterError> add_discrete(int type, const Type9Segment& segment);

    std::vector<HeldSegment> segments_;
    std::uint64_t data_doubles_ = 0;
    std::size_t limit_ = kMaxSegments;
    std::string comments_;  // the comment area's characters: lines, NULs, EOT
    char locidw_[8] = {'D', 'A', 'F', '/', 'S', 'P', 'K', ' '};
    char locifn_[60] = {};
};

namespace detail {

// The write loop of SpkWriter::write, with the system call passed in so that
// short writes, interruptions and failures can be exercised: repeats the call
// until all `len` bytes are out, repeats a call interrupted by a signal, and
// reports a call that writes nothing as "failed to write whole buffer".
using WriteCall = ssize_t (*)(int fd, const void* buf, std::size_t count);
std::expected<void, SpkWriterError> write_fully(int fd, const unsigned char* p, std::size_t len, WriteCall call);

// The same for a vectored write of `count` buffers (writev(2) semantics): a
// short write resumes inside the buffer where it stopped.
using WritevCall = ssize_t (*)(int fd, const struct iovec* iov, int count);
std::expected<void, SpkWriterError> writev_fully(int fd, struct iovec* iov, int count, WritevCall call);

}  // namespace detail

}  // namespace kernwerk
