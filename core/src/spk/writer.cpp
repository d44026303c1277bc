#include "spk/writer.hpp"

#include "base/common.hpp"
#include "daf/atomic_write.hpp"
#include "daf/writer.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <new>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <chrono>
#include <atomic>
#include <type_traits>
#include <unistd.h>
#include <string_view>
#include <utility>

namespace kernwerk {

namespace {

constexpr std::size_t kRecordBytes = dafw::kRecordBytes;
constexpr std::size_t kNameBytes = dafw::kNameBytes;  // 8 * (ND + NI / 2) for ND = 2, NI = 6
constexpr std::size_t kRecordWords = dafw::kRecordWords;
constexpr std::size_t kLocifnBytes = 60;

// Directory entries of a Type 9 segment: every 100th epoch, the last excepted.
std::uint64_t directory_length(std::uint64_t n) noexcept { return n == 0 ? 0 : (n - 1) / 100; }


}  // namespace

// Fresh anonymous pages for `bytes` bytes (rounded up to whole pages, at
// least one), all of them mapped at once (one call instead of a page fault
// per page while the data are copied in). Throws bad_alloc. No huge pages
// are asked for: where the system compacts memory to serve them, a fault
// can stall for hundreds of milliseconds (seen in the write benchmark).
void* map_pages(std::size_t bytes, std::size_t& mapped) {
    static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    mapped = (std::max<std::size_t>(bytes, 1) + page - 1) / page * page;
    void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return p;
}

void unmap_pages(void* data, std::size_t mapped) noexcept { ::munmap(data, mapped); }

// ---------------------------------------------------------------------------
// Errors

SpkWriterError SpkWriterError::io_errno(int code) {
    SpkWriterError e(Kind::Io,
                     "I/O error: " + std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")");
    e.os_error_ = code;
    return e;
}

SpkWriterError SpkWriterError::io_text(std::string text) { return {Kind::Io, "I/O error: " + text}; }

SpkWriterError SpkWriterError::segment_id_too_long(std::string id) {
    SpkWriterError e(Kind::SegmentIdTooLong, "segment id '" + id + "' is longer than 40 bytes after UTF-8 encoding");
    e.id_ = std::move(id);
    return e;
}

SpkWriterError SpkWriterError::too_many_segments(std::size_t count, std::size_t limit) {
    return {Kind::TooManySegments, "too many segments (" + std::to_string(count) +
                                       "); single summary record holds at most " + std::to_string(limit)};
}

SpkWriterError SpkWriterError::invalid_type3(std::string reason) {
    return {Kind::InvalidType3, "invalid Type 3 segment: " + reason};
}

SpkWriterError SpkWriterError::invalid_type9(std::string reason) {
    return {Kind::InvalidType9, "invalid Type 9 segment: " + reason};
}

SpkWriterError SpkWriterError::invalid_type13(std::string reason) {
    return {Kind::InvalidType13, "invalid Type 13 segment: " + reason};
}

SpkWriterError SpkWriterError::invalid_comment(std::size_t line, std::size_t column, unsigned char byte) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(byte));
    return {Kind::InvalidComment, "comment line " + std::to_string(line) + ", column " + std::to_string(column) +
                                      ": byte " + hex +
                                      " is not printable ASCII (32 to 126), the only characters a comment area "
                                      "keeps"};
}

SpkWriterError SpkWriterError::address_range(std::uint64_t data_doubles) {
    return {Kind::AddressRange, "segment data too large for a DAF file: " + std::to_string(data_doubles) +
                                    " doubles, at most " + std::to_string(SpkWriter::kMaxDataDoubles) +
                                    " fit its 32-bit addresses"};
}

// ---------------------------------------------------------------------------
// Image buffer

// ---------------------------------------------------------------------------
// Segments

SpkWriter SpkWriter::new_spk(std::string_view locifn) {
    SpkWriter w;
    // Cut at byte 60 even inside a multi-byte character, as the field is bytes.
    std::memset(w.locifn_, ' ', kLocifnBytes);
    std::memcpy(w.locifn_, locifn.data(), std::min(locifn.size(), kLocifnBytes));
    return w;
}

SpkWriter SpkWriter::new_spk_chained(std::string_view locifn) {
    SpkWriter w = new_spk(locifn);
    w.limit_ = 0;
    return w;
}

