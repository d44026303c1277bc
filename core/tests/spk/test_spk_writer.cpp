#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "daf/daf.hpp"
#include "daf_builder.hpp"
#include "spk/spk.hpp"
#include "spk/writer.hpp"

using namespace kernwerk;
using kernwerk::test::DafImage;
using kernwerk::test::SegmentSpec;
namespace fs = std::filesystem;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// R records of n coefficients; record r covers [init + r*intlen, init + (r+1)*intlen].
// Every coefficient is a distinct value so that a misplaced one shows.
Type3Segment type3(std::size_t records, std::size_t n, std::string id = "T3", double intlen = 100.0) {
    Type3Segment s{301, 3, 1, 0.0, intlen * double(records), std::move(id), 0.0, intlen, n, {}};
    double v = 1.0;
    for (std::size_t r = 0; r < records; ++r) {
        s.records.insert(s.records.end(), {intlen * (double(r) + 0.5), intlen / 2});  // MID, RADIUS
        for (std::size_t k = 0; k < 6 * n; ++k) s.records.push_back(v++);
    }
    return s;
}

// Index in `records` of coefficient k of component c (x = 0 ... vz = 5) of record r.
std::size_t coef_at(const Type3Segment& s, std::size_t r, std::size_t c, std::size_t k) {
    return r * (2 + 6 * s.coefficients) + 2 + c * s.coefficients + k;
}

// N states at epochs 10, 20, 30, ...; state i holds 1000*i + component.
Type9Segment type9(std::size_t n, std::int32_t degree = 1, std::string id = "T9") {
    Type9Segment s{399, 3, 1, 10.0, 10.0 * double(n), std::move(id), degree, {}, {}};
    for (std::size_t i = 0; i < n; ++i) {
        s.epochs.push_back(10.0 * double(i + 1));
        for (int c = 0; c < 6; ++c) s.states.push_back(1000.0 * double(i) + c);
    }
    return s;
}

std::vector<unsigned char> image_of(const SpkWriter& w) {
    auto b = w.to_bytes();
    EXPECT_TRUE(b.has_value()) << (b ? "" : b.error().message());
    return b ? b->to_vector() : std::vector<unsigned char>{};
}

// The expected image, built field by field with the independent DAF builder:
// file record, one summary record, blank name record, data from address 385.
std::vector<unsigned char> expected_image(std::vector<SegmentSpec> segs, const std::string& locifn = "kernwerk") {
    std::uint32_t free = 385;
    for (const auto& s : segs) free += static_cast<std::uint32_t>(s.data.size());
    const std::size_t nseg = segs.size();
    DafImage im = test::build_spk(std::move(segs));
    im.put_bytes(2048 + 40 * nseg, std::string(1024 - 40 * nseg, ' '));  // unused name slots
    im.put_bytes(16, locifn + std::string(60 - locifn.size(), ' '));        // LOCIFN
    im.put_u32(84, free);                                                   // FREE
    im.put_bytes(500, std::string("FTPSTR:\r:\n:\r\n:\r\0:\x81:\x10\xCE:ENDFTP", 28));  // FTPSTR
    return im.bytes;
}

// Type 3 array: the records as given, then INIT, INTLEN, RSIZE, N.
SegmentSpec spec_of(const Type3Segment& s) {
    const std::size_t rsize = 2 + 6 * s.coefficients;
    std::vector<double> d = s.records;
    d.insert(d.end(), {s.init, s.intlen, double(rsize), double(s.records.size() / rsize)});
    return test::spk_segment(s.target, s.center, 3, s.start_et, s.end_et, d, s.segment_id, s.frame_id);
}

// Type 9 array: states, epochs, the directory entries given, degree, N.
SegmentSpec spec_of(const Type9Segment& s, std::vector<double> directory) {
    std::vector<double> d = s.states;
    d.insert(d.end(), s.epochs.begin(), s.epochs.end());
    d.insert(d.end(), directory.begin(), directory.end());
    d.insert(d.end(), {double(s.degree), double(s.epochs.size())});
    return test::spk_segment(s.target, s.center, 9, s.start_et, s.end_et, std::move(d), s.segment_id, s.frame_id);
}

// Names the first differing byte instead of printing two images.
::testing::AssertionResult same_bytes(const std::vector<unsigned char>& got, const std::vector<unsigned char>& want) {
    if (got.size() != want.size()) return ::testing::AssertionFailure() << "size " << got.size() << " != " << want.size();
    const auto m = std::mismatch(got.begin(), got.end(), want.begin());
    if (m.first == got.end()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "first difference at byte " << (m.first - got.begin()) << ": "
                                         << int(*m.first) << " != " << int(*m.second);
}

std::uint32_t u32_at(const std::vector<unsigned char>& b, std::size_t off) {
    std::uint32_t v;
    std::memcpy(&v, b.data() + off, 4);
    return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Collecting segments

TEST(SpkWriterNew, LocifnIsCutOrPaddedTo60Bytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"short", "short" + std::string(55, ' ')},
        {std::string(70, 'n'), std::string(60, 'n')},
        // 59 ASCII bytes and a two-byte character: cut after its first byte.
        {std::string(59, 'a') + "\xC3\xA9", std::string(59, 'a') + "\xC3"},
    };
    for (const auto& [name, expected] : cases) {
        const SpkWriter w = SpkWriter::new_spk(name);
        EXPECT_EQ(std::string(w.locifn(), 60), expected);
        EXPECT_EQ(std::string(w.locidw(), 8), "DAF/SPK ");
    }
}

