#include "spk_writer.hpp"

#include "common.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/mman.h>
#include <sys/random.h>
#include <chrono>
#include <atomic>
#include <type_traits>
#include <unistd.h>
#include <utility>

namespace kernwerk {

namespace {

constexpr std::size_t kRecordBytes = 1024;
constexpr std::size_t kNameBytes = 40;      // 8 * (ND + NI / 2) for ND = 2, NI = 6
constexpr std::size_t kSummaryBytes = 40;
constexpr std::uint32_t kFirstDataAddress = 385;  // first word of record 4
constexpr std::size_t kDataOffset = 3 * kRecordBytes;
constexpr std::size_t kLocifnBytes = 60;

// Offsets in the file record.
constexpr std::size_t kOffLocidw = 0, kOffNd = 8, kOffNi = 12, kOffLocifn = 16, kOffFward = 76, kOffBward = 80,
                      kOffFree = 84, kOffLocfmt = 88, kOffFtp = 500;

// "FTPSTR:" then CR, LF, CR LF, CR NUL, 0x81, 0x10 0xCE, each closed by a
// colon, then "ENDFTP". A transfer that rewrites line ends or drops the high
// bit leaves a recognisably damaged copy.
constexpr unsigned char kFtpString[28] = {0x46, 0x54, 0x50, 0x53, 0x54, 0x52, 0x3A, 0x0D, 0x3A, 0x0A,
                                          0x3A, 0x0D, 0x0A, 0x3A, 0x0D, 0x00, 0x3A, 0x81, 0x3A, 0x10,
                                          0xCE, 0x3A, 0x45, 0x4E, 0x44, 0x46, 0x54, 0x50};

// Unaligned little-endian stores into the byte image (host is little-endian).
void put_f64(unsigned char* p, double v) noexcept { std::memcpy(p, &v, 8); }
void put_i32(unsigned char* p, std::int32_t v) noexcept { std::memcpy(p, &v, 4); }
void put_doubles(unsigned char*& p, const std::vector<double>& v) noexcept {
    if (!v.empty()) std::memcpy(p, v.data(), v.size() * 8);
    p += v.size() * 8;
}
void put_next(unsigned char*& p, double v) noexcept {
    put_f64(p, v);
    p += 8;
}

// Directory entries of a Type 9 segment: every 100th epoch, the last excepted.
std::uint64_t directory_length(std::uint64_t n) noexcept { return n == 0 ? 0 : (n - 1) / 100; }

// Type 3: the records as held (MID, RADIUS, x, y, z, vx, vy, vz each), then
// the trailer.
void put_type3(unsigned char* p, const Type3Segment& s) noexcept {
    const std::size_t rsize = 2 + 6 * s.coefficients;
    put_doubles(p, s.records);
    put_next(p, s.init);
    put_next(p, s.intlen);
    put_next(p, static_cast<double>(rsize));                    // RSIZE
    put_next(p, static_cast<double>(s.records.size() / rsize));  // N
}

// Type 9: states, epochs, epoch directory, degree, N.
void put_type9(unsigned char* p, const Type9Segment& s) noexcept {
    const std::size_t n = s.epochs.size();
    put_doubles(p, s.states);
    put_doubles(p, s.epochs);
    for (std::size_t k = 1; k <= directory_length(n); ++k) put_next(p, s.epochs[100 * k - 1]);
    put_next(p, static_cast<double>(s.degree));
    put_next(p, static_cast<double>(n));
}

// Makes the rename itself durable. A directory that cannot be opened for
// reading cannot be synced; the rename has happened, so that is not reported.
// File systems that cannot sync directories say EINVAL; neither is reported.
std::expected<void, SpkWriterError> sync_directory(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return {};
    int rc;
    do rc = ::fsync(fd);
    while (rc != 0 && errno == EINTR);
    const int err = errno;
    ::close(fd);
    if (rc != 0 && err != EINVAL && err != ENOTSUP) return std::unexpected(SpkWriterError::io_errno(err));
    return {};
}

}  // namespace

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

SpkWriterError SpkWriterError::address_range(std::uint64_t data_doubles) {
    return {Kind::AddressRange, "segment data too large for a DAF file: " + std::to_string(data_doubles) +
                                    " doubles, at most " + std::to_string(SpkWriter::kMaxDataDoubles) +
                                    " fit its 32-bit addresses"};
}

// ---------------------------------------------------------------------------
// Image buffer

ByteImage::ByteImage(std::size_t size) : size_(size) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    mapped_ = (std::max<std::size_t>(size, 1) + page - 1) / page * page;
    void* p = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Advice only: where huge pages are not offered this changes nothing.
    if (mapped_ >= (std::size_t{2} << 20)) ::madvise(p, mapped_, MADV_HUGEPAGE);
#endif
    data_ = static_cast<unsigned char*>(p);
}

