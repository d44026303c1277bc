#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daf/daf.hpp"
#include "daf_builder.hpp"
#include "base/map_guard.hpp"

using namespace kernwerk;
using kernwerk::test::DafImage;
using kernwerk::test::SegmentSpec;

namespace {

std::expected<DafFile, DafError> open_image(const DafImage& im) { return DafFile::from_bytes(im.bytes); }

std::string error_of(const std::expected<DafFile, DafError>& r) { return r ? "" : r.error().message(); }

std::string summaries_error(const DafImage& im) {
    auto f = open_image(im);
    if (!f) return "open failed: " + f.error().message();
    auto s = f->summaries();
    return s ? "" : s.error().message();
}

// A file with one summary record at record 2 whose NSUM is `nsum`.
DafImage one_record(double nsum, std::uint32_t nd = 2, std::uint32_t ni = 6) {
    DafImage im = DafImage::with_header(nd, ni, 2, 2, 3);
    im.put_f64(DafImage::record_offset(2) + 16, nsum);
    return im;
}

}  // namespace

TEST(DafOpen, FileRecordChecks) {
    std::vector<unsigned char> small(1023, 0);
    EXPECT_EQ(error_of(DafFile::from_bytes(small)), "file too small (1023 bytes) to contain a DAF header");
    EXPECT_EQ(error_of(DafFile::from_bytes({})), "file too small (0 bytes) to contain a DAF header");

    DafImage bad_id = DafImage::with_header(2, 6, 0, 0, 1, "NAIF/DAF");
    EXPECT_EQ(error_of(open_image(bad_id)), "unrecognized DAF identifier: [78, 65, 73, 70, 47, 68, 65, 70]");
    // The identifier is judged before the format word.
    DafImage both = DafImage::with_header(2, 6, 0, 0, 1, "NAIF/DAF", "BIG-IEEE");
    EXPECT_EQ(open_image(both).error().kind(), DafError::Kind::BadIdWord);

    DafImage big = DafImage::with_header(2, 6, 0, 0, 1, "DAF/SPK ", "BIG-IEEE");
    EXPECT_EQ(error_of(open_image(big)),
              "unsupported binary format: [66, 73, 71, 45, 73, 69, 69, 69] (only LTL-IEEE is supported)");

    for (const char* id : {"DAF/SPK ", "DAF/PCK ", "DAF/\x01\x02\x03\x04"}) {
        auto f = open_image(DafImage::with_header(2, 6, 0, 0, 1, id));
        ASSERT_TRUE(f) << id;
        EXPECT_TRUE(f->summaries()->empty());
        EXPECT_EQ(f->nd(), 2u);
        EXPECT_EQ(f->ni(), 6u);
    }
}

TEST(DafOpen, SystemErrors) {
    auto missing = DafFile::open("/nonexistent/kernwerk/none.bsp");
    EXPECT_EQ(error_of(missing), "I/O error: No such file or directory (os error 2)");
    auto dir = DafFile::open(std::filesystem::temp_directory_path().string());
    EXPECT_EQ(error_of(dir), "I/O error: Is a directory (os error 21)");
    auto nul = DafFile::open(std::string("/tmp\0x", 6));
    EXPECT_EQ(error_of(nul), "I/O error: file name contained an unexpected NUL byte");

    const auto path = std::filesystem::temp_directory_path() / "kernwerk_daf_empty.bsp";
    { std::ofstream(path, std::ios::binary); }
    EXPECT_EQ(error_of(DafFile::open(path.string())), "file too small (0 bytes) to contain a DAF header");
    std::filesystem::remove(path);

    // A FIFO without a writer is reported at once instead of blocking the
    // open; the alarm ends the test process should the open ever block.
    const auto fifo = std::filesystem::temp_directory_path() / ("kernwerk_daf_fifo" + std::to_string(::getpid()));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ::alarm(60);
    const auto from_fifo = DafFile::open(fifo.string());
    ::alarm(0);
    std::filesystem::remove(fifo);
    EXPECT_EQ(error_of(from_fifo), "file too small (0 bytes) to contain a DAF header");
}