struct RejectCase {
    const char* what;
    std::function<std::expected<void, SpkWriterError>(SpkWriter&)> add;
    std::string message;
};

std::vector<RejectCase> reject_cases() {
    const std::string id41(41, 'x');
    std::string id42;  // 14 three-byte characters
    for (int i = 0; i < 14; ++i) id42 += "\xE2\x82\xAC";
    const std::string too_long = "' is longer than 40 bytes after UTF-8 encoding";
    auto t3 = [](std::function<void(Type3Segment&)> f, Type3Segment s = type3(2, 3)) {
        return [=](SpkWriter& w) mutable { f(s); return w.add_type3(std::move(s)); };
    };
    auto t9 = [](std::function<void(Type9Segment&)> f, Type9Segment s = type9(4)) {
        return [=](SpkWriter& w) mutable { f(s); return w.add_type9(std::move(s)); };
    };
    auto t13 = [](std::function<void(Type9Segment&)> f, Type9Segment s = type9(4, 3)) {
        return [=](SpkWriter& w) mutable { f(s); return w.add_type13(std::move(s)); };
    };
    return {
        // Type 13: the limits of the toolkit's spkw13 (odd degrees 1..27,
        // windows of (degree + 1) / 2 states), then Type 9's checks.
        {"type13 even degree", t13([](auto& s) { s.degree = 2; }),
         "invalid Type 13 segment: degree 2 is even: Hermite interpolation has odd degrees (1, 3, 5, ...)"},
        {"type13 degree 0", t13([](auto& s) { s.degree = 0; }), "invalid Type 13 segment: degree < 1"},
        {"type13 degree 1", t13([](auto& s) { s.degree = 1; }),
         "invalid Type 13 segment: degree 1 makes windows of one state, which kernwerk's readers refuse; use degree "
         "3 or more"},
        {"type13 N below the window", t13([](auto& s) { s.degree = 9; }),
         "invalid Type 13 segment: window ((degree+1)/2) exceeds sample count"},
        {"type13 degree 29", t13([](auto& s) { s.degree = 29; }, type9(40)),
         "invalid Type 13 segment: degree 29 is outside 1..27, the range SPICE readers support"},
        {"type13 equal neighbours", t13([](auto& s) { s.epochs[2] = s.epochs[1]; }),
         "invalid Type 13 segment: epochs must be strictly increasing"},
        {"type13 empty coverage", t13([](auto& s) { s.start_et = s.end_et = 20; }),
         "invalid Type 13 segment: start_et 20 is not before end_et 20"},
        {"type13 end after the last epoch", t13([](auto& s) { s.end_et = 41; }),
         "invalid Type 13 segment: end_et 41 is after the last epoch 40"},
        {"type13 NaN state", t13([](auto& s) { s.states[7] = kNaN; }),
         "invalid Type 13 segment: states holds a non-finite value (NaN) at index 7 (row 1, column 1)"},
        {"type3 id of 41 bytes", t3([=](auto& s) { s.segment_id = id41; }), "segment id '" + id41 + too_long},
        {"type3 id of 14 characters", t3([=](auto& s) { s.segment_id = id42; }), "segment id '" + id42 + too_long},
        {"id checked before records", t3([=](auto& s) { s.segment_id = id41; s.records.clear(); }),
         "segment id '" + id41 + too_long},
        {"empty records", t3([](auto& s) { s.records.clear(); }), "invalid Type 3 segment: empty records"},
        {"no coefficients", t3([](auto&) {}, type3(2, 0)), "invalid Type 3 segment: degree < 0"},
        {"one double beyond whole records", t3([](auto& s) { s.records.push_back(0); }),
         "invalid Type 3 segment: inconsistent coefficient count"},
        {"records of 3 coefficients declared as 2", t3([](auto& s) { s.coefficients = 2; }),
         "invalid Type 3 segment: inconsistent coefficient count"},
        {"2 + 6n would wrap", t3([](auto& s) { s.coefficients = SIZE_MAX / 3; }),
         "invalid Type 3 segment: inconsistent coefficient count"},
        {"counts checked before intlen", t3([](auto& s) { s.records.pop_back(); s.intlen = 0; }),
         "invalid Type 3 segment: inconsistent coefficient count"},
        {"intlen 0", t3([](auto& s) { s.intlen = 0; }), "invalid Type 3 segment: INTLEN must be > 0"},
        {"intlen negative", t3([](auto& s) { s.intlen = -5; }), "invalid Type 3 segment: INTLEN must be > 0"},
        {"type9 id before epochs", t9([=](auto& s) { s.segment_id = id41; s.epochs.clear(); }),
         "segment id '" + id41 + too_long},
        {"no epochs, no states", t9([](auto&) {}, type9(0)), "invalid Type 9 segment: no epochs"},
        {"no epochs, some states", t9([](auto& s) { s.states.assign(6, 1); }, type9(0)),
         "invalid Type 9 segment: no epochs"},
        {"one state value short", t9([](auto& s) { s.states.pop_back(); }),
         "invalid Type 9 segment: states length != 6 * epochs length"},
        {"degree 0 before window", t9([](auto& s) { s.degree = 0; }, type9(1)), "invalid Type 9 segment: degree < 1"},
        {"N = degree", t9([](auto& s) { s.degree = 4; }),
         "invalid Type 9 segment: window (degree+1) exceeds sample count"},
        {"largest degree", t9([](auto& s) { s.degree = std::numeric_limits<std::int32_t>::max(); }),
         "invalid Type 9 segment: window (degree+1) exceeds sample count"},
        {"equal neighbours", t9([](auto& s) { s.epochs[2] = s.epochs[1]; }),
         "invalid Type 9 segment: epochs must be strictly increasing"},
        {"NaN epoch", t9([](auto& s) { s.epochs[0] = kNaN; }),
         "invalid Type 9 segment: epochs must be strictly increasing"},
        // Beyond what SPICE tools write and read (checked after the above).
        {"type3 degree 28", t3([](auto&) {}, type3(2, 29)),
         "invalid Type 3 segment: degree 28 is outside 0..27, the range SPICE readers support"},
        {"type3 intlen before degree", t3([](auto& s) { s.intlen = 0; }, type3(2, 29)),
         "invalid Type 3 segment: INTLEN must be > 0"},
        {"type9 degree 28", t9([](auto& s) { s.degree = 28; }, type9(40)),
         "invalid Type 9 segment: degree 28 is outside 1..27, the range SPICE readers support"},
        {"type9 window before degree", t9([](auto& s) { s.degree = 28; }),
         "invalid Type 9 segment: window (degree+1) exceeds sample count"},
        // Coverage the toolkit refuses (records of type3(2, 3) span 0..200,
        // epochs of type9(4) span 10..40).
        {"type3 start after end", t3([](auto& s) { s.start_et = 150; s.end_et = 50; }),
         "invalid Type 3 segment: start_et 150 is after end_et 50"},
        {"type3 start before INIT", t3([](auto& s) { s.start_et = -0.5; }),
         "invalid Type 3 segment: start_et -0.5 is before the first record, which starts at INIT 0"},
        {"type3 end after the records", t3([](auto& s) { s.end_et = 200.25; }),
         "invalid Type 3 segment: end_et 200.25 is after the last record, which ends at 200"},
        {"type9 start after end", t9([](auto& s) { s.start_et = 30; s.end_et = 20; }),
         "invalid Type 9 segment: start_et 30 is not before end_et 20"},
        {"type9 empty coverage", t9([](auto& s) { s.start_et = s.end_et = 20; }),
         "invalid Type 9 segment: start_et 20 is not before end_et 20"},
        {"type9 start before the first epoch", t9([](auto& s) { s.start_et = 9.5; }),
         "invalid Type 9 segment: start_et 9.5 is before the first epoch 10"},
        {"type9 end after the last epoch", t9([](auto& s) { s.end_et = 41; }),
         "invalid Type 9 segment: end_et 41 is after the last epoch 40"},
    };
}