std::expected<void, SpkWriterError> SpkWriter::set_comments(const std::vector<std::string>& lines) {
    auto text = dafw::comment_area(lines);
    if (!text) return std::unexpected(SpkWriterError::invalid_comment(text.error().line, text.error().column,
                                                                      text.error().byte));
    // The comment records move the data: the new layout must still fit.
    std::string old = std::exchange(comments_, std::move(*text));
    if (auto ok = layout_free(segments_.size(), data_doubles_); !ok) {
        comments_ = std::move(old);
        return std::unexpected(ok.error());
    }
    return {};
}

std::expected<void, SpkWriterError> SpkWriter::add_type3(const Type3Segment& segment) {
    const Type3Layout layout{segment.target,   segment.center, segment.frame_id,     segment.start_et,
                             segment.end_et,   segment.segment_id, segment.init,     segment.intlen,
                             segment.coefficients, segment.records.size()};
    return add_type3_from(layout, [&](double* dst) {
        if (!segment.records.empty()) std::memcpy(dst, segment.records.data(), segment.records.size() * 8);
    });
}

std::expected<void, SpkWriterError> SpkWriter::add_type9(const Type9Segment& segment) {
    return add_discrete(9, segment);
}

std::expected<void, SpkWriterError> SpkWriter::add_type13(const Type9Segment& segment) {
    return add_discrete(13, segment);
}

std::expected<void, SpkWriterError> SpkWriter::add_discrete(int type, const Type9Segment& segment) {
    const Type9Layout layout{segment.target, segment.center,     segment.frame_id,      segment.start_et,
                             segment.end_et, segment.segment_id, segment.degree,        segment.states.size(),
                             segment.epochs.size()};
    return add_discrete(type, layout, [&](double* states, double* epochs) {
        if (!segment.states.empty()) std::memcpy(states, segment.states.data(), segment.states.size() * 8);
        if (!segment.epochs.empty()) std::memcpy(epochs, segment.epochs.data(), segment.epochs.size() * 8);
    });
}

namespace {

// The first non-finite value of `values` as "{what} ... at index i", with
// its row and column when the array has rows of `row` values; empty when
// every value is finite. A NaN or infinity would be stored as given and read
// back as NaN states or an unbounded coverage.
std::string first_non_finite(const char* what, const double* values, std::size_t n, std::size_t row) {
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isfinite(values[i])) continue;
        std::string out = std::string(what) + " holds a non-finite value (" + format_double(values[i]) +
                          ") at index " + std::to_string(i);
        if (row > 1) out += " (row " + std::to_string(i / row) + ", column " + std::to_string(i % row) + ")";
        return out;
    }
    return {};
}

}  // namespace