TEST(DafOpen, MappingLivesWhileAnyHandleDoes) {
    const auto path = std::filesystem::temp_directory_path() / "kernwerk_daf_lifetime.bsp";
    DafImage im = DafImage::with_header(2, 6, 0, 0, 2);
    im.put_word(129, 42.5);
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(im.bytes.data()), static_cast<std::streamsize>(im.bytes.size()));
    }
    std::span<const double> view;
    std::optional<DafFile> keep;
    {
        auto f = DafFile::open(path.string());
        ASSERT_TRUE(f);
        keep = *f;  // a clone shares the mapping
        EXPECT_EQ(f->use_count(), 2);
        view = *f->slice_doubles(129, 129);
    }
    std::filesystem::remove(path);
    EXPECT_EQ(keep->use_count(), 1);
    EXPECT_EQ(view[0], 42.5);
}

TEST(DafSummaries, WalkAndDecode) {
    DafImage im = kernwerk::test::build_daf(
        2, 6,
        {SegmentSpec{{1.0, 2.0}, {10, 20, 1, 2, 0, 0}, {7.0, 8.0}, "EARTH"},
         SegmentSpec{{-1.0, 3.5}, {-5, 0, 17, 13, 0, 0}, {9.0}, "MOON"}});
    auto f = open_image(im);
    ASSERT_TRUE(f);
    auto s = f->summaries();
    ASSERT_TRUE(s);
    ASSERT_EQ(s->size(), 2u);
    EXPECT_EQ((*s)[0].doubles, (std::vector<double>{1.0, 2.0}));
    EXPECT_EQ((*s)[0].ints, (std::vector<std::int32_t>{10, 20, 1, 2, 385, 386}));
    EXPECT_EQ((*s)[0].name, "EARTH");
    EXPECT_EQ((*s)[1].ints, (std::vector<std::int32_t>{-5, 0, 17, 13, 387, 387}));
    EXPECT_EQ((*s)[1].name, "MOON");
    EXPECT_EQ(*f->read_doubles(385, 387), (std::vector<double>{7.0, 8.0, 9.0}));
}

TEST(DafSummaries, ChainFollowsNextAcrossRecords) {
    // Record 2 -> record 4 (names in 3 and 5); NSUM 2.9 reads as 2 and a
    // negative NSUM as 0.
    DafImage im = DafImage::with_header(2, 6, 2, 6, 7);
    const std::size_t r2 = DafImage::record_offset(2), r4 = DafImage::record_offset(4),
                      r6 = DafImage::record_offset(6);
    im.put_f64(r2, 4.0);
    im.put_f64(r2 + 16, 2.9);
    im.put_f64(r4, 6.0);
    im.put_f64(r4 + 16, -3.0);
    im.put_f64(r6, 0.0);
    im.put_f64(r6 + 16, 1.0);
    im.put_f64(r6 + 24, 99.0);
    im.put_bytes(DafImage::record_offset(3), "FIRST");
    im.put_bytes(DafImage::record_offset(3) + 40, "SECOND");
    im.put_bytes(DafImage::record_offset(7), "THIRD");
    auto s = open_image(im)->summaries();
    ASSERT_TRUE(s);
    ASSERT_EQ(s->size(), 3u);
    EXPECT_EQ((*s)[0].name, "FIRST");
    EXPECT_EQ((*s)[1].name, "SECOND");
    EXPECT_EQ((*s)[2].name, "THIRD");
    EXPECT_EQ((*s)[2].doubles[0], 99.0);
}

struct SummaryErrorCase {
    const char* what;
    DafImage image;
    const char* message;
};

class DafSummaryErrors : public ::testing::TestWithParam<SummaryErrorCase> {};

TEST_P(DafSummaryErrors, Message) { EXPECT_EQ(summaries_error(GetParam().image), GetParam().message) << GetParam().what; }

