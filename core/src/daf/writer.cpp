#include "daf/writer.hpp"

#include <cstring>

namespace kernwerk::dafw {

namespace {

// "FTPSTR:" then CR, LF, CR LF, CR NUL, 0x81, 0x10 0xCE, each closed by a
// colon, then "ENDFTP". A transfer that rewrites line ends or drops the high
// bit leaves a recognisably damaged copy.
constexpr unsigned char kFtpString[28] = {0x46, 0x54, 0x50, 0x53, 0x54, 0x52, 0x3A, 0x0D, 0x3A, 0x0A,
                                          0x3A, 0x0D, 0x0A, 0x3A, 0x0D, 0x00, 0x3A, 0x81, 0x3A, 0x10,
                                          0xCE, 0x3A, 0x45, 0x4E, 0x44, 0x46, 0x54, 0x50};

// Offsets in the file record.
constexpr std::size_t kOffLocidw = 0, kOffNd = 8, kOffNi = 12, kOffLocifn = 16, kOffFward = 76, kOffBward = 80,
                      kOffFree = 84, kOffLocfmt = 88, kOffFtp = 500;

}  // namespace

// Unaligned stores into the byte image (the host is little-endian).
void detail::put_f64(unsigned char* p, double v) noexcept { std::memcpy(p, &v, 8); }
void detail::put_i32(unsigned char* p, std::int32_t v) noexcept { std::memcpy(p, &v, 4); }

std::expected<std::string, CommentFault> comment_area(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        for (std::size_t j = 0; j < line.size(); ++j) {
            const auto c = static_cast<unsigned char>(line[j]);
            if (c < 32 || c > 126) return std::unexpected(CommentFault{i + 1, j + 1, c});
        }
        text += line;
        text += '\0';
    }
    if (!lines.empty()) text += '\x04';
    return text;
}

void put_file_record(unsigned char* b, const FileHeader& h, std::size_t segments, std::uint32_t free) noexcept {
    const std::size_t comment_recs = comment_records(h.comments.size());
    const auto summary_record = [&](std::size_t k) { return static_cast<std::int32_t>(2 + comment_recs + 2 * k); };
    std::memcpy(b + kOffLocidw, h.locidw, 8);
    detail::put_i32(b + kOffNd, 2);
    detail::put_i32(b + kOffNi, 6);
    std::memcpy(b + kOffLocifn, h.locifn, 60);
    detail::put_i32(b + kOffFward, summary_record(0));
    detail::put_i32(b + kOffBward, summary_record(summary_records(segments) - 1));
    detail::put_i32(b + kOffFree, static_cast<std::int32_t>(free));
    std::memcpy(b + kOffLocfmt, "LTL-IEEE", 8);
    std::memcpy(b + kOffFtp, kFtpString, sizeof kFtpString);
    // Comment records: the first 1000 bytes of each.
    for (std::size_t r = 0; r < comment_recs; ++r) {
        const std::size_t at = r * kCommentChars;
        std::memcpy(b + (1 + r) * kRecordBytes, h.comments.data() + at,
                    std::min(kCommentChars, h.comments.size() - at));
    }
}

std::expected<void, FileWriteError> write_file(const std::string& path, std::span<const unsigned char> header,
                                               const std::vector<std::span<const double>>& data, std::uint64_t words) {
    // One vectored write of the buffers as they are: no image assembled.
    static constexpr unsigned char kZeros[kRecordBytes] = {};
    std::vector<struct iovec> iov;
    iov.reserve(data.size() + 2);
    iov.push_back({const_cast<unsigned char*>(header.data()), header.size()});
    for (const std::span<const double>& d : data) iov.push_back({const_cast<double*>(d.data()), d.size_bytes()});
    const std::size_t tail = (kRecordWords - words % kRecordWords) % kRecordWords;
    iov.push_back({const_cast<unsigned char*>(kZeros), tail * 8});
    return write_atomically(path, iov.data(), static_cast<int>(iov.size()));
}

}  // namespace kernwerk::dafw