TEST(SpkWriterAdd, RejectedSegmentLeavesWriterUnchanged) {
    for (const auto& c : reject_cases()) {
        SCOPED_TRACE(c.what);
        SpkWriter w = SpkWriter::new_spk("x");
        ASSERT_TRUE(w.add_type9(type9(3, 2, "FIRST")));
        const auto before = image_of(w);
        auto r = c.add(w);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().message(), c.message);
        EXPECT_EQ(w.segments().size(), 1u);
        EXPECT_EQ(image_of(w), before);
        EXPECT_TRUE(w.add_type3(type3(1, 1)));
    }
}

TEST(SpkWriterAdd, EdgeSegmentsAreAccepted) {
    std::string id40;
    for (int i = 0; i < 13; ++i) id40 += "\xE2\x82\xAC";
    id40 += "z";
    Type3Segment odd = type3(1, 2, "", 1e300);  // a vast INTLEN; values are not compared
    odd.records[0] = -0.0;  // MID
    odd.start_et = 5.0;     // a reversed coverage (end -5) is refused, see reject_cases
    odd.end_et = 5.0;
    Type9Segment largest = type9(28, 27);  // the largest degree, N = degree + 1
    largest.start_et = 15.0;               // coverage inside the epochs
    largest.end_et = 279.5;
    SpkWriter w = SpkWriter::new_spk("x");
    EXPECT_TRUE(w.add_type3(type3(1, 1, id40)));  // 40 bytes, degree 0
    EXPECT_TRUE(w.add_type3(std::move(odd)));
    EXPECT_TRUE(w.add_type9(type9(6, 5)));  // N = degree + 1
    EXPECT_TRUE(w.add_type3(type3(2, 28)));  // degree 27
    EXPECT_TRUE(w.add_type9(std::move(largest)));
    EXPECT_EQ(w.segments().size(), 5u);
}