DafImage fward_past_end() { return DafImage::with_header(2, 6, 5, 5, 1); }
DafImage name_record_missing() {
    DafImage im = DafImage::with_header(2, 6, 2, 2, 2);
    return im;
}
DafImage too_many_summaries() { return one_record(26.0); }
DafImage looping_chain() {
    DafImage im = DafImage::with_header(2, 6, 2, 2, 5);
    im.put_f64(DafImage::record_offset(2), 4.0);
    im.put_f64(DafImage::record_offset(4), 2.0);
    return im;
}
DafImage self_loop() {
    DafImage im = one_record(1.0);
    im.put_f64(DafImage::record_offset(2), 2.0);
    return im;
}
DafImage zero_summary_size() { return one_record(1e300, 0, 0); }
// NEXT is clamped to the largest record number before it is truncated.
DafImage next_beyond_32_bits() {
    DafImage im = one_record(0.0);
    im.put_f64(DafImage::record_offset(2), 1e20);
    return im;
}
DafImage next_truncated(double next) {
    DafImage im = one_record(0.0, 2, 6);
    im.put_f64(DafImage::record_offset(2), next);
    return im;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DafSummaryErrors,
    ::testing::Values(
        SummaryErrorCase{"FWARD past end", fward_past_end(), "malformed summary at record 5: record extends past end of file"},
        SummaryErrorCase{"name record missing", name_record_missing(),
                         "malformed summary at record 3: record extends past end of file"},
        SummaryErrorCase{"NSUM 26 with SS 5", too_many_summaries(),
                         "malformed summary at record 2: summary past end of record"},
        SummaryErrorCase{"NSUM 2^61 (NSUM x 40 bytes wraps to 0)", one_record(2305843009213693952.0),
                         "malformed summary at record 2: summary past end of record"},
        SummaryErrorCase{"chain 2 -> 4 -> 2", looping_chain(),
                         "malformed summary at record 2: summary chain revisits this record"},
        SummaryErrorCase{"record names itself as NEXT", self_loop(),
                         "malformed summary at record 2: summary chain revisits this record"},
        SummaryErrorCase{"ND = NI = 0", zero_summary_size(),
                         "malformed summary at record 2: summary size is zero (ND = NI = 0)"},
        SummaryErrorCase{"NEXT 1e20", next_beyond_32_bits(),
                         "malformed summary at record 4294967295: record extends past end of file"},
        SummaryErrorCase{"NEXT 7.9 reads as 7", next_truncated(7.9),
                         "malformed summary at record 7: record extends past end of file"},
        SummaryErrorCase{"NEXT NaN ends the chain", next_truncated(std::nan("")), ""},
        SummaryErrorCase{"NEXT -3 ends the chain", next_truncated(-3.0), ""},
        SummaryErrorCase{"NEXT 0.9 ends the chain", next_truncated(0.9), ""}));

TEST(DafSummaries, SummarySizeAndCounts) {
    // With ND = 2 and NI = 5 a summary is 5 words, as with NI = 6: 25 fit.
    EXPECT_EQ(summaries_error(one_record(25.0, 2, 5)), "");
    EXPECT_EQ(summaries_error(one_record(25.0, 2, 6)), "");
    EXPECT_EQ(open_image(one_record(std::nan("")))->summaries()->size(), 0u);
    EXPECT_EQ(open_image(one_record(0.0))->summaries()->size(), 0u);
    // NI = 5: the last int sits in the low half of the last word.
    DafImage im = one_record(1.0, 2, 5);
    im.put_i32(DafImage::record_offset(2) + 24 + 16 + 16, -7);
    auto s = open_image(im)->summaries();
    ASSERT_EQ(s->size(), 1u);
    EXPECT_EQ((*s)[0].ints.size(), 5u);
    EXPECT_EQ((*s)[0].ints[4], -7);
}

struct NameCase {
    std::string field;
    std::string name;
};

class DafNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(DafNames, Trimming) {
    DafImage im = one_record(1.0);
    std::string field = GetParam().field;
    field.resize(40, '\0');
    im.put_bytes(DafImage::record_offset(3), field);
    auto s = open_image(im)->summaries();
    ASSERT_TRUE(s);
    EXPECT_EQ((*s)[0].name, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DafNames,
    ::testing::Values(NameCase{std::string(40, ' '), ""}, NameCase{std::string(40, '\0'), ""},
                      NameCase{"EARTH" + std::string(10, ' '), "EARTH"},
                      NameCase{std::string("EARTH  \0\0", 9), "EARTH"},
                      NameCase{std::string("EARTH\0\0  ", 9) + std::string(31, ' '), std::string("EARTH\0\0", 7)},
                      NameCase{"EARTH\xFF", ""}, NameCase{"ERDE \xC3\x9F\t\r\n", "ERDE \xC3\x9F"},
                      NameCase{"DE-0421LE-0421", "DE-0421LE-0421"}));

TEST(DafAddresses, RangesAndErrors) {
    DafImage im = DafImage::with_header(2, 6, 0, 0, 2);
    auto f = open_image(im);
    ASSERT_TRUE(f);
    auto first = f->read_doubles(1, 1);
    ASSERT_TRUE(first);
    double expect;
    std::memcpy(&expect, im.bytes.data(), 8);
    EXPECT_EQ(std::memcmp(&(*first)[0], &expect, 8), 0);
    EXPECT_EQ(f->read_doubles(0, 3).error().message(), "address range [0,3] out of file (file has 256 doubles)");
    EXPECT_EQ(f->read_doubles(6, 5).error().message(), "address range [6,5] out of file (file has 256 doubles)");
    EXPECT_EQ(f->slice_doubles(250, 257).error().message(),
              "address range [250,257] out of file (file has 256 doubles; the file looks truncated)");
    EXPECT_EQ(f->slice_doubles(1, 256)->size(), 256u);
    EXPECT_EQ(f->slice_doubles(4294967295u, 4294967295u).error().kind(), DafError::Kind::AddressOutOfRange);
}

// ND or NI of 0: the summaries still decode (the empty half is not copied:
// memcpy into an empty vector's null data() is undefined even for 0 bytes).
TEST(DafSummaries, EmptyDoubleOrIntegerHalf) {
    const struct {
        std::uint32_t nd, ni;
    } cases[] = {{0, 2}, {0, 1}, {2, 0}, {1, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.nd) + "," + std::to_string(c.ni));
        DafImage im = one_record(1.0, c.nd, c.ni);
        const std::size_t s = DafImage::record_offset(2) + 24;
        for (std::uint32_t k = 0; k < c.nd; ++k) im.put_f64(s + 8 * k, 1.5 + k);
        for (std::uint32_t k = 0; k < c.ni; ++k) im.put_i32(s + 8 * c.nd + 4 * k, -7 - static_cast<int>(k));
        auto sums = open_image(im)->summaries();
        ASSERT_TRUE(sums) << sums.error().message();
        ASSERT_EQ(sums->size(), 1u);
        EXPECT_EQ((*sums)[0].doubles.size(), c.nd);
        EXPECT_EQ((*sums)[0].ints.size(), c.ni);
        if (c.nd) {
            EXPECT_EQ((*sums)[0].doubles[0], 1.5);
        }
        if (c.ni) {
            EXPECT_EQ((*sums)[0].ints[0], -7);
        }
    }
}

namespace {

std::string temp_file(const std::string& stem) {
    return (std::filesystem::temp_directory_path() / (stem + std::to_string(::getpid()))).string();
}

void write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

// The summary walk costs what the chain visits, not what the file claims: a
// sparse file of 2 TiB whose chain is one record is opened without a
// bitmap of its 2^31 records (256 MiB).
TEST(DafSummaries, SparseHugeFileCostsOnlyTheVisitedRecords) {
    const std::string path = temp_file("kernwerk_daf_sparse");
    write_file(path, one_record(0.0).bytes);
    if (::truncate(path.c_str(), off_t{1} << 41) != 0) {
        std::filesystem::remove(path);
        GTEST_SKIP() << "no sparse 2 TiB file here: " << std::strerror(errno);
    }
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        struct rusage before {}, after {};
        ::getrusage(RUSAGE_SELF, &before);
        auto f = DafFile::open(path);
        const bool ok = f && f->summaries().has_value();
        ::getrusage(RUSAGE_SELF, &after);
        const long grown_kib = ok ? after.ru_maxrss - before.ru_maxrss : -1;
        [[maybe_unused]] auto n = ::write(fds[1], &grown_kib, sizeof grown_kib);
        ::_exit(0);
    }
    ::close(fds[1]);
    long grown_kib = -2;
    ASSERT_EQ(::read(fds[0], &grown_kib, sizeof grown_kib), static_cast<ssize_t>(sizeof grown_kib));
    ::close(fds[0]);
    ::waitpid(child, nullptr, 0);
    std::filesystem::remove(path);
    EXPECT_GE(grown_kib, 0) << "open or walk failed";
    EXPECT_LT(grown_kib, 32 * 1024) << "peak grew by " << grown_kib << " KiB";
}

