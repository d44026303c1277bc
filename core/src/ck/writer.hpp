// CK writer: Type 2 and Type 3 pointing segments collected in memory,
// serialised into one DAF/CK file and committed by an atomic rename.
//
// Layout produced (binary format "LTL-IEEE", little-endian; the DAF layout
// of the SPK writer with LOCIDW "DAF/CK  "):
//   * record 1 is the file record (ND = 2, NI = 6), then the comment
//     records, then chained summary and name record pairs (25 summaries a
//     pair), then the segments' data back to back;
//   * a summary holds the start and stop ticks of the segment (encoded
//     SCLK), then instrument, reference frame, data type, angular velocity
//     flag (1 when the segment holds angular velocity), begin and end
//     addresses.
// Type 2 data: N records of quaternion (4), angular velocity (3, rad/s) and
// seconds per tick (1); then the N interval starts, the N interval stops,
// and for every 100th interval (the last excepted) the midpoint between its
// stop and the next start.
// Type 3 data: N records of quaternion (4) and, with angular velocity, its
// 3 components; then the N ticks, every 100th tick (the last excepted), the
// K interpolation interval starts, every 100th of them (the last excepted),
// K and N.
// Quaternions are the toolkit's: scalar first, the rotation from the
// reference frame to the instrument frame (the C-matrix of ckgp). They are
// stored as given; each must have unit norm within kUnitTolerance (a
// non-unit quaternion is refused rather than normalised, so that what the
// file holds is what the caller gave).
//
// The checks are those of the toolkit's writers (ckw02, ckw03), refused
// before anything is stored: ticks are finite and not negative; Type 2
// intervals have start < stop and do not overlap (a stop may equal the
// next start), Type 3 ticks strictly increase, its interval starts strictly
// increase, the first is the first tick and each is one of the ticks; the
// segment's start is at most its first tick and its end at least its last;
// a segment id holds at most 40 printable ASCII characters. Beyond the
// toolkit, NaN or infinite values, non-unit quaternions and non-positive
// tick rates are refused: a reader would return nonsense for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace kernwerk {

class CkWriterError {
public:
    enum class Kind { Io, SegmentId, InvalidSegment, AddressRange, InvalidComment };
    static CkWriterError io(int os_error, std::string text);
    static CkWriterError of(Kind kind, std::string message) { return {kind, std::move(message)}; }

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    int os_error() const noexcept { return os_error_; }

private:
    CkWriterError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
    int os_error_ = 0;
};

// What a segment is, apart from its arrays.
struct CkSegmentInfo {
    std::int32_t instrument = 0;
    std::int32_t frame_id = 0;
    double start = 0, end = 0;  // coverage in ticks, written into the summary
    std::string segment_id;     // at most 40 printable ASCII characters
};

// Arrays of a Type 2 segment, N records, C-contiguous.
struct CkType2Data {
    std::size_t n = 0;
    const double* starts = nullptr;            // N interval starts (ticks)
    const double* stops = nullptr;             // N interval stops (ticks)
    const double* quaternions = nullptr;       // N x 4
    const double* angular_velocity = nullptr;  // N x 3, rad/s in the reference frame
    const double* rates = nullptr;             // N seconds per tick
};

// Arrays of a Type 3 segment, N records and K interval starts.
struct CkType3Data {
    std::size_t n = 0;
    const double* ticks = nullptr;             // N, strictly increasing
    const double* quaternions = nullptr;       // N x 4
    const double* angular_velocity = nullptr;  // N x 3, or null for none
    std::size_t intervals = 0;                 // K
    const double* interval_starts = nullptr;   // K ticks
};

struct CkHeldSegment {
    CkSegmentInfo info;
    std::int32_t data_type = 0;
    bool angular_velocity = false;
    std::vector<double> words;
};

class CkWriter {
public:
    // |1 - |q|| above this refuses a quaternion.
    static constexpr double kUnitTolerance = 1e-8;
    // FREE is a signed 32-bit address.
    static constexpr std::uint64_t kMaxAddress = 2147483647u;

    explicit CkWriter(std::string_view locifn);

    // The comment area, as the SPK writer keeps it (printable ASCII lines,
    // each ended by NUL, the text by EOT); replaces earlier comments.
    std::expected<void, CkWriterError> set_comments(const std::vector<std::string>& lines);

    // Validate and copy a segment; a refused one leaves the writer as it was.
    std::expected<void, CkWriterError> add_type2(const CkSegmentInfo& info, const CkType2Data& data);
    std::expected<void, CkWriterError> add_type3(const CkSegmentInfo& info, const CkType3Data& data);

    // The whole file; refused with no segment, as the toolkit's readers find
    // nothing in a CK without one.
    std::expected<std::vector<unsigned char>, CkWriterError> to_bytes() const;
    // Written atomically (see daf/atomic_write.hpp).
    std::expected<void, CkWriterError> write(const std::string& path) const;

    const std::vector<CkHeldSegment>& segments() const noexcept { return segments_; }

private:
    std::size_t header_records() const noexcept;
    std::expected<std::uint32_t, CkWriterError> checked_free(std::size_t segments, std::uint64_t words) const;
    void put_header(unsigned char* b, std::uint32_t free) const noexcept;

    std::vector<CkHeldSegment> segments_;
    std::uint64_t data_words_ = 0;
    std::string comments_;
    char locifn_[60] = {};
};

}  // namespace kernwerk