// Type 13 is Type 9's layout with the window size less one before N: a
// degree 7 segment of 150 states (one directory entry) holds 3 there, and
// the reader takes it back as windows of 4 states.
TEST(SpkWriterAdd, Type13StoresTheWindow) {
    for (const std::int32_t degree : {3, 7, 27}) {
        SpkWriter w = SpkWriter::new_spk("x");
        Type9Segment s = type9(150, degree, "T13");
        ASSERT_TRUE(w.add_type13(s));
        const HeldSegment& held = w.segments().back();
        EXPECT_EQ(held.data_type, 13);
        ASSERT_EQ(held.words.size(), 7u * 150 + 1 + 2);
        EXPECT_EQ(held.words[7 * 150], s.epochs[99]);
        EXPECT_EQ(held.words[7 * 150 + 1], double((degree + 1) / 2 - 1));
        EXPECT_EQ(held.words[7 * 150 + 2], 150.0);
        // Degree 27 over these made-up states only amplifies rounding.
        if (degree > 7) continue;
        const std::vector<unsigned char> image = image_of(w);
        const std::string path = (fs::temp_directory_path() / ("kw_t13_" + std::to_string(degree) + ".bsp")).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
        auto spk = SpkFile::open(path);
        ASSERT_TRUE(spk) << spk.error().message();
        for (std::size_t i : {0u, 1u, 75u, 149u}) {  // Hermite windows pass through their states
            auto st = spk->state(399, 3, s.epochs[i]);
            ASSERT_TRUE(st) << st.error().message();
            for (int c = 0; c < 6; ++c)
                EXPECT_NEAR((*st)[c], s.states[6 * i + c], 1e-9 * (1 + std::fabs(s.states[6 * i + c])))
                    << degree << " " << i << " " << c;
        }
        fs::remove(path);
    }
}

// ---------------------------------------------------------------------------
// Byte-exact images

TEST(SpkWriterImage, EmptyWriterIsThreeRecords) {
    const auto b = image_of(SpkWriter::new_spk("kernwerk"));
    EXPECT_TRUE(same_bytes(b, expected_image({})));
    EXPECT_EQ(u32_at(b, 84), 385u);  // FREE
    const unsigned char ftp[] = {0x46, 0x54, 0x50, 0x53, 0x54, 0x52, 0x3A, 0x0D, 0x3A, 0x0A, 0x3A, 0x0D, 0x0A, 0x3A,
                                 0x0D, 0x00, 0x3A, 0x81, 0x3A, 0x10, 0xCE, 0x3A, 0x45, 0x4E, 0x44, 0x46, 0x54, 0x50};
    EXPECT_EQ(std::memcmp(b.data() + 500, ftp, 28), 0);
    auto daf = DafFile::from_bytes(b);
    ASSERT_TRUE(daf);
    EXPECT_TRUE(daf->summaries()->empty());
}

TEST(SpkWriterImage, Type3TwoRecordsOfThreeCoefficients) {
    SpkWriter w = SpkWriter::new_spk("kernwerk");
    const Type3Segment s = type3(2, 3, "MOON");
    ASSERT_TRUE(w.add_type3(s));
    const auto b = image_of(w);
    EXPECT_TRUE(same_bytes(b, expected_image({spec_of(s)})));
    // 2 * 20 + 4 = 44 doubles: begin 385, end 428, FREE 429, one data record.
    EXPECT_EQ(b.size(), 4096u);
    EXPECT_EQ(u32_at(b, 1048 + 32), 385u);
    EXPECT_EQ(u32_at(b, 1048 + 36), 428u);
    EXPECT_EQ(u32_at(b, 84), 429u);
}

TEST(SpkWriterImage, Type9EpochDirectory) {
    // N -> indices (from 0) of the directory epochs.
    const std::pair<std::size_t, std::vector<std::size_t>> cases[] = {
        {100, {}}, {101, {99}}, {128, {99}}, {200, {99}}, {201, {99, 199}}, {250, {99, 199}}};
    for (const auto& [n, entries] : cases) {
        SCOPED_TRACE(n);
        SpkWriter w = SpkWriter::new_spk("kernwerk");
        const Type9Segment s = type9(n, 5);
        ASSERT_TRUE(w.add_type9(s));
        std::vector<double> dir;
        for (auto i : entries) dir.push_back(s.epochs[i]);
        const auto b = image_of(w);
        EXPECT_TRUE(same_bytes(b, expected_image({spec_of(s, dir)})));
        EXPECT_EQ(w.segments()[0].words.size(), 7 * n + entries.size() + 2);
    }
    // N = 128, degree 5: 899 doubles in 8 data records.
    SpkWriter w = SpkWriter::new_spk("k");
    ASSERT_TRUE(w.add_type9(type9(128, 5)));
    EXPECT_EQ(image_of(w).size(), 3072u + 8 * 1024);
}

TEST(SpkWriterImage, RecordBoundaryAndSecondSegment) {
    // Type 9 with N = 18: 7*18 + 2 = 128 doubles fill record 4 exactly.
    SpkWriter a = SpkWriter::new_spk("kernwerk");
    const Type9Segment s128 = type9(18);
    ASSERT_TRUE(a.add_type9(s128));
    EXPECT_TRUE(same_bytes(image_of(a), expected_image({spec_of(s128, {})})));
    EXPECT_EQ(image_of(a).size(), 4096u);

    // 4 Type 3 records of 1 coefficient (36) + Type 9 with N = 13 (93) = 129,
    // with bits that must pass unchanged.
    SpkWriter b = SpkWriter::new_spk("kernwerk");
    Type3Segment t3 = type3(4, 1, "A");
    t3.records[coef_at(t3, 1, 0, 0)] = -0.0;
    t3.records[coef_at(t3, 2, 4, 0)] = 0x1p-1074;
    t3.frame_id = 17;
    t3.target = -82;
    Type9Segment t9 = type9(13, 1, "B");
    t9.states[7] = std::numeric_limits<double>::max();
    ASSERT_TRUE(b.add_type3(t3));
    ASSERT_TRUE(b.add_type9(t9));
    const auto bb = image_of(b);
    EXPECT_TRUE(same_bytes(bb, expected_image({spec_of(t3), spec_of(t9, {})})));
    EXPECT_EQ(bb.size(), 5120u);
    EXPECT_EQ(u32_at(bb, 1048 + 36) + 1, u32_at(bb, 1088 + 32));  // second begin = first end + 1
    EXPECT_EQ(std::string(bb.begin() + 2048, bb.begin() + 2050), "A ");
    EXPECT_EQ(std::string(bb.begin() + 2088, bb.begin() + 2090), "B ");
}