// A file truncated or rewritten shorter while it is open: reads of the pages
// that vanished fault; the guard maps zeros over them, the handle reports the
// change, and the process goes on. A new open reads the new file.
TEST(DafChanged, TruncatedWhileOpenIsReportedNotFatal) {
    // 2048 words of data: records 4 to 19, pages 0 to 4 of the file.
    std::vector<double> data(2048);
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = 1.0 + static_cast<double>(k);
    const auto image = kernwerk::test::build_daf(2, 6, {SegmentSpec{{0.0, 1.0}, {1, 0, 1, 2, 0, 0}, data, "S"}}).bytes;
    const std::string path = temp_file("kernwerk_daf_changed");
    for (off_t keep : {off_t{0}, off_t{4096}, off_t{12288}}) {
        SCOPED_TRACE(keep);
        write_file(path, image);
        auto f = DafFile::open(path);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->path(), path);
        const std::uint32_t last = 384 + 2048;  // byte 19448, page 4
        EXPECT_EQ((*f->slice_doubles(last, last))[0], 2048.0);
        EXPECT_FALSE(f->changed());
        ASSERT_EQ(::truncate(path.c_str(), keep), 0);
        const double after = (*f->slice_doubles(last, last))[0];  // faults, reads the zero page
        EXPECT_EQ(after, 0.0);
        EXPECT_TRUE(f->changed());
        const DafFile copy = *f;
        auto err = copy.check_unchanged();
        ASSERT_FALSE(err);
        EXPECT_EQ(err.error().kind(), DafError::Kind::Changed);
        EXPECT_EQ(err.error().message(),
                  "kernel file changed while open: " + path +
                      " (it was truncated or rewritten in place by another process; open it again, and update "
                      "kernels by writing a new file and renaming it over the old one)");
        EXPECT_FALSE(check_unchanged(std::vector<DafFile>{*DafFile::from_bytes(image), copy}));
        // The new content opens afresh.
        write_file(path, image);
        auto again = DafFile::open(path);
        ASSERT_TRUE(again);
        EXPECT_FALSE(again->changed());
        EXPECT_EQ((*again->slice_doubles(last, last))[0], 2048.0);
        EXPECT_TRUE(check_unchanged(std::vector<DafFile>{*again}));
    }
    std::filesystem::remove(path);
}

// A fault outside the library's mappings still ends the process (through
// the handler that was there before, here the default action).
TEST(DafChanged, ForeignFaultIsNotSwallowed) {
    const std::string kernel = temp_file("kernwerk_daf_guarded"), other = temp_file("kernwerk_daf_foreign");
    write_file(kernel, one_record(0.0).bytes);
    write_file(other, std::vector<unsigned char>(3 * 4096, 1));
    EXPECT_EXIT(
        {
            auto f = DafFile::open(kernel);  // installs the handler
            if (!f) ::_exit(3);
            const int fd = ::open(other.c_str(), O_RDONLY);
            auto* p = static_cast<volatile const unsigned char*>(::mmap(nullptr, 3 * 4096, PROT_READ, MAP_SHARED, fd, 0));
            if (::truncate(other.c_str(), 0) != 0) ::_exit(4);
            [[maybe_unused]] unsigned char v = p[2 * 4096];
            ::_exit(0);
        },
        [](int status) { return WIFSIGNALED(status) ? WTERMSIG(status) == SIGBUS : WEXITSTATUS(status) == 1; }, "");
    std::filesystem::remove(kernel);
    std::filesystem::remove(other);
}

// Past the guard's slots a file is read into private memory instead of being
// mapped: it reads the same and can never vanish.
TEST(DafChanged, OpensBeyondTheGuardSlotsReadACopy) {
    DafImage im = one_record(0.0);
    im.put_word(129, 42.5);
    const std::string path = temp_file("kernwerk_daf_many");
    write_file(path, im.bytes);
    std::vector<DafFile> open;
    for (std::size_t k = 0; k < map_guard::kSlots + 3; ++k) {
        auto f = DafFile::open(path);
        ASSERT_TRUE(f) << k;
        open.push_back(std::move(*f));
    }
    for (const DafFile& f : open) {
        EXPECT_EQ((*f.slice_doubles(129, 129))[0], 42.5);
        EXPECT_EQ(f.path(), path);
    }
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    EXPECT_FALSE(open.back().changed());
    EXPECT_EQ((*open.back().slice_doubles(129, 129))[0], 42.5);
    std::filesystem::remove(path);
}

