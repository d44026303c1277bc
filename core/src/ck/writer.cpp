#include "ck/writer.hpp"

#include "base/common.hpp"
#include "daf/atomic_write.hpp"
#include "daf/writer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sys/uio.h>
#include <utility>

namespace kernwerk {

namespace {

using dafw::kNameBytes, dafw::kRecordBytes, dafw::kRecordWords;

CkWriterError invalid(int type, const std::string& reason) {
    return CkWriterError::of(CkWriterError::Kind::InvalidSegment,
                             "invalid CK Type " + std::to_string(type) + " segment: " + reason);
}

std::string at(const char* what, std::size_t i) { return std::string(what) + "[" + std::to_string(i) + "]"; }

// The checks every segment shares: its id and its bounds.
std::expected<void, CkWriterError> check_info(const CkSegmentInfo& s, int type) {
    if (s.segment_id.size() > kNameBytes)
        return std::unexpected(CkWriterError::of(CkWriterError::Kind::SegmentId,
                                                 "segment id '" + s.segment_id + "' is longer than 40 characters"));
    for (std::size_t i = 0; i < s.segment_id.size(); ++i) {
        const auto c = static_cast<unsigned char>(s.segment_id[i]);
        if (c < 32 || c > 126)
            return std::unexpected(CkWriterError::of(CkWriterError::Kind::SegmentId,
                                                     "segment id holds a character that is not printable ASCII at "
                                                     "position " + std::to_string(i + 1)));
    }
    if (!std::isfinite(s.start) || !std::isfinite(s.end))
        return std::unexpected(invalid(type, "the segment bounds must be finite, not " + format_double(s.start) +
                                                 " and " + format_double(s.end)));
    return {};
}

// Unit quaternions (within the tolerance), finite angular velocities.
std::expected<void, CkWriterError> check_rows(int type, std::size_t n, const double* q, const double* av) {
    for (std::size_t i = 0; i < n; ++i) {
        const double* r = q + 4 * i;
        const double norm = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2] + r[3] * r[3]);
        if (!std::isfinite(norm))
            return std::unexpected(invalid(type, at("quaternion", i) + " is not finite"));
        if (!(std::fabs(norm - 1.0) <= CkWriter::kUnitTolerance))
            return std::unexpected(invalid(type, at("quaternion", i) + " has norm " + format_double(norm) +
                                                     ", not 1; normalise it (q / |q|) before writing"));
        if (av && !(std::isfinite(av[3 * i]) && std::isfinite(av[3 * i + 1]) && std::isfinite(av[3 * i + 2])))
            return std::unexpected(invalid(type, at("angular velocity", i) + " is not finite"));
    }
    return {};
}

std::expected<void, CkWriterError> check_tick(int type, const char* what, std::size_t i, double t) {
    if (!std::isfinite(t) || t < 0.0)
        return std::unexpected(invalid(type, at(what, i) + " is " + format_double(t) +
                                                 "; ticks are finite and not negative"));
    return {};
}

std::expected<void, CkWriterError> check_bounds(int type, const CkSegmentInfo& s, double first, double last) {
    if (s.start > first)
        return std::unexpected(invalid(type, "the segment start " + format_double(s.start) +
                                                 " is after the first tick of the data " + format_double(first)));
    if (s.end < last)
        return std::unexpected(invalid(type, "the segment end " + format_double(s.end) +
                                                 " is before the last tick of the data " + format_double(last)));
    return {};
}

}  // namespace

CkWriterError CkWriterError::io(int os_error, std::string text) {
    CkWriterError e(Kind::Io, os_error != 0 ? "I/O error: " + std::string(std::strerror(os_error)) + " (os error " +
                                                  std::to_string(os_error) + ")"
                                            : "I/O error: " + text);
    e.os_error_ = os_error;
    return e;
}

CkWriter::CkWriter(std::string_view locifn) {
    std::memset(locifn_, ' ', sizeof locifn_);
    std::memcpy(locifn_, locifn.data(), std::min(locifn.size(), sizeof locifn_));
}

std::expected<void, CkWriterError> CkWriter::set_comments(const std::vector<std::string>& lines) {
    auto text = dafw::comment_area(lines);
    if (!text)
        return std::unexpected(CkWriterError::of(
            CkWriterError::Kind::InvalidComment,
            "comment line " + std::to_string(text.error().line) + ", column " + std::to_string(text.error().column) +
                ": not printable ASCII (32 to 126), the only characters a comment area keeps"));
    std::string old = std::exchange(comments_, std::move(*text));
    if (auto ok = checked_free(segments_.size(), data_words_); !ok) {
        comments_ = std::move(old);
        return std::unexpected(ok.error());
    }
    return {};
}