TEST(SpkWriterImage, TwentyFiveSegmentsFitAndTwentySixDoNot) {
    SpkWriter w = SpkWriter::new_spk("many");
    std::vector<SegmentSpec> specs;
    for (int i = 0; i < 25; ++i) {
        Type9Segment s = type9(3 + i, 2, "SEG" + std::to_string(i));
        s.target = 1000 + i;
        specs.push_back(spec_of(s, {}));
        ASSERT_TRUE(w.add_type9(std::move(s)));
    }
    EXPECT_TRUE(same_bytes(image_of(w), expected_image(specs, "many")));
    ASSERT_TRUE(w.add_type3(type3(1, 1)));  // the 26th add succeeds
    auto r = w.to_bytes();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "too many segments (26); single summary record holds at most 25");
}

TEST(SpkWriterImage, FreeAddressStaysInSigned32Bits) {
    EXPECT_EQ(SpkWriter::free_address(0).value(), 385u);
    EXPECT_EQ(SpkWriter::free_address(2147483262u).value(), 2147483647u);
    for (std::uint64_t d : {std::uint64_t{2147483263u}, std::uint64_t{1} << 40}) {
        auto r = SpkWriter::free_address(d);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message(), "segment data too large for a DAF file: " + std::to_string(d) +
                                           " doubles, at most 2147483262 fit its 32-bit addresses");
    }
}

TEST(SpkWriterImage, ByteImageIsZeroedAndMoves) {
    for (std::size_t size : {std::size_t{1}, std::size_t{4097}, std::size_t{3} << 20}) {
        ByteImage a(size);
        ASSERT_TRUE(std::all_of(a.begin(), a.end(), [](unsigned char c) { return c == 0; })) << size;
        a.data()[size - 1] = 7;
        ByteImage b(16);
        b = std::move(a);
        EXPECT_EQ(a.data(), nullptr);
        EXPECT_EQ(b.size(), size);
        EXPECT_EQ(b[size - 1], 7);
    }
}

TEST(SpkWriterImage, ReadsBackThroughTheCatalogue) {
    SpkWriter w = SpkWriter::new_spk("round trip");
    Type3Segment a = type3(3, 4, "MOON WRT EMB", 86400.0);
    Type9Segment b = type9(101, 7, "EARTH WRT EMB");
    b.frame_id = 17;
    ASSERT_TRUE(w.add_type3(a));
    ASSERT_TRUE(w.add_type9(b));
    ASSERT_TRUE(w.add_type9(type9(2, 1, "")));
    auto daf = DafFile::from_bytes(image_of(w));
    ASSERT_TRUE(daf);
    auto spk = SpkFile::from_daf(*daf);
    ASSERT_TRUE(spk) << spk.error().message();
    const auto& segs = spk->segments();
    ASSERT_EQ(segs.size(), 3u);
    EXPECT_EQ(segs[0].name, "MOON WRT EMB");
    EXPECT_EQ(segs[0].data_type, 3);
    EXPECT_EQ(segs[0].end_et, 3 * 86400.0);
    EXPECT_EQ(segs[0].end, 385u + 3 * 26 + 4 - 1);
    const auto& p3 = std::get<SpkType3>(segs[0].payload);
    EXPECT_EQ(p3.intlen, 86400.0);
    EXPECT_EQ(p3.n, 3u);
    EXPECT_EQ(p3.ncoef, 4u);
    const auto x2 = a.records.begin() + static_cast<std::ptrdiff_t>(coef_at(a, 2, 0, 0));
    EXPECT_EQ(*daf->read_doubles(p3.begin + 2 * 26 + 2, p3.begin + 2 * 26 + 5), std::vector<double>(x2, x2 + 4));
    EXPECT_EQ(segs[1].frame, 17);
    EXPECT_EQ(segs[1].begin, segs[0].end + 1);
    const auto& p9 = std::get<SpkType9>(segs[1].payload);
    EXPECT_EQ(p9.meta.size, 7u);
    EXPECT_EQ(p9.meta.n, 101u);
    EXPECT_EQ(*daf->read_doubles(p9.meta.epoch_addr, p9.meta.epoch_addr + 100), b.epochs);
    EXPECT_EQ(segs[2].name, "");
}