namespace {

void put_be64(DafImage& im, std::size_t off, double v) {
    std::uint64_t u;
    std::memcpy(&u, &v, 8);
    u = __builtin_bswap64(u);
    im.ensure(off + 8);
    std::memcpy(im.bytes.data() + off, &u, 8);
}

void put_be32(DafImage& im, std::size_t off, std::int32_t v) {
    std::uint32_t u = __builtin_bswap32(static_cast<std::uint32_t>(v));
    im.ensure(off + 4);
    std::memcpy(im.bytes.data() + off, &u, 4);
}

}  // namespace

// The file records the two rules take, and the kind each reports.
TEST(DafOpen, ToolkitRules) {
    struct Case {
        const char* id;
        const char* fmt;
        std::uint32_t nd, ni;
        const char* strict_error;  // nullptr: opens
        const char* toolkit_kind;  // nullptr: refused by the toolkit rules too
    };
    const Case cases[] = {
        {"DAF/SPK ", "LTL-IEEE", 2, 6, nullptr, "SPK"},
        {"DAF/PCK ", "        ", 2, 5, "unsupported binary format", "PCK"},
        {"DAF/CK  ", "\0\0\0\0\0\0\0\0", 1, 5, "unsupported binary format", "CK"},
        {"NAIF/DAF", "        ", 2, 6, "unrecognized DAF identifier", "SPK"},
        {"NAIF/DAF", "LTL-IEEE", 2, 5, "unrecognized DAF identifier", "?"},
        {"NAIF/DAF", "LTL-IEEE", 1, 5, "unrecognized DAF identifier", "?"},
        {"DAF/SPK ", "VAX-GFLT", 2, 6, "unsupported binary format", nullptr},
        {"NAIF/SPK", "LTL-IEEE", 2, 6, "unrecognized DAF identifier", nullptr},
    };
    for (const Case& c : cases) {
        DafImage im = DafImage::with_header(c.nd, c.ni, 0, 0, 1, c.id, c.fmt);
        auto strict = DafFile::from_bytes(im.bytes);
        if (c.strict_error) EXPECT_TRUE(error_of(strict).starts_with(c.strict_error)) << c.id << c.fmt;
        else EXPECT_TRUE(strict) << c.id;
        auto toolkit = DafFile::from_bytes(im.bytes, DafRules::Toolkit);
        if (!c.toolkit_kind) {
            EXPECT_EQ(error_of(toolkit).find("(LTL-IEEE, BIG-IEEE and a blank word are read)") != std::string::npos,
                      std::string(c.fmt) == "VAX-GFLT");
            continue;
        }
        ASSERT_TRUE(toolkit) << c.id << ": " << error_of(toolkit);
        EXPECT_EQ(toolkit->kind(), c.toolkit_kind) << c.id;
        EXPECT_EQ(toolkit->byte_order(), DafByteOrder::Little);
    }
}