std::expected<void, SpkWriterError> SpkWriter::add_type3_from(const Type3Layout& s, const FillRecords& fill) {
    if (s.segment_id.size() > kNameBytes) return std::unexpected(SpkWriterError::segment_id_too_long(s.segment_id));
    if (s.words == 0) return std::unexpected(SpkWriterError::invalid_type3("empty records"));
    if (s.coefficients == 0) return std::unexpected(SpkWriterError::invalid_type3("degree < 0"));
    // Whole records only, each of 2 + 6n doubles. A record holds more than n
    // doubles, so n beyond the records' size is refused before 2 + 6n could
    // wrap.
    if (s.coefficients > s.words || s.words % (2 + 6 * s.coefficients) != 0)
        return std::unexpected(SpkWriterError::invalid_type3("inconsistent coefficient count"));
    // NaN passes: only a comparison that holds rejects.
    if (s.intlen <= 0.0) return std::unexpected(SpkWriterError::invalid_type3("INTLEN must be > 0"));
    // Limits of the toolkit's writers and readers, after the checks above so
    // that their messages keep precedence.
    if (s.coefficients > std::size_t{kMaxDegree} + 1)
        return std::unexpected(SpkWriterError::invalid_type3(
            "degree " + std::to_string(s.coefficients - 1) + " is outside 0.." + std::to_string(kMaxDegree) +
            ", the range SPICE readers support"));
    // The coverage must lie inside the records, as the toolkit requires.
    const std::size_t rsize = 2 + 6 * s.coefficients;
    const std::size_t n = s.words / rsize;
    const double data_end = s.init + static_cast<double>(n) * s.intlen;
    if (s.start_et > s.end_et)
        return std::unexpected(SpkWriterError::invalid_type3("start_et " + format_double(s.start_et) +
                                       " is after end_et " + format_double(s.end_et)));
    if (s.start_et < s.init)
        return std::unexpected(SpkWriterError::invalid_type3("start_et " + format_double(s.start_et) +
                                       " is before the first record, which starts at INIT " +
                                                             format_double(s.init)));
    if (s.end_et > data_end)
        return std::unexpected(SpkWriterError::invalid_type3("end_et " + format_double(s.end_et) +
                                       " is after the last record, which ends at " +
                                                             format_double(data_end)));

    if (auto ok = check_room(s.words + 4); !ok) return ok;
    // The records as given, then INIT, INTLEN, RSIZE, N.
    HeldSegment held{3, s.target, s.center, s.frame_id, s.start_et, s.end_et, s.segment_id, WordBuffer(s.words + 4)};
    double* w = held.words.data();
    fill(w);
    // Non-finite values last, so that the checks above keep their messages.
    const double scalars[] = {s.init, s.intlen, s.start_et, s.end_et};
    const char* const scalar_names[] = {"init", "intlen", "start_et", "end_et"};
    for (std::size_t i = 0; i < 4; ++i)
        if (!std::isfinite(scalars[i]))
            return std::unexpected(SpkWriterError::invalid_type3(std::string(scalar_names[i]) + " is " +
                                                                 format_double(scalars[i]) + ", not a finite number"));
    if (auto bad = first_non_finite("records_coeffs", w, s.words, rsize); !bad.empty())
        return std::unexpected(SpkWriterError::invalid_type3(std::move(bad)));
    w += s.words;
    w[0] = s.init;
    w[1] = s.intlen;
    w[2] = static_cast<double>(rsize);
    w[3] = static_cast<double>(n);
    data_doubles_ += held.words.size();
    segments_.push_back(std::move(held));
    return {};
}

std::expected<void, SpkWriterError> SpkWriter::add_type9_from(const Type9Layout& s, const FillStates& fill) {
    return add_discrete(9, s, fill);
}

std::expected<void, SpkWriterError> SpkWriter::add_type13_from(const Type9Layout& s, const FillStates& fill) {
    return add_discrete(13, s, fill);
}