// Chained summary records and comment records, read back through the DAF
// catalogue: each case's segments come back in order with their data, and
// the file record's FWARD, BWARD and FREE point where the layout puts them.
TEST(SpkWriterImage, ChainedSummariesAndCommentsReadBack) {
    const std::string long_line(2500, 'c');
    struct Case {
        std::size_t segments;
        std::vector<std::string> comments;
        std::size_t comment_records, summary_records;
    } cases[] = {
        {0, {}, 0, 1},           {25, {}, 0, 1},         {26, {}, 0, 2},
        {1000, {}, 0, 40},       {1001, {"one"}, 1, 41}, {3, {"a", "", "b"}, 1, 1},
        {60, {long_line}, 3, 3}, {1, {std::string(998, 'x')}, 1, 1},  // 998 + NUL + EOT: one record exactly
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.segments) + " segments, " + std::to_string(c.comments.size()) + " lines");
        SpkWriter w = SpkWriter::new_spk_chained("chained");
        ASSERT_TRUE(w.set_comments(c.comments));
        for (std::size_t i = 0; i < c.segments; ++i) {
            Type9Segment s = type9(2 + i % 3, 1, "S" + std::to_string(i));
            s.target = static_cast<std::int32_t>(1000 + i);
            ASSERT_TRUE(w.add_type9(std::move(s)));
        }
        const auto bytes = image_of(w);
        std::int32_t fward, bward, free;
        std::memcpy(&fward, bytes.data() + 76, 4);
        std::memcpy(&bward, bytes.data() + 80, 4);
        std::memcpy(&free, bytes.data() + 84, 4);
        EXPECT_EQ(fward, std::int32_t(2 + c.comment_records));
        EXPECT_EQ(bward, std::int32_t(fward + 2 * (c.summary_records - 1)));
        // The comment text, lines ended by NUL and the whole by EOT, 1000
        // characters per record.
        std::string text;
        for (std::size_t r = 0; r < c.comment_records; ++r)
            text.append(reinterpret_cast<const char*>(bytes.data()) + 1024 * (1 + r), 1000);
        std::string want;
        for (const auto& line : c.comments) want += line + '\0';
        if (!c.comments.empty()) want += '\x04';
        EXPECT_EQ(text.substr(0, want.size()), want);
        auto daf = DafFile::from_bytes(bytes);
        ASSERT_TRUE(daf) << daf.error().message();
        auto spk = SpkFile::from_daf(*daf);
        ASSERT_TRUE(spk) << spk.error().message();
        const auto& segs = spk->segments();
        ASSERT_EQ(segs.size(), c.segments);
        std::uint32_t next = static_cast<std::uint32_t>((1 + c.comment_records + 2 * c.summary_records) * 128 + 1);
        for (std::size_t i = 0; i < segs.size(); ++i) {
            ASSERT_EQ(segs[i].target, std::int32_t(1000 + i));
            ASSERT_EQ(segs[i].name, "S" + std::to_string(i));
            ASSERT_EQ(segs[i].begin, next);
            const std::size_t n = 2 + i % 3;
            ASSERT_EQ(*daf->read_doubles(segs[i].begin + 6 * n, segs[i].begin + 7 * n - 1), type9(n).epochs);
            next = segs[i].end + 1;
        }
        EXPECT_EQ(std::uint32_t(free), next);
        EXPECT_EQ(bytes.size() % 1024, 0u);
        EXPECT_EQ(bytes.size(), (std::size_t(free) - 1 + 127) / 128 * 1024);
    }
}

// Up to 25 segments and no comments, the chained writer's file is the
// single-record writer's, byte for byte; the single-record writer keeps its
// limit.
TEST(SpkWriterImage, ChainedWriterMatchesSingleRecordLayout) {
    SpkWriter one = SpkWriter::new_spk("same");
    SpkWriter chained = SpkWriter::new_spk_chained("same");
    for (int i = 0; i < 25; ++i) {
        ASSERT_TRUE(one.add_type9(type9(3 + i, 2)));
        ASSERT_TRUE(chained.add_type9(type9(3 + i, 2)));
    }
    EXPECT_TRUE(same_bytes(image_of(one), image_of(chained)));
    ASSERT_TRUE(one.add_type3(type3(1, 1)));
    ASSERT_TRUE(chained.add_type3(type3(1, 1)));
    EXPECT_EQ(one.to_bytes().error().kind(), SpkWriterError::Kind::TooManySegments);
    EXPECT_TRUE(chained.to_bytes().has_value());
}

// The one limit left, the 32-bit addresses, is checked when a segment is
// added, before its storage is allocated or filled, on both writers; the
// writer keeps what it had.
TEST(SpkWriterAdd, AddressLimitIsCheckedAtAdd) {
    for (bool chained : {false, true}) {
        SpkWriter w = chained ? SpkWriter::new_spk_chained("big") : SpkWriter::new_spk("big");
        ASSERT_TRUE(w.add_type9(type9(3)));
        const std::size_t records = std::size_t{1} << 28;  // 8 doubles each: 2^31 doubles, + 4 + the 23 held
        const Type3Layout big{301, 3, 1, 0.0, 1.0, "BIG", 0.0, 1.0, 1, records * 8};
        bool filled = false;
        auto r = w.add_type3_from(big, [&](double*) { filled = true; });
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), SpkWriterError::Kind::AddressRange);
        EXPECT_EQ(r.error().message().rfind("segment data too large for a DAF file: 2147483675 doubles", 0), 0u)
            << r.error().message();
        EXPECT_FALSE(filled);
        EXPECT_EQ(w.segments().size(), 1u);
        EXPECT_TRUE(w.to_bytes().has_value());
    }
}

TEST(SpkWriterAdd, CommentsHoldPrintableAsciiOnly) {
    struct Case {
        std::vector<std::string> lines;
        std::string message;
    } cases[] = {
        {{"ok", "tab\there"}, "comment line 2, column 4: byte 0x09 is not printable ASCII"},
        {{"caf\xC3\xA9"}, "comment line 1, column 4: byte 0xC3 is not printable ASCII"},
        {{"a\nb"}, "comment line 1, column 2: byte 0x0A"},
        {{std::string("nul\0", 4)}, "comment line 1, column 4: byte 0x00"},
        {{"\x7F"}, "comment line 1, column 1: byte 0x7F"},
    };
    for (const Case& c : cases) {
        SpkWriter w = SpkWriter::new_spk_chained("k");
        ASSERT_TRUE(w.set_comments({"kept"}));
        auto r = w.set_comments(c.lines);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), SpkWriterError::Kind::InvalidComment);
        EXPECT_EQ(r.error().message().rfind(c.message, 0), 0u) << r.error().message();
        EXPECT_EQ(w.comment_records(), 1u);  // the comments set before stay
    }
}