// A BIG-IEEE file written number by number in big-endian order reads like
// its native twin: a chain of two summary records (the second after the
// data), an odd NI, comments and names kept as characters.
TEST(DafOpen, BigEndianFileReadsSwapped) {
    const std::uint32_t nd = 2, ni = 5;  // SS = 5 words
    DafImage im = DafImage::with_header(nd, ni, 0, 0, 1, "DAF/PCK ", "BIG-IEEE");
    put_be32(im, 8, nd);
    put_be32(im, 12, ni);
    put_be32(im, 76, 3);   // FWARD
    put_be32(im, 80, 6);   // BWARD
    put_be32(im, 84, 0);   // FREE
    im.put_bytes(DafImage::record_offset(2), std::string("first line\0second\0\x04", 19));
    // Records 3, 4: summaries and names; record 5 data (addresses 513..); 6, 7 the second pair.
    const std::vector<std::pair<std::uint32_t, std::vector<double>>> arrays = {
        {513, {1.5, -2.25, 1e300}}, {516, {3.0, 4.0, -0.0, 5e-310}}};
    for (const auto& [addr, words] : arrays)
        for (std::size_t k = 0; k < words.size(); ++k) put_be64(im, (addr - 1 + k) * 8, words[k]);
    for (int pair = 0; pair < 2; ++pair) {
        const std::size_t rec = DafImage::record_offset(pair == 0 ? 3 : 6);
        const auto& [addr, words] = arrays[static_cast<std::size_t>(pair)];
        put_be64(im, rec, pair == 0 ? 6.0 : 0.0);  // NEXT
        put_be64(im, rec + 8, pair == 0 ? 0.0 : 3.0);
        put_be64(im, rec + 16, 1.0);
        put_be64(im, rec + 24, -100.0 - pair);
        put_be64(im, rec + 32, 200.0 + pair);
        const std::int32_t ints[5] = {3000 + pair, 17, 2, static_cast<std::int32_t>(addr),
                                      static_cast<std::int32_t>(addr + words.size() - 1)};
        for (int k = 0; k < 5; ++k) put_be32(im, rec + 40 + 4 * static_cast<std::size_t>(k), ints[k]);
        im.put_bytes(rec + 1024, pair == 0 ? "FIRST" : "SECOND");
    }
    im.ensure(7 * 1024);

    EXPECT_TRUE(error_of(DafFile::from_bytes(im.bytes)).starts_with("unsupported binary format"));
    auto f = DafFile::from_bytes(im.bytes, DafRules::Toolkit);
    ASSERT_TRUE(f) << error_of(f);
    EXPECT_EQ(f->byte_order(), DafByteOrder::Big);
    EXPECT_EQ(f->kind(), "PCK");
    EXPECT_EQ(f->nd(), 2u);
    EXPECT_EQ(f->ni(), 5u);
    EXPECT_EQ(*f->comments(), "first line\nsecond\n");
    auto sums = f->summaries();
    ASSERT_TRUE(sums);
    ASSERT_EQ(sums->size(), 2u);
    for (int pair = 0; pair < 2; ++pair) {
        const Summary& s = (*sums)[static_cast<std::size_t>(pair)];
        const auto& [addr, words] = arrays[static_cast<std::size_t>(pair)];
        EXPECT_EQ(s.name, pair == 0 ? "FIRST" : "SECOND");
        EXPECT_EQ(s.doubles, (std::vector<double>{-100.0 - pair, 200.0 + pair}));
        EXPECT_EQ(s.ints, (std::vector<std::int32_t>{3000 + pair, 17, 2, static_cast<std::int32_t>(addr),
                                                     static_cast<std::int32_t>(addr + words.size() - 1)}));
        auto data = f->read_doubles(addr, static_cast<std::uint32_t>(addr + words.size() - 1));
        ASSERT_TRUE(data);
        for (std::size_t k = 0; k < words.size(); ++k)
            EXPECT_EQ(std::memcmp(&(*data)[k], &words[k], 8), 0) << pair << " " << k;
        EXPECT_EQ(std::memcmp(s.tail_words(static_cast<std::uint32_t>(addr + words.size() - 1), 1), &words.back(), 8), 0);
    }
}

TEST(DafOpen, CommentArea) {
    // No comment records (FWARD 2), and records whose text ends at the
    // record's 1000th character without an EOT.
    EXPECT_EQ(*open_image(DafImage::with_header(2, 6, 2, 2, 2))->comments(), "");
    DafImage im = DafImage::with_header(2, 6, 4, 4, 4);
    im.put_bytes(DafImage::record_offset(2), std::string(1000, 'a') + "IGNORED");
    im.put_bytes(DafImage::record_offset(3), std::string(999, 'b') + std::string(1, '\0'));
    EXPECT_EQ(*open_image(im)->comments(), std::string(1000, 'a') + std::string(999, 'b') + "\n");
    DafImage past = DafImage::with_header(2, 6, 9, 9, 2);
    EXPECT_EQ(open_image(past)->comments().error().message(),
              "malformed comment area: the first summary record is 9, past the end of the file (2048 bytes)");
}