ByteImage::ByteImage(ByteImage&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

ByteImage& ByteImage::operator=(ByteImage&& other) noexcept {
    if (this != &other) {
        if (data_) ::munmap(data_, mapped_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

ByteImage::~ByteImage() {
    if (data_) ::munmap(data_, mapped_);
}

// ---------------------------------------------------------------------------
// Collecting segments

SpkWriter SpkWriter::new_spk(std::string_view locifn) {
    SpkWriter w;
    // Cut at byte 60 even inside a multi-byte character, as the field is bytes.
    std::memset(w.locifn_, ' ', kLocifnBytes);
    std::memcpy(w.locifn_, locifn.data(), std::min(locifn.size(), kLocifnBytes));
    return w;
}

std::expected<void, SpkWriterError> SpkWriter::add_type3(Type3Segment segment) {
    if (segment.segment_id.size() > kNameBytes)
        return std::unexpected(SpkWriterError::segment_id_too_long(segment.segment_id));
    if (segment.records.empty()) return std::unexpected(SpkWriterError::invalid_type3("empty records"));
    if (segment.coefficients == 0) return std::unexpected(SpkWriterError::invalid_type3("degree < 0"));
    // Whole records only, each of 2 + 6n doubles. A record holds more than n
    // doubles, so n beyond the records' size is refused before 2 + 6n could
    // wrap.
    if (segment.coefficients > segment.records.size() ||
        segment.records.size() % (2 + 6 * segment.coefficients) != 0)
        return std::unexpected(SpkWriterError::invalid_type3("inconsistent coefficient count"));
    // NaN passes: only a comparison that holds rejects.
    if (segment.intlen <= 0.0) return std::unexpected(SpkWriterError::invalid_type3("INTLEN must be > 0"));
    // Limits of the toolkit's writers and readers, after the checks above so
    // that their messages keep precedence.
    if (segment.coefficients > std::size_t{kMaxDegree} + 1)
        return std::unexpected(SpkWriterError::invalid_type3(
            "degree " + std::to_string(segment.coefficients - 1) + " is outside 0.." + std::to_string(kMaxDegree) +
            ", the range SPICE readers support"));
    // The coverage must lie inside the records, as the toolkit requires.
    const double records = static_cast<double>(segment.records.size() / (2 + 6 * segment.coefficients));
    const double data_end = segment.init + records * segment.intlen;
    if (segment.start_et > segment.end_et)
        return std::unexpected(SpkWriterError::invalid_type3("start_et " + format_double(segment.start_et) +
                                                             " is after end_et " + format_double(segment.end_et)));
    if (segment.start_et < segment.init)
        return std::unexpected(SpkWriterError::invalid_type3("start_et " + format_double(segment.start_et) +
                                                             " is before the first record, which starts at INIT " +
                                                             format_double(segment.init)));
    if (segment.end_et > data_end)
        return std::unexpected(SpkWriterError::invalid_type3("end_et " + format_double(segment.end_et) +
                                                             " is after the last record, which ends at " +
                                                             format_double(data_end)));
    segments_.emplace_back(std::in_place_type<Type3Segment>, std::move(segment));
    return {};
}

std::expected<void, SpkWriterError> SpkWriter::add_type9(Type9Segment segment) {
    if (segment.segment_id.size() > kNameBytes)
        return std::unexpected(SpkWriterError::segment_id_too_long(segment.segment_id));
    const std::size_t n = segment.epochs.size();
    if (n == 0) return std::unexpected(SpkWriterError::invalid_type9("no epochs"));
    if (segment.states.size() / 6 != n || segment.states.size() % 6 != 0)
        return std::unexpected(SpkWriterError::invalid_type9("states length != 6 * epochs length"));
    if (segment.degree < 1) return std::unexpected(SpkWriterError::invalid_type9("degree < 1"));
    // degree + 1 in 64 bits: the largest 32-bit degree does not wrap.
    if (std::uint64_t{n} < std::uint64_t(segment.degree) + 1)
        return std::unexpected(SpkWriterError::invalid_type9("window (degree+1) exceeds sample count"));
    for (std::size_t i = 1; i < n; ++i) {
        // Written as "not greater" so that NaN neighbours fail too.
        if (!(segment.epochs[i] > segment.epochs[i - 1]))
            return std::unexpected(SpkWriterError::invalid_type9("epochs must be strictly increasing"));
    }
    if (segment.degree > kMaxDegree)
        return std::unexpected(SpkWriterError::invalid_type9("degree " + std::to_string(segment.degree) +
                                                             " is outside 1.." + std::to_string(kMaxDegree) +
                                                             ", the range SPICE readers support"));
    // The coverage must lie inside the epochs, and the toolkit refuses an
    // empty one (start equal to end) as well as a reversed one.
    if (segment.start_et >= segment.end_et)
        return std::unexpected(SpkWriterError::invalid_type9("start_et " + format_double(segment.start_et) +
                                                             " is not before end_et " +
                                                             format_double(segment.end_et)));
    if (segment.start_et < segment.epochs.front())
        return std::unexpected(SpkWriterError::invalid_type9("start_et " + format_double(segment.start_et) +
                                                             " is before the first epoch " +
                                                             format_double(segment.epochs.front())));
    if (segment.end_et > segment.epochs.back())
        return std::unexpected(SpkWriterError::invalid_type9("end_et " + format_double(segment.end_et) +
                                                             " is after the last epoch " +
                                                             format_double(segment.epochs.back())));
    segments_.emplace_back(std::in_place_type<Type9Segment>, std::move(segment));
    return {};
}

// ---------------------------------------------------------------------------
// Serialisation

std::uint64_t SpkWriter::data_length(const Segment& segment) noexcept {
    if (const auto* s3 = std::get_if<Type3Segment>(&segment)) return s3->records.size() + 4;
    const auto& s9 = std::get<Type9Segment>(segment);
    const std::uint64_t n = s9.epochs.size();
    return 7 * n + directory_length(n) + 2;
}

std::expected<std::uint32_t, SpkWriterError> SpkWriter::free_address(std::uint64_t data_doubles) {
    if (data_doubles > kMaxDataDoubles) return std::unexpected(SpkWriterError::address_range(data_doubles));
    return static_cast<std::uint32_t>(kFirstDataAddress + data_doubles);
}

std::expected<ByteImage, SpkWriterError> SpkWriter::to_bytes() const {
    if (segments_.size() > kMaxSegments)
        return std::unexpected(SpkWriterError::too_many_segments(segments_.size(), kMaxSegments));

    // The layout first, so that data beyond the 32-bit addresses is refused
    // before anything is allocated and no address is ever written wrapped.
    std::uint64_t total = 0;
    for (const Segment& s : segments_) total += data_length(s);
    auto free = free_address(total);
    if (!free) return std::unexpected(free.error());

    // One zero-filled buffer at its final size; every segment's array is
    // written straight into its place, so nothing is copied twice.
    const std::size_t data_records = static_cast<std::size_t>((total + 127) / 128);
    ByteImage image(kDataOffset + data_records * kRecordBytes);
    unsigned char* const b = image.data();

    // File record.
    std::memcpy(b + kOffLocidw, locidw_, 8);
    put_i32(b + kOffNd, 2);
    put_i32(b + kOffNi, 6);
    std::memcpy(b + kOffLocifn, locifn_, kLocifnBytes);
    put_i32(b + kOffFward, 2);
    put_i32(b + kOffBward, 2);
    put_i32(b + kOffFree, static_cast<std::int32_t>(*free));
    std::memcpy(b + kOffLocfmt, "LTL-IEEE", 8);
    std::memcpy(b + kOffFtp, kFtpString, sizeof kFtpString);

    // Summary record: NEXT = PREV = 0, NSUM, the summaries.
    unsigned char* const sum = b + kRecordBytes;
    put_f64(sum + 0, 0.0);
    put_f64(sum + 8, 0.0);
    put_f64(sum + 16, static_cast<double>(segments_.size()));

    // Name record: blanks, each id at the start of its 40-byte slot.
    unsigned char* const names = b + 2 * kRecordBytes;
    std::memset(names, ' ', kRecordBytes);

    std::uint32_t addr = kFirstDataAddress;
    for (std::size_t i = 0; i < segments_.size(); ++i) {
        const Segment& seg = segments_[i];
        const auto len = static_cast<std::uint32_t>(data_length(seg));
        unsigned char* const s = sum + 24 + i * kSummaryBytes;
        unsigned char* const data = b + kDataOffset + std::size_t{addr - kFirstDataAddress} * 8;
        std::visit(
            [&](const auto& segment) {
                using T = std::decay_t<decltype(segment)>;
                constexpr std::int32_t type = std::is_same_v<T, Type3Segment> ? 3 : 9;
                put_f64(s + 0, segment.start_et);
                put_f64(s + 8, segment.end_et);
                put_i32(s + 16, segment.target);
                put_i32(s + 20, segment.center);
                put_i32(s + 24, segment.frame_id);
                put_i32(s + 28, type);
                put_i32(s + 32, static_cast<std::int32_t>(addr));
                put_i32(s + 36, static_cast<std::int32_t>(addr + len - 1));
                std::memcpy(names + i * kNameBytes, segment.segment_id.data(),
                            std::min(segment.segment_id.size(), kNameBytes));
                if constexpr (type == 3)
                    put_type3(data, segment);
                else
                    put_type9(data, segment);
            },
            seg);
        addr += len;
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

std::string SpkWriter::temporary_path(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.rfind('.');
    // A dot that begins the last component (".hidden") starts no extension.
    if (dot == std::string::npos || dot <= base) return path + ".tmp";
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); });
    // Replacing "tmp" by "tmp" would make the target its own temporary file
    // and truncate it before the new content is complete. The comparison
    // ignores case for file systems that do.
    if (ext == "tmp") return path + ".tmp";
    return path.substr(0, dot + 1) + "tmp";
}

namespace {

// 12 letters and digits from the system's random source; should it fail, from
// the clock, the process and a counter (still distinct between the writers
// of one process, and EEXIST retries cover the rest).
std::string random_suffix() {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[12];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        static std::atomic<std::uint64_t> counter{0};
        std::uint64_t x = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                          (std::uint64_t(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15u);
        for (unsigned char& b : bytes) {
            x = (x ^ (x >> 31)) * 0xBF58476D1CE4E5B9u;
            b = static_cast<unsigned char>(x >> 56);
        }
    }
    std::string out;
    for (unsigned char b : bytes) out += kAlphabet[b % (sizeof kAlphabet - 1)];
    return out;
}

// An open staging file; removed (and closed) unless committed.
struct Staging {
    int fd = -1;
    std::string name;
    bool committed = false;
    ~Staging() {
        if (fd >= 0) ::close(fd);
        if (!committed && !name.empty()) ::unlink(name.c_str());
    }
};

// Creates the staging file exclusively: O_EXCL never opens an existing file
// and, with O_NOFOLLOW, never follows a link planted under the name.
std::expected<void, SpkWriterError> create_staging(const std::string& path, Staging& out) {
    const std::string stem = SpkWriter::temporary_path(path);
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::string name = stem + "." + random_suffix();
        int fd;
        do fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            out.fd = fd;
            out.name = std::move(name);
            return {};
        }
        if (errno != EEXIST) return std::unexpected(SpkWriterError::io_errno(errno));
    }
    return std::unexpected(SpkWriterError::io_errno(EEXIST));
}

}  // namespace

std::expected<void, SpkWriterError> SpkWriter::write(const std::string& path) const {
    auto image = to_bytes();
    if (!image) return std::unexpected(image.error());

    // open(2) would stop at an embedded NUL and write another file.
    if (path.find('\0') != std::string::npos)
        return std::unexpected(SpkWriterError::io_text("file name contained an unexpected NUL byte"));
    // A path without a file name ("", "dir/", "dir/.", "..") cannot receive a
    // file; refuse it before a staging file is created beside it.
    const std::size_t slash = path.rfind('/');
    const std::string_view last = std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
    if (path.empty()) return std::unexpected(SpkWriterError::io_errno(ENOENT));
    if (last.empty() || last == "." || last == "..") return std::unexpected(SpkWriterError::io_errno(EISDIR));

    Staging staging;
    if (auto ok = create_staging(path, staging); !ok) return std::unexpected(ok.error());
    if (auto ok = detail::write_fully(staging.fd, image->data(), image->size(), ::write); !ok)
        return std::unexpected(ok.error());
    int rc;
    do rc = ::fsync(staging.fd);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) return std::unexpected(SpkWriterError::io_errno(errno));
    // The data are on disk; a failing close has nothing more to lose.
    ::close(staging.fd);
    staging.fd = -1;
    if (::rename(staging.name.c_str(), path.c_str()) != 0) return std::unexpected(SpkWriterError::io_errno(errno));
    staging.committed = true;
    return sync_directory(path);
}

}  // namespace kernwerk