// ---------------------------------------------------------------------------
// Writing to disk

TEST(SpkWriterWrite, TemporaryPath) {
    const std::pair<std::string, std::string> cases[] = {
        {"out/de440.bsp", "out/de440.tmp"}, {"out/kernel", "out/kernel.tmp"}, {"a.b.bsp", "a.b.tmp"},
        {".hidden", ".hidden.tmp"},         {"dir.d/kernel", "dir.d/kernel.tmp"}, {"a.", "a.tmp"},
        // A target whose extension is already tmp must not be its own temporary.
        {"x.tmp", "x.tmp.tmp"}, {"dir/x.TMP", "dir/x.TMP.tmp"}, {"x.tmpl", "x.tmp"},
    };
    for (const auto& [target, tmp] : cases) EXPECT_EQ(SpkWriter::temporary_path(target), tmp) << target;
}

// A scripted write(2): each entry is one call's result (a byte count, or
// -errno); the bytes "written" are collected.
struct ScriptedWrite {
    static inline std::vector<long> script;
    static inline std::size_t next = 0;
    static inline std::string out;
    static ssize_t call(int, const void* buf, std::size_t count) {
        const long r = next < script.size() ? script[next++] : static_cast<long>(count);
        if (r < 0) {
            errno = static_cast<int>(-r);
            return -1;
        }
        const auto n = std::min<std::size_t>(static_cast<std::size_t>(r), count);
        out.append(static_cast<const char*>(buf), n);
        return static_cast<ssize_t>(n);
    }
};

TEST(SpkWriterWrite, WriteLoopOutcomes) {
    const std::string text = "0123456789";
    struct Case {
        std::vector<long> script;
        std::string message;  // empty: success
        std::string written;
    } cases[] = {
        {{3, 1, 4}, "", text},
        {{-EINTR, 2, -EINTR, -EINTR}, "", text},
        {{4, 0}, "I/O error: failed to write whole buffer", "0123"},
        {{5, -ENOSPC}, "I/O error: No space left on device (os error 28)", "01234"},
    };
    for (const auto& c : cases) {
        ScriptedWrite::script = c.script;
        ScriptedWrite::next = 0;
        ScriptedWrite::out.clear();
        auto r = detail::write_fully(-1, reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                                     &ScriptedWrite::call);
        EXPECT_EQ(r ? "" : r.error().message(), c.message);
        EXPECT_EQ(ScriptedWrite::out, c.written);
    }
}

// The vectored loop over three buffers (one empty): a short write resumes
// inside the buffer where it stopped, whatever the boundaries.
struct ScriptedWritev {
    static inline std::vector<long> script;
    static inline std::size_t next = 0;
    static inline std::string out;
    static ssize_t call(int, const struct iovec* iov, int count) {
        std::size_t total = 0;
        for (int i = 0; i < count; ++i) total += iov[i].iov_len;
        const long r = next < script.size() ? script[next++] : static_cast<long>(total);
        if (r < 0) {
            errno = static_cast<int>(-r);
            return -1;
        }
        std::size_t left = std::min<std::size_t>(static_cast<std::size_t>(r), total);
        const std::size_t done = left;
        for (int i = 0; i < count && left > 0; ++i) {
            const std::size_t n = std::min(left, iov[i].iov_len);
            out.append(static_cast<const char*>(iov[i].iov_base), n);
            left -= n;
        }
        return static_cast<ssize_t>(done);
    }
};

TEST(SpkWriterWrite, VectoredWriteLoopOutcomes) {
    const std::string a = "012", b, c = "3456789";
    struct Case {
        std::vector<long> script;
        std::string message;  // empty: success
        std::string written;
    } cases[] = {
        {{}, "", "0123456789"},
        {{2, 1, 4, 3}, "", "0123456789"},
        {{5, -EINTR, 1, 4}, "", "0123456789"},
        {{3, 0}, "I/O error: failed to write whole buffer", "012"},
        {{4, -EIO}, "I/O error: Input/output error (os error 5)", "0123"},
    };
    for (const auto& t : cases) {
        ScriptedWritev::script = t.script;
        ScriptedWritev::next = 0;
        ScriptedWritev::out.clear();
        struct iovec iov[3] = {{const_cast<char*>(a.data()), a.size()},
                               {const_cast<char*>(b.data()), b.size()},
                               {const_cast<char*>(c.data()), c.size()}};
        auto r = detail::writev_fully(-1, iov, 3, &ScriptedWritev::call);
        EXPECT_EQ(r ? "" : r.error().message(), t.message);
        EXPECT_EQ(ScriptedWritev::out, t.written);
    }
}

class SpkWriterFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kernwerk-writer-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    static std::vector<unsigned char> slurp(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void put(const std::string& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }
    std::vector<std::string> listing() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir_)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    fs::path dir_;
};