// Types 9 and 13 share their layout and checks: Type 9 windows hold degree
// + 1 states (Lagrange), Type 13 windows (degree + 1) / 2 (Hermite, each
// state giving a value and a derivative), so its degree must be odd; the
// word before N is the degree for Type 9 and the window size less one for
// Type 13, as the toolkit's readers take them.
std::expected<void, SpkWriterError> SpkWriter::add_discrete(int type, const Type9Layout& s, const FillStates& fill) {
    const auto invalid = [type](std::string reason) {
        return type == 9 ? SpkWriterError::invalid_type9(std::move(reason))
                         : SpkWriterError::invalid_type13(std::move(reason));
    };
    if (s.segment_id.size() > kNameBytes) return std::unexpected(SpkWriterError::segment_id_too_long(s.segment_id));
    const std::size_t n = s.epochs;
    if (n == 0) return std::unexpected(invalid("no epochs"));
    if (s.states / 6 != n || s.states % 6 != 0)
        return std::unexpected(invalid("states length != 6 * epochs length"));
    if (s.degree < 1) return std::unexpected(invalid("degree < 1"));
    if (type == 13 && s.degree % 2 == 0)
        return std::unexpected(invalid("degree " + std::to_string(s.degree) +
                                       " is even: Hermite interpolation has odd degrees (1, 3, 5, ...)"));
    // spkw13 writes degree 1 (windows of one state, stored as 0), but the
    // readers here refuse a Type 13 window below 2: nothing is written that
    // kernwerk would not read back.
    if (type == 13 && s.degree == 1)
        return std::unexpected(invalid("degree 1 makes windows of one state, which kernwerk's readers refuse; "
                                       "use degree 3 or more"));
    // The window in 64 bits: the largest 32-bit degree does not wrap.
    const std::uint64_t window = type == 9 ? std::uint64_t(s.degree) + 1 : (std::uint64_t(s.degree) + 1) / 2;
    if (std::uint64_t{n} < window)
        return std::unexpected(invalid(type == 9 ? "window (degree+1) exceeds sample count"
                                                 : "window ((degree+1)/2) exceeds sample count"));

    // States, epochs, the epoch directory, degree, N. The epochs are checked
    // where they were copied to.
    const std::size_t dir = static_cast<std::size_t>(directory_length(n));
    if (auto ok = check_room(7 * n + dir + 2); !ok) return ok;
    HeldSegment held{type, s.target, s.center, s.frame_id, s.start_et, s.end_et, s.segment_id,
                     WordBuffer(7 * n + dir + 2)};
    double* const states = held.words.data();
    double* const epochs = states + 6 * n;
    fill(states, epochs);
    for (std::size_t i = 1; i < n; ++i) {
        // Written as "not greater" so that NaN neighbours fail too.
        if (!(epochs[i] > epochs[i - 1]))
            return std::unexpected(invalid("epochs must be strictly increasing"));
    }
    if (s.degree > kMaxDegree)
        return std::unexpected(invalid("degree " + std::to_string(s.degree) + " is outside 1.." +
                                       std::to_string(kMaxDegree) + ", the range SPICE readers support"));
    // The coverage must lie inside the epochs, and the toolkit refuses an
    // empty one (start equal to end) as well as a reversed one.
    if (s.start_et >= s.end_et)
        return std::unexpected(invalid("start_et " + format_double(s.start_et) +
                                       " is not before end_et " + format_double(s.end_et)));
    if (s.start_et < epochs[0])
        return std::unexpected(invalid("start_et " + format_double(s.start_et) +
                                       " is before the first epoch " + format_double(epochs[0])));
    if (s.end_et > epochs[n - 1])
        return std::unexpected(invalid("end_et " + format_double(s.end_et) +
                                       " is after the last epoch " + format_double(epochs[n - 1])));
    // Non-finite values last, so that the checks above keep their messages.
    if (auto bad = first_non_finite("epochs", epochs, n, 1); !bad.empty())
        return std::unexpected(invalid(std::move(bad)));
    if (auto bad = first_non_finite("states", states, 6 * n, 6); !bad.empty())
        return std::unexpected(invalid(std::move(bad)));
    for (const auto& [value, name] : {std::pair{s.start_et, "start_et"}, std::pair{s.end_et, "end_et"}})
        if (!std::isfinite(value))
            return std::unexpected(invalid(std::string(name) + " is " + format_double(value) +
                                       ", not a finite number"));
    double* w = epochs + n;
    for (std::size_t k = 1; k <= dir; ++k) *w++ = epochs[100 * k - 1];
    w[0] = static_cast<double>(type == 9 ? std::uint64_t(s.degree) : window - 1);
    w[1] = static_cast<double>(n);
    data_doubles_ += held.words.size();
    segments_.push_back(std::move(held));
    return {};
}

std::expected<void, SpkWriterError> SpkWriter::add_copied(std::int32_t data_type, std::int32_t target,
                                                         std::int32_t center, std::int32_t frame_id, double start_et,
                                                         double end_et, const std::string& segment_id,
                                                         std::size_t words, const FillRecords& fill) {
    if (segment_id.size() > kNameBytes) return std::unexpected(SpkWriterError::segment_id_too_long(segment_id));
    if (auto ok = check_room(words); !ok) return ok;
    HeldSegment held{data_type, target, center, frame_id, start_et, end_et, segment_id, WordBuffer(words)};
    fill(held.words.data());
    data_doubles_ += held.words.size();
    segments_.push_back(std::move(held));
    return {};
}

// ---------------------------------------------------------------------------
// Serialisation

std::expected<std::uint32_t, SpkWriterError> SpkWriter::free_address(std::uint64_t data_doubles) {
    if (data_doubles > kMaxDataDoubles) return std::unexpected(SpkWriterError::address_range(data_doubles));
    return static_cast<std::uint32_t>(3 * kRecordWords + 1 + data_doubles);
}

// FREE is a signed 32-bit address: the records before the data count
// against it as data do. The error names the data (as free_address does)
// with the header's words added, so that it still names what does not fit.
std::expected<std::uint32_t, SpkWriterError> SpkWriter::layout_free(std::size_t segments,
                                                                    std::uint64_t data_doubles) const {
    const std::uint64_t header = (1 + comment_records() + 2 * summary_records(segments)) * kRecordWords;
    constexpr std::uint64_t kMaxAddress = 2147483647u;
    if (header + data_doubles >= kMaxAddress)
        return std::unexpected(SpkWriterError::address_range(header + data_doubles - 3 * kRecordWords));
    return static_cast<std::uint32_t>(header + 1 + data_doubles);
}