std::size_t CkWriter::header_records() const noexcept {
    return dafw::header_records(comments_.size(), segments_.size());
}

std::expected<std::uint32_t, CkWriterError> CkWriter::checked_free(std::size_t segments, std::uint64_t words) const {
    const std::uint64_t header = dafw::header_records(comments_.size(), segments) * kRecordWords;
    if (header + words >= kMaxAddress)
        return std::unexpected(CkWriterError::of(CkWriterError::Kind::AddressRange,
                                                 "segment data too large for a DAF file: " +
                                                     std::to_string(words) + " doubles do not fit its 32-bit addresses"));
    return static_cast<std::uint32_t>(header + 1 + words);
}

std::expected<void, CkWriterError> CkWriter::add_type2(const CkSegmentInfo& info, const CkType2Data& d) {
    if (auto ok = check_info(info, 2); !ok) return ok;
    const std::size_t n = d.n;
    if (n == 0) return std::unexpected(invalid(2, "no pointing intervals"));
    for (std::size_t i = 0; i < n; ++i) {
        if (auto ok = check_tick(2, "starts", i, d.starts[i]); !ok) return ok;
        if (auto ok = check_tick(2, "stops", i, d.stops[i]); !ok) return ok;
        if (!(d.starts[i] < d.stops[i]))
            return std::unexpected(invalid(2, "interval " + std::to_string(i) + " starts at " +
                                                  format_double(d.starts[i]) + ", not before its stop " +
                                                  format_double(d.stops[i])));
        if (i > 0 && d.starts[i] < d.stops[i - 1])
            return std::unexpected(invalid(2, "interval " + std::to_string(i) + " starts at " +
                                                  format_double(d.starts[i]) + ", before the stop " +
                                                  format_double(d.stops[i - 1]) +
                                                  " of the one before it: intervals must be sorted and not overlap"));
        if (!(std::isfinite(d.rates[i]) && d.rates[i] > 0.0))
            return std::unexpected(invalid(2, at("rates", i) + " is " + format_double(d.rates[i]) +
                                                  "; seconds per tick must be positive"));
    }
    if (auto ok = check_rows(2, n, d.quaternions, d.angular_velocity); !ok) return ok;
    if (auto ok = check_bounds(2, info, d.starts[0], d.stops[n - 1]); !ok) return ok;
    const std::size_t dir = (n - 1) / 100;
    const std::size_t size = 10 * n + dir;
    if (auto ok = checked_free(segments_.size() + 1, data_words_ + size); !ok) return std::unexpected(ok.error());

    CkHeldSegment held{info, 2, true, std::vector<double>(size)};
    double* w = held.words.data();
    for (std::size_t i = 0; i < n; ++i, w += 8) {
        std::memcpy(w, d.quaternions + 4 * i, 4 * sizeof(double));
        std::memcpy(w + 4, d.angular_velocity + 3 * i, 3 * sizeof(double));
        w[7] = d.rates[i];
    }
    std::memcpy(w, d.starts, n * sizeof(double));
    std::memcpy(w + n, d.stops, n * sizeof(double));
    w += 2 * n;
    // The toolkit's readers search this directory for the interval of a
    // tick: each entry lies halfway across the gap between the 100k-th
    // interval's stop and the next interval's start, as ckw02 writes it.
    for (std::size_t k = 1; k <= dir; ++k) *w++ = (d.stops[100 * k - 1] + d.starts[100 * k]) / 2.0;
    data_words_ += size;
    segments_.push_back(std::move(held));
    return {};
}

