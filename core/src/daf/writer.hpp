// Writing DAF files: what the SPK and CK writers share. Both write the
// layout the toolkit's own writers produce for ND = 2, NI = 6 (binary format
// "LTL-IEEE", little-endian host):
//   * records of 1024 bytes numbered from 1, words of 8 bytes numbered from
//     1, address ranges inclusive at both ends;
//   * record 1 the file record (LOCIDW, ND, NI, LOCIFN, FWARD, BWARD, FREE,
//     LOCFMT, the FTP validation string at byte 500);
//   * the comment records, when there are comments: 1000 characters each,
//     lines ended by NUL and the text by EOT (0x04), as the toolkit's dafac
//     leaves them and dafec reads them;
//   * chained pairs of a summary record (NEXT, PREV, NSUM, up to 25
//     summaries of 40 bytes: two doubles, four integers, begin and end
//     addresses) and a name record (40 blank-padded bytes a segment);
//   * the segments' data back to back from the next record, zeros to the end
//     of the last one.
#pragma once

#include "daf/atomic_write.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <sys/uio.h>
#include <vector>

namespace kernwerk::dafw {

inline constexpr std::size_t kRecordBytes = 1024, kRecordWords = 128;
inline constexpr std::size_t kSummariesPerRecord = 25, kSummaryBytes = 40, kNameBytes = 40;
inline constexpr std::size_t kCommentChars = 1000;
// FREE is a signed 32-bit address.
inline constexpr std::uint64_t kMaxAddress = 2147483647u;

// Summary records (each with its name record) for `segments` segments, one
// at least.
constexpr std::size_t summary_records(std::size_t segments) noexcept {
    return std::max<std::size_t>(1, (segments + kSummariesPerRecord - 1) / kSummariesPerRecord);
}
constexpr std::size_t comment_records(std::size_t comment_chars) noexcept {
    return (comment_chars + kCommentChars - 1) / kCommentChars;
}
// Records before the data: file record, comment records, summary and name
// record pairs.
constexpr std::size_t header_records(std::size_t comment_chars, std::size_t segments) noexcept {
    return 1 + comment_records(comment_chars) + 2 * summary_records(segments);
}

// The first character of comment lines that a comment area cannot keep
// (anything outside printable ASCII, 32 to 126); line and column from 1.
struct CommentFault {
    std::size_t line = 0, column = 0;
    unsigned char byte = 0;
};
// The comment area's characters for `lines`: each line ended by NUL, the
// text by EOT; empty for no lines.
std::expected<std::string, CommentFault> comment_area(const std::vector<std::string>& lines);

// What a file record and its comment records hold besides the summaries.
struct FileHeader {
    const char* locidw = nullptr;  // 8 bytes
    const char* locifn = nullptr;  // 60 bytes
    std::string_view comments;     // the comment area (comment_area)
};

// One segment's summary: its two doubles and first four integers (the
// begin and end addresses follow from the data's order), its data length in
// words, and its name (cut at 40 bytes).
struct SegmentSummary {
    double d0 = 0, d1 = 0;
    std::int32_t i[4] = {};
    std::size_t words = 0;
    std::string_view name;
};

// The file record and the comment records, into `b` (zeroed, at least
// header_records() records long) for `segments` segments and FREE `free`.
void put_file_record(unsigned char* b, const FileHeader& h, std::size_t segments, std::uint32_t free) noexcept;
// The summary and name records of the segments, summary_of(i) describing
// the i-th; the data follow the header records in segment order.
template <typename SummaryOf>
void put_summaries(unsigned char* b, std::size_t comment_chars, std::size_t segments, SummaryOf&& summary_of) noexcept;

// The whole file: the header records, then each data span as given, then
// zeros to the end of the last record of `words` words in all; committed by
// write_atomically.
std::expected<void, FileWriteError> write_file(const std::string& path, std::span<const unsigned char> header,
                                               const std::vector<std::span<const double>>& data, std::uint64_t words);

namespace detail {
void put_f64(unsigned char* p, double v) noexcept;
void put_i32(unsigned char* p, std::int32_t v) noexcept;
}  // namespace detail

template <typename SummaryOf>
void put_summaries(unsigned char* b, std::size_t comment_chars, std::size_t segments, SummaryOf&& summary_of) noexcept {
    const std::size_t summary_recs = summary_records(segments);
    const std::size_t first_record = 2 + comment_records(comment_chars);
    auto addr = static_cast<std::uint32_t>(header_records(comment_chars, segments) * kRecordWords + 1);
    for (std::size_t k = 0; k < summary_recs; ++k) {
        unsigned char* const sum = b + (first_record + 2 * k - 1) * kRecordBytes;
        unsigned char* const names = sum + kRecordBytes;
        const std::size_t first = k * kSummariesPerRecord;
        const std::size_t count = std::min(kSummariesPerRecord, segments - first);
        detail::put_f64(sum + 0, k + 1 < summary_recs ? static_cast<double>(first_record + 2 * (k + 1)) : 0.0);
        detail::put_f64(sum + 8, k > 0 ? static_cast<double>(first_record + 2 * (k - 1)) : 0.0);
        detail::put_f64(sum + 16, static_cast<double>(count));
        std::fill(names, names + kRecordBytes, static_cast<unsigned char>(' '));
        for (std::size_t i = 0; i < count; ++i) {
            const SegmentSummary seg = summary_of(first + i);
            const auto len = static_cast<std::uint32_t>(seg.words);
            unsigned char* const s = sum + 24 + i * kSummaryBytes;
            detail::put_f64(s + 0, seg.d0);
            detail::put_f64(s + 8, seg.d1);
            for (int j = 0; j < 4; ++j) detail::put_i32(s + 16 + 4 * j, seg.i[j]);
            detail::put_i32(s + 32, static_cast<std::int32_t>(addr));
            detail::put_i32(s + 36, static_cast<std::int32_t>(addr + len - 1));
            std::copy_n(seg.name.data(), std::min(seg.name.size(), kNameBytes), names + i * kNameBytes);
            addr += len;
        }
    }
}

}  // namespace kernwerk::dafw