std::expected<void, SpkWriterError> SpkWriter::check_room(std::size_t words) const {
    if (auto ok = layout_free(segments_.size() + 1, data_doubles_ + words); !ok) return std::unexpected(ok.error());
    return {};
}

// The layout first, so that data beyond the 32-bit addresses is refused
// before anything is allocated or written and no address is ever written
// wrapped.
std::expected<std::uint32_t, SpkWriterError> SpkWriter::checked_free() const {
    if (limit_ != 0 && segments_.size() > limit_)
        return std::unexpected(SpkWriterError::too_many_segments(segments_.size(), limit_));
    return layout_free(segments_.size(), data_doubles_);
}

void SpkWriter::put_header(unsigned char* b, std::uint32_t free) const noexcept {
    std::memset(b, 0, header_records() * kRecordBytes);
    dafw::put_file_record(b, {locidw_, locifn_, comments_}, segments_.size(), free);
    dafw::put_summaries(b, comments_.size(), segments_.size(), [&](std::size_t i) {
        const HeldSegment& seg = segments_[i];
        return dafw::SegmentSummary{seg.start_et, seg.end_et, {seg.target, seg.center, seg.frame_id, seg.data_type},
                                    seg.words.size(), seg.segment_id};
    });
}

std::expected<ByteImage, SpkWriterError> SpkWriter::to_bytes() const {
    auto free = checked_free();
    if (!free) return std::unexpected(free.error());
    const std::size_t header = header_records() * kRecordBytes;
    const std::uint64_t total = data_doubles_;
    const std::size_t data_records = static_cast<std::size_t>((total + 127) / 128);
    // Zero-filled at its final size: the tail of the last record stays zero.
    ByteImage image(header + data_records * kRecordBytes);
    put_header(image.data(), *free);
    unsigned char* p = image.data() + header;
    for (const HeldSegment& s : segments_) {
        std::memcpy(p, s.words.data(), s.words.size() * 8);
        p += s.words.size() * 8;
    }
    return image;
}

// ---------------------------------------------------------------------------
// Atomic write

std::expected<void, SpkWriterError> detail::write_fully(int fd, const unsigned char* p, std::size_t len,
                                                        WriteCall call) {
    while (len > 0) {
        const ssize_t w = call(fd, p, len);
        if (w < 0) {
            // A signal that arrives before anything was written is not a failure.
            if (errno == EINTR) continue;
            return std::unexpected(SpkWriterError::io_errno(errno));
        }
        if (w == 0) return std::unexpected(SpkWriterError::io_text("failed to write whole buffer"));
        p += w;
        len -= static_cast<std::size_t>(w);
    }
    return {};
}


namespace {

// The I/O error of a failed file write, as the writer reports it.
SpkWriterError io_error(const FileWriteError& e) {
    return e.os_error != 0 ? SpkWriterError::io_errno(e.os_error) : SpkWriterError::io_text(e.text);
}

}  // namespace

std::expected<void, SpkWriterError> detail::writev_fully(int fd, struct iovec* iov, int count, WritevCall call) {
    if (auto ok = writev_all(fd, iov, count, call); !ok) return std::unexpected(io_error(ok.error()));
    return {};
}

std::string SpkWriter::temporary_path(const std::string& path) { return staging_stem(path); }

std::expected<void, SpkWriterError> SpkWriter::write(const std::string& path) const {
    auto free = checked_free();
    if (!free) return std::unexpected(free.error());

    // The file is the header records, every segment's buffer as held (they
    // lie back to back after them) and zeros to the end of the last record:
    // one vectored write, no image assembled.
    std::vector<unsigned char> header(header_records() * kRecordBytes);
    put_header(header.data(), *free);
    std::vector<std::span<const double>> data;
    data.reserve(segments_.size());
    for (const HeldSegment& s : segments_) data.emplace_back(s.words.data(), s.words.size());
    if (auto ok = dafw::write_file(path, header, data, data_doubles_); !ok)
        return std::unexpected(io_error(ok.error()));
    return {};
}

}  // namespace kernwerk