std::expected<void, CkWriterError> CkWriter::add_type3(const CkSegmentInfo& info, const CkType3Data& d) {
    if (auto ok = check_info(info, 3); !ok) return ok;
    const std::size_t n = d.n, k = d.intervals;
    if (n == 0) return std::unexpected(invalid(3, "no pointing instances"));
    if (k == 0) return std::unexpected(invalid(3, "no interpolation intervals (the first starts at the first tick)"));
    for (std::size_t i = 0; i < n; ++i) {
        if (auto ok = check_tick(3, "ticks", i, d.ticks[i]); !ok) return ok;
        if (i > 0 && !(d.ticks[i] > d.ticks[i - 1]))
            return std::unexpected(invalid(3, at("ticks", i) + " = " + format_double(d.ticks[i]) +
                                                  " is not after " + at("ticks", i - 1) + " = " +
                                                  format_double(d.ticks[i - 1]) + ": ticks must strictly increase"));
    }
    for (std::size_t j = 0; j < k; ++j) {
        const double s = d.interval_starts[j];
        if (auto ok = check_tick(3, "interval starts", j, s); !ok) return ok;
        if (j > 0 && !(s > d.interval_starts[j - 1]))
            return std::unexpected(invalid(3, at("interval starts", j) + " = " + format_double(s) +
                                                  " is not after the one before it: they must strictly increase"));
        if (!std::binary_search(d.ticks, d.ticks + n, s))
            return std::unexpected(invalid(3, at("interval starts", j) + " = " + format_double(s) +
                                                  " is not one of the ticks"));
    }
    if (d.interval_starts[0] != d.ticks[0])
        return std::unexpected(invalid(3, "the first interval starts at " + format_double(d.interval_starts[0]) +
                                              ", not at the first tick " + format_double(d.ticks[0])));
    if (auto ok = check_rows(3, n, d.quaternions, d.angular_velocity); !ok) return ok;
    if (auto ok = check_bounds(3, info, d.ticks[0], d.ticks[n - 1]); !ok) return ok;
    const bool av = d.angular_velocity != nullptr;
    const std::size_t rsize = av ? 7 : 4;
    const std::size_t size = rsize * n + n + (n - 1) / 100 + k + (k - 1) / 100 + 2;
    if (auto ok = checked_free(segments_.size() + 1, data_words_ + size); !ok) return std::unexpected(ok.error());

    CkHeldSegment held{info, 3, av, std::vector<double>(size)};
    double* w = held.words.data();
    if (av) {
        for (std::size_t i = 0; i < n; ++i, w += 7) {
            std::memcpy(w, d.quaternions + 4 * i, 4 * sizeof(double));
            std::memcpy(w + 4, d.angular_velocity + 3 * i, 3 * sizeof(double));
        }
    } else {
        std::memcpy(w, d.quaternions, 4 * n * sizeof(double));
        w += 4 * n;
    }
    std::memcpy(w, d.ticks, n * sizeof(double));
    w += n;
    for (std::size_t i = 1; i <= (n - 1) / 100; ++i) *w++ = d.ticks[100 * i - 1];
    std::memcpy(w, d.interval_starts, k * sizeof(double));
    w += k;
    for (std::size_t j = 1; j <= (k - 1) / 100; ++j) *w++ = d.interval_starts[100 * j - 1];
    w[0] = static_cast<double>(k);
    w[1] = static_cast<double>(n);
    data_words_ += size;
    segments_.push_back(std::move(held));
    return {};
}

void CkWriter::put_header(unsigned char* b, std::uint32_t free) const noexcept {
    dafw::put_file_record(b, {"DAF/CK  ", locifn_, comments_}, segments_.size(), free);
    dafw::put_summaries(b, comments_.size(), segments_.size(), [&](std::size_t i) {
        const CkHeldSegment& seg = segments_[i];
        return dafw::SegmentSummary{seg.info.start, seg.info.end,
                                    {seg.info.instrument, seg.info.frame_id, seg.data_type,
                                     seg.angular_velocity ? 1 : 0},
                                    seg.words.size(), seg.info.segment_id};
    });
}

std::expected<std::vector<unsigned char>, CkWriterError> CkWriter::to_bytes() const {
    if (segments_.empty())
        return std::unexpected(CkWriterError::of(CkWriterError::Kind::InvalidSegment,
                                                 "a CK file needs at least one segment, none was added"));
    auto free = checked_free(segments_.size(), data_words_);
    if (!free) return std::unexpected(free.error());
    const std::size_t header = header_records() * kRecordBytes;
    std::vector<unsigned char> image(header + (data_words_ + kRecordWords - 1) / kRecordWords * kRecordBytes);
    put_header(image.data(), *free);
    unsigned char* p = image.data() + header;
    for (const CkHeldSegment& s : segments_) {
        std::memcpy(p, s.words.data(), s.words.size() * sizeof(double));
        p += s.words.size() * sizeof(double);
    }
    return image;
}

std::expected<void, CkWriterError> CkWriter::write(const std::string& path) const {
    if (segments_.empty())
        return std::unexpected(CkWriterError::of(CkWriterError::Kind::InvalidSegment,
                                                 "a CK file needs at least one segment, none was added"));
    auto free = checked_free(segments_.size(), data_words_);
    if (!free) return std::unexpected(free.error());
    std::vector<unsigned char> header(header_records() * kRecordBytes);
    put_header(header.data(), *free);
    std::vector<std::span<const double>> data;
    data.reserve(segments_.size());
    for (const CkHeldSegment& s : segments_) data.emplace_back(s.words);
    if (auto ok = dafw::write_file(path, header, data, data_words_); !ok)
        return std::unexpected(CkWriterError::io(ok.error().os_error, ok.error().text));
    return {};
}

}  // namespace kernwerk