TEST_F(SpkWriterFile, WriteReplacesTargetAndLeavesNoTemporary) {
    // A file named like the staging stem is not the writer's: it stays.
    put(path("moon.tmp"), "an unrelated file of the temporary's name");
    SpkWriter w = SpkWriter::new_spk("kernwerk");
    ASSERT_TRUE(w.add_type3(type3(2, 3)));
    ASSERT_TRUE(w.write(path("moon.bsp")));
    EXPECT_EQ(slurp(path("moon.bsp")), image_of(w));
    ASSERT_TRUE(w.add_type9(type9(3)));
    ASSERT_TRUE(w.write(path("moon.bsp")));
    EXPECT_EQ(slurp(path("moon.bsp")), image_of(w));
    EXPECT_EQ(listing(), (std::vector<std::string>{"moon.bsp", "moon.tmp"}));
    const std::string text = "an unrelated file of the temporary's name";
    EXPECT_EQ(slurp(path("moon.tmp")), std::vector<unsigned char>(text.begin(), text.end()));
}

TEST_F(SpkWriterFile, FailuresLeaveTheTargetAlone) {
    put(path("plain"), "not a directory");
    fs::create_directory(path("adir.bsp"));
    const std::vector<std::string> base = {"adir.bsp", "plain"};
    struct Case {
        std::string target, message;
    } cases[] = {
        {path("missing/x.bsp"), "I/O error: No such file or directory (os error 2)"},
        {path("plain/x.bsp"), "I/O error: Not a directory (os error 20)"},
        // The rename onto a directory fails; the staging file is removed.
        {path("adir.bsp"), "I/O error: Is a directory (os error 21)"},
        {"", "I/O error: No such file or directory (os error 2)"},
        {path("adir.bsp") + "/", "I/O error: Is a directory (os error 21)"},
        {path(".."), "I/O error: Is a directory (os error 21)"},
        {path("n") + std::string(1, '\0') + ".bsp", "I/O error: file name contained an unexpected NUL byte"},
    };
    SpkWriter w = SpkWriter::new_spk("k");
    ASSERT_TRUE(w.add_type9(type9(3)));
    for (const auto& c : cases) {
        auto r = w.write(c.target);
        ASSERT_FALSE(r) << c.target;
        EXPECT_EQ(r.error().message(), c.message);
        EXPECT_EQ(listing(), base) << c.target;
    }

    // 26 segments: nothing is created.
    for (int i = 0; i < 25; ++i) ASSERT_TRUE(w.add_type9(type9(2)));
    EXPECT_EQ(w.write(path("x.bsp")).error().kind(), SpkWriterError::Kind::TooManySegments);
    EXPECT_EQ(listing(), base);
}

// A write that fails half-way (the file size limit stands in for a full
// disk: write(2) stops with EFBIG) leaves the target as it was and removes
// its staging file, which would otherwise keep the space.
TEST_F(SpkWriterFile, TmpTargetKeepsOldContentUntilTheRename) {
    put(path("x.tmp"), "old content");
    SpkWriter w = SpkWriter::new_spk("k");
    ASSERT_TRUE(w.add_type9(type9(300)));  // 2102 doubles: 20 KiB
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 8192;
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    auto r = w.write(path("x.tmp"));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "I/O error: File too large (os error 27)");
    EXPECT_EQ(slurp(path("x.tmp")), std::vector<unsigned char>({'o', 'l', 'd', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't'}));
    EXPECT_EQ(listing(), std::vector<std::string>{"x.tmp"});
    ASSERT_TRUE(w.write(path("x.tmp")));
    EXPECT_EQ(slurp(path("x.tmp")), image_of(w));
    EXPECT_EQ(listing(), std::vector<std::string>{"x.tmp"});
}

// The staging file is created exclusively under a random name: a link
// planted under the old fixed name is never followed, and writers of x.bsp
// and x.spk never share a staging file, however their writes interleave.
TEST_F(SpkWriterFile, StagingNeverTouchesAnotherFile) {
    put(path("victim"), "victim");
    fs::create_symlink(path("victim"), path("orbit.tmp"));
    SpkWriter w = SpkWriter::new_spk("k");
    ASSERT_TRUE(w.add_type9(type9(3)));
    ASSERT_TRUE(w.write(path("orbit.bsp")));
    EXPECT_EQ(slurp(path("victim")), std::vector<unsigned char>({'v', 'i', 'c', 't', 'i', 'm'}));
    EXPECT_TRUE(fs::is_symlink(path("orbit.tmp")));
    EXPECT_EQ(slurp(path("orbit.bsp")), image_of(w));

    SpkWriter a = SpkWriter::new_spk("writer a"), b = SpkWriter::new_spk("writer b");
    ASSERT_TRUE(a.add_type9(type9(2000, 3, "A")));
    ASSERT_TRUE(b.add_type3(type3(400, 5, "B")));
    std::atomic<int> failures{0};
    const auto loop = [&](const SpkWriter& writer, const std::string& target) {
        for (int i = 0; i < 40; ++i)
            if (!writer.write(target)) ++failures;
    };
    std::thread ta(loop, std::cref(a), path("x.bsp")), tb(loop, std::cref(b), path("x.spk"));
    ta.join();
    tb.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(slurp(path("x.bsp")), image_of(a));
    EXPECT_EQ(slurp(path("x.spk")), image_of(b));
    EXPECT_EQ(listing(), (std::vector<std::string>{"orbit.bsp", "orbit.tmp", "victim", "x.bsp", "x.spk"}));
}
