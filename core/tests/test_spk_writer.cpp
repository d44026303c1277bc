#include "spk_writer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "daf.hpp"
#include "daf_builder.hpp"
#include "spk.hpp"

namespace kernwerk {
namespace {

namespace fs = std::filesystem;
using test::DafImage;
using test::SegmentSpec;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------
// Segment builders

// R records of n coefficients; record r covers [init + r*intlen, init + (r+1)*intlen]
// and its coefficients are distinct values so that a misplaced one shows.
Type3Segment type3(std::size_t records, std::size_t n, std::string id = "T3", double init = 0.0,
                   double intlen = 100.0) {
    Type3Segment s;
    s.target = 301;
    s.center = 3;
    s.frame_id = 1;
    s.start_et = init;
    s.end_et = init + intlen * static_cast<double>(records);
    s.segment_id = std::move(id);
    s.init = init;
    s.intlen = intlen;
    double v = 1.0;
    for (std::size_t r = 0; r < records; ++r) {
        Type3Record rec;
        rec.mid = init + intlen * (static_cast<double>(r) + 0.5);
        rec.radius = intlen / 2;
        for (auto* c : {&rec.x, &rec.y, &rec.z, &rec.vx, &rec.vy, &rec.vz})
            for (std::size_t k = 0; k < n; ++k) c->push_back(v++);
        s.records.push_back(std::move(rec));
    }
    return s;
}

// N states at epochs 10, 20, 30, ...; state i holds 1000*i + component.
Type9Segment type9(std::size_t n, std::int32_t degree = 1, std::string id = "T9") {
    Type9Segment s;
    s.target = 399;
    s.center = 3;
    s.frame_id = 1;
    s.start_et = 10.0;
    s.end_et = 10.0 * static_cast<double>(n);
    s.segment_id = std::move(id);
    s.degree = degree;
    for (std::size_t i = 0; i < n; ++i) {
        s.epochs.push_back(10.0 * static_cast<double>(i + 1));
        for (int c = 0; c < 6; ++c) s.states.push_back(1000.0 * static_cast<double>(i) + c);
    }
    return s;
}

std::vector<unsigned char> image_of(const SpkWriter& w) {
    auto b = w.to_bytes();
    EXPECT_TRUE(b.has_value()) << (b ? "" : b.error().message());
    return b ? b->to_vector() : std::vector<unsigned char>{};
}

// ---------------------------------------------------------------------------
// The expected image, built field by field with the independent DAF builder.

constexpr unsigned char kFtp[28] = {'F', 'T', 'P', 'S', 'T', 'R', ':', '\r', ':', '\n', ':', '\r', '\n', ':',
                                    '\r', 0,   ':', 0x81, ':', 0x10, 0xCE, ':', 'E', 'N', 'D', 'F', 'T', 'P'};

std::vector<unsigned char> expected_image(std::vector<SegmentSpec> segs, const std::string& locifn = "kernwerk") {
    std::uint32_t free = 385;
    for (const auto& s : segs) free += static_cast<std::uint32_t>(s.data.size());
    const std::size_t nseg = segs.size();
    DafImage im = test::build_spk(std::move(segs));
    im.put_bytes(2048 + 40 * nseg, std::string(1024 - 40 * nseg, ' '));  // unused name slots
    im.put_bytes(16, locifn + std::string(60 - locifn.size(), ' '));  // LOCIFN
    im.put_u32(84, free);                                               // FREE
    std::memcpy(im.bytes.data() + 500, kFtp, sizeof kFtp);              // FTPSTR
    return im.bytes;
}

// Type 3 array for `type3(records, n)`: the records as given, then INIT,
// INTLEN, RSIZE, N.
std::vector<double> type3_array(const Type3Segment& s) {
    std::vector<double> d;
    for (const auto& r : s.records) {
        d.push_back(r.mid);
        d.push_back(r.radius);
        for (const auto* c : {&r.x, &r.y, &r.z, &r.vx, &r.vy, &r.vz}) d.insert(d.end(), c->begin(), c->end());
    }
    d.insert(d.end(), {s.init, s.intlen, 2.0 + 6.0 * double(s.records[0].x.size()), double(s.records.size())});
    return d;
}

SegmentSpec spec_of(const Type3Segment& s) {
    return test::spk_segment(s.target, s.center, 3, s.start_et, s.end_et, type3_array(s), s.segment_id, s.frame_id);
}

// Type 9 array: states, epochs, the directory entries given, degree, N.
SegmentSpec spec_of(const Type9Segment& s, std::vector<double> directory) {
    std::vector<double> d = s.states;
    d.insert(d.end(), s.epochs.begin(), s.epochs.end());
    d.insert(d.end(), directory.begin(), directory.end());
    d.insert(d.end(), {double(s.degree), double(s.epochs.size())});
    return test::spk_segment(s.target, s.center, 9, s.start_et, s.end_et, std::move(d), s.segment_id, s.frame_id);
}

// Compares two images and names the first differing byte offset.
::testing::AssertionResult same_bytes(const std::vector<unsigned char>& got, const std::vector<unsigned char>& want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "size " << got.size() << " != " << want.size();
    for (std::size_t i = 0; i < got.size(); ++i)
        if (got[i] != want[i])
            return ::testing::AssertionFailure() << "first difference at byte " << i << ": " << int(got[i])
                                                 << " != " << int(want[i]);
    return ::testing::AssertionSuccess();
}

std::uint32_t u32_at(const std::vector<unsigned char>& b, std::size_t off) {
    std::uint32_t v;
    std::memcpy(&v, b.data() + off, 4);
    return v;
}
double f64_at(const std::vector<unsigned char>& b, std::size_t off) {
    double v;
    std::memcpy(&v, b.data() + off, 8);
    return v;
}

// ---------------------------------------------------------------------------
// Construction

TEST(spk_writer_test, locifn_is_cut_or_padded_to_60_bytes) {
    const std::string seventy(70, 'n');
    struct Case {
        std::string name, expected;
    } cases[] = {
        {"short", "short" + std::string(55, ' ')},
        {seventy, std::string(60, 'n')},
        {"", std::string(60, ' ')},
        // 59 ASCII bytes and a two-byte character: cut after its first byte.
        {std::string(59, 'a') + "\xC3\xA9", std::string(59, 'a') + "\xC3"},
    };
    for (const auto& c : cases) {
        const SpkWriter w = SpkWriter::new_spk(c.name);
        EXPECT_EQ(std::string(w.locifn(), 60), c.expected);
        EXPECT_EQ(std::string(w.locidw(), 8), "DAF/SPK ");
        EXPECT_TRUE(w.segments().empty());
    }
}

// ---------------------------------------------------------------------------
// Validation of added segments

struct RejectCase {
    const char* what;
    std::function<std::expected<void, SpkWriterError>(SpkWriter&)> add;
    SpkWriterError::Kind kind;
    std::string message;
};

std::vector<RejectCase> reject_cases() {
    const std::string id41(41, 'x');
    // 14 three-byte characters: 42 bytes.
    std::string id42;
    for (int i = 0; i < 14; ++i) id42 += "\xE2\x82\xAC";
    return {
        {"type3 id of 41 bytes", [=](SpkWriter& w) { return w.add_type3(type3(1, 1, id41)); },
         SpkWriterError::Kind::SegmentIdTooLong,
         "segment id '" + id41 + "' is longer than 40 bytes after UTF-8 encoding"},
        {"type3 id of 14 three-byte characters", [=](SpkWriter& w) { return w.add_type3(type3(1, 1, id42)); },
         SpkWriterError::Kind::SegmentIdTooLong,
         "segment id '" + id42 + "' is longer than 40 bytes after UTF-8 encoding"},
        {"type3 long id before empty records",
         [=](SpkWriter& w) { return w.add_type3(type3(0, 1, id41, 0.0, -1.0)); },
         SpkWriterError::Kind::SegmentIdTooLong,
         "segment id '" + id41 + "' is longer than 40 bytes after UTF-8 encoding"},
        {"type3 empty records", [](SpkWriter& w) { return w.add_type3(type3(0, 1)); },
         SpkWriterError::Kind::InvalidType3, "invalid Type 3 segment: empty records"},
        {"type3 no coefficients", [](SpkWriter& w) { return w.add_type3(type3(2, 0)); },
         SpkWriterError::Kind::InvalidType3, "invalid Type 3 segment: degree < 0"},
        {"type3 second record with one more vz",
         [](SpkWriter& w) {
             auto s = type3(2, 3);
             s.records[1].vz.push_back(0.0);
             return w.add_type3(std::move(s));
         },
         SpkWriterError::Kind::InvalidType3, "invalid Type 3 segment: inconsistent coefficient count"},
        {"type3 first record with one y less",
         [](SpkWriter& w) {
             auto s = type3(2, 3);
             s.records[0].y.pop_back();
             return w.add_type3(std::move(s));
         },
         SpkWriterError::Kind::InvalidType3, "invalid Type 3 segment: inconsistent coefficient count"},
        {"type3 inconsistent before bad intlen",
         [](SpkWriter& w) {
             auto s = type3(2, 3, "T3", 0.0, 0.0);
             s.records[1].x.pop_back();
             return w.add_type3(std::move(s));
         },
         SpkWriterError::Kind::InvalidType3, "invalid Type 3 segment: inconsistent coefficient count"},
        {"type3 intlen 0", [](SpkWriter& w) { return w.add_type3(type3(1, 2, "T3", 0.0, 0.0)); },
         SpkWriterError::Kind::InvalidType3, "invalid Type 3 segment: INTLEN must be > 0"},
        {"type3 intlen negative", [](SpkWriter& w) { return w.add_type3(type3(1, 2, "T3", 0.0, -5.0)); },
         SpkWriterError::Kind::InvalidType3, "invalid Type 3 segment: INTLEN must be > 0"},
        {"type9 id of 41 bytes", [=](SpkWriter& w) { return w.add_type9(type9(4, 1, id41)); },
         SpkWriterError::Kind::SegmentIdTooLong,
         "segment id '" + id41 + "' is longer than 40 bytes after UTF-8 encoding"},
        {"type9 long id before no epochs", [=](SpkWriter& w) { return w.add_type9(type9(0, 0, id41)); },
         SpkWriterError::Kind::SegmentIdTooLong,
         "segment id '" + id41 + "' is longer than 40 bytes after UTF-8 encoding"},
        {"type9 no epochs and no states", [](SpkWriter& w) { return w.add_type9(type9(0)); },
         SpkWriterError::Kind::InvalidType9, "invalid Type 9 segment: no epochs"},
        {"type9 no epochs but states",
         [](SpkWriter& w) {
             auto s = type9(0);
             s.states.assign(6, 1.0);
             return w.add_type9(std::move(s));
         },
         SpkWriterError::Kind::InvalidType9, "invalid Type 9 segment: no epochs"},
        {"type9 one state value short",
         [](SpkWriter& w) {
             auto s = type9(3);
             s.states.pop_back();
             return w.add_type9(std::move(s));
         },
         SpkWriterError::Kind::InvalidType9, "invalid Type 9 segment: states length != 6 * epochs length"},
        {"type9 one state too many",
         [](SpkWriter& w) {
             auto s = type9(3);
             s.states.insert(s.states.end(), 6, 0.0);
             return w.add_type9(std::move(s));
         },
         SpkWriterError::Kind::InvalidType9, "invalid Type 9 segment: states length != 6 * epochs length"},
        {"type9 degree 0 before the window check", [](SpkWriter& w) { return w.add_type9(type9(1, 0)); },
         SpkWriterError::Kind::InvalidType9, "invalid Type 9 segment: degree < 1"},
        {"type9 degree negative", [](SpkWriter& w) { return w.add_type9(type9(5, -3)); },
         SpkWriterError::Kind::InvalidType9, "invalid Type 9 segment: degree < 1"},
        {"type9 N = degree", [](SpkWriter& w) { return w.add_type9(type9(5, 5)); },
         SpkWriterError::Kind::InvalidType9, "invalid Type 9 segment: window (degree+1) exceeds sample count"},
        {"type9 largest degree does not wrap",
         [](SpkWriter& w) { return w.add_type9(type9(3, std::numeric_limits<std::int32_t>::max())); },
         SpkWriterError::Kind::InvalidType9, "invalid Type 9 segment: window (degree+1) exceeds sample count"},
        {"type9 equal neighbours",
         [](SpkWriter& w) {
             auto s = type9(4);
             s.epochs[2] = s.epochs[1];
             return w.add_type9(std::move(s));
         },
         SpkWriterError::Kind::InvalidType9, "invalid Type 9 segment: epochs must be strictly increasing"},
        {"type9 decreasing at the end",
         [](SpkWriter& w) {
             auto s = type9(4);
             s.epochs[3] = 0.0;
             return w.add_type9(std::move(s));
         },
         SpkWriterError::Kind::InvalidType9, "invalid Type 9 segment: epochs must be strictly increasing"},
        {"type9 NaN epoch",
         [](SpkWriter& w) {
             auto s = type9(4);
             s.epochs[1] = kNaN;
             return w.add_type9(std::move(s));
         },
         SpkWriterError::Kind::InvalidType9, "invalid Type 9 segment: epochs must be strictly increasing"},
        {"type9 NaN first epoch",
         [](SpkWriter& w) {
             auto s = type9(2);
             s.epochs[0] = kNaN;
             return w.add_type9(std::move(s));
         },
         SpkWriterError::Kind::InvalidType9, "invalid Type 9 segment: epochs must be strictly increasing"},
    };
}

TEST(spk_writer_test, rejected_segments_report_and_leave_writer_unchanged) {
    for (const auto& c : reject_cases()) {
        SCOPED_TRACE(c.what);
        SpkWriter w = SpkWriter::new_spk("x");
        ASSERT_TRUE(w.add_type9(type9(3, 2, "FIRST")).has_value());
        const auto before = image_of(w);
        auto r = c.add(w);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind(), c.kind);
        EXPECT_EQ(r.error().message(), c.message);
        EXPECT_EQ(w.segments().size(), 1u);
        EXPECT_EQ(image_of(w), before);
        // Further adds still work.
        EXPECT_TRUE(w.add_type3(type3(1, 1)).has_value());
        EXPECT_EQ(w.segments().size(), 2u);
    }
}

TEST(spk_writer_test, segment_id_error_carries_the_whole_id) {
    SpkWriter w = SpkWriter::new_spk("x");
    const std::string id(45, 'q');
    auto r = w.add_type9(type9(2, 1, id));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().segment_id(), id);
}

TEST(spk_writer_test, accepted_edge_segments) {
    struct Case {
        const char* what;
        std::function<std::expected<void, SpkWriterError>(SpkWriter&)> add;
    };
    std::string id40;
    for (int i = 0; i < 13; ++i) id40 += "\xE2\x82\xAC";  // 39 bytes
    id40 += "z";
    const Case cases[] = {
        {"id of exactly 40 bytes", [=](SpkWriter& w) { return w.add_type3(type3(1, 1, id40)); }},
        {"empty id", [](SpkWriter& w) { return w.add_type9(type9(2, 1, "")); }},
        {"type3 degree 0", [](SpkWriter& w) { return w.add_type3(type3(3, 1)); }},
        {"type3 NaN intlen passes", [](SpkWriter& w) { return w.add_type3(type3(1, 2, "T", 0.0, kNaN)); }},
        {"type3 NaN and infinite values stored",
         [](SpkWriter& w) {
             auto s = type3(1, 2);
             s.records[0].mid = kNaN;
             s.records[0].x[0] = std::numeric_limits<double>::infinity();
             s.start_et = 5.0;
             s.end_et = -5.0;  // bounds are not compared
             return w.add_type3(std::move(s));
         }},
        {"type9 N = degree + 1", [](SpkWriter& w) { return w.add_type9(type9(6, 5)); }},
        {"type9 single epoch degree 1 needs 2", [](SpkWriter& w) { return w.add_type9(type9(2, 1)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SpkWriter w = SpkWriter::new_spk("x");
        auto r = c.add(w);
        EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
        EXPECT_EQ(w.segments().size(), 1u);
    }
}

// ---------------------------------------------------------------------------
// Byte-exact images

TEST(spk_writer_test, empty_writer_is_three_records) {
    const SpkWriter w = SpkWriter::new_spk("kernwerk");
    const auto b = image_of(w);
    ASSERT_EQ(b.size(), 3072u);
    EXPECT_TRUE(same_bytes(b, expected_image({})));
    EXPECT_EQ(u32_at(b, 84), 385u);                                // FREE
    EXPECT_EQ(u32_at(b, 76), 2u);                                  // FWARD
    EXPECT_EQ(u32_at(b, 80), 2u);                                  // BWARD
    EXPECT_EQ(f64_at(b, 1040), 0.0);                               // NSUM
    EXPECT_EQ(std::string(b.begin() + 2048, b.end()), std::string(1024, ' '));
    auto daf = DafFile::from_bytes(b);
    ASSERT_TRUE(daf);
    auto sums = daf->summaries();
    ASSERT_TRUE(sums);
    EXPECT_TRUE(sums->empty());
}

TEST(spk_writer_test, ftp_string_sits_at_byte_500) {
    const auto b = image_of(SpkWriter::new_spk(""));
    const unsigned char hex[28] = {0x46, 0x54, 0x50, 0x53, 0x54, 0x52, 0x3A, 0x0D, 0x3A, 0x0A, 0x3A, 0x0D, 0x0A, 0x3A,
                                   0x0D, 0x00, 0x3A, 0x81, 0x3A, 0x10, 0xCE, 0x3A, 0x45, 0x4E, 0x44, 0x46, 0x54, 0x50};
    EXPECT_EQ(std::memcmp(b.data() + 500, hex, 28), 0);
    // Everything between LOCFMT and the FTP string, and after it, is zero.
    for (std::size_t i = 96; i < 500; ++i) ASSERT_EQ(b[i], 0) << i;
    for (std::size_t i = 528; i < 1024; ++i) ASSERT_EQ(b[i], 0) << i;
}

TEST(spk_writer_test, type3_two_records_of_three_coefficients) {
    SpkWriter w = SpkWriter::new_spk("kernwerk");
    const Type3Segment s = type3(2, 3, "MOON");
    ASSERT_TRUE(w.add_type3(s));
    const auto b = image_of(w);
    ASSERT_EQ(b.size(), 4096u);
    EXPECT_TRUE(same_bytes(b, expected_image({spec_of(s)})));
    // begin 385, end 428 = 385 + 2*20 + 4 - 1, FREE 429, RSIZE 20, N 2.
    EXPECT_EQ(u32_at(b, 1048 + 32), 385u);
    EXPECT_EQ(u32_at(b, 1048 + 36), 428u);
    EXPECT_EQ(u32_at(b, 84), 429u);
    EXPECT_EQ(f64_at(b, (427 - 1) * 8), 20.0);
    EXPECT_EQ(f64_at(b, (428 - 1) * 8), 2.0);
    // Record 2 starts at address 405 with its MID; x[0] of record 1 at 387.
    EXPECT_EQ(f64_at(b, (405 - 1) * 8), 150.0);
    EXPECT_EQ(f64_at(b, (387 - 1) * 8), 1.0);
}

TEST(spk_writer_test, type9_with_128_epochs_has_one_directory_entry) {
    SpkWriter w = SpkWriter::new_spk("kernwerk");
    const Type9Segment s = type9(128, 5, "EARTH");
    ASSERT_TRUE(w.add_type9(s));
    const auto b = image_of(w);
    // 7*128 + 1 + 2 = 899 doubles: 8 data records.
    EXPECT_EQ(b.size(), 3072u + 8 * 1024);
    EXPECT_TRUE(same_bytes(b, expected_image({spec_of(s, {s.epochs[99]})})));
    EXPECT_EQ(u32_at(b, 1048 + 36), 385u + 899 - 1);
    EXPECT_EQ(f64_at(b, (385 + 896 - 1) * 8), 1000.0);  // the 100th epoch
    EXPECT_EQ(f64_at(b, (385 + 897 - 1) * 8), 5.0);
    EXPECT_EQ(f64_at(b, (385 + 898 - 1) * 8), 128.0);
}

TEST(spk_writer_test, type9_directory_sizes) {
    struct Case {
        std::size_t n;
        std::vector<std::size_t> entries;  // epoch indices from 0
    } cases[] = {{100, {}}, {101, {99}}, {200, {99}}, {201, {99, 199}}, {250, {99, 199}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        SpkWriter w = SpkWriter::new_spk("kernwerk");
        const Type9Segment s = type9(c.n);
        ASSERT_TRUE(w.add_type9(s));
        std::vector<double> dir;
        for (auto i : c.entries) dir.push_back(s.epochs[i]);
        EXPECT_TRUE(same_bytes(image_of(w), expected_image({spec_of(s, dir)})));
        EXPECT_EQ(SpkWriter::data_length(Segment(s)), 7 * c.n + c.entries.size() + 2);
    }
    EXPECT_EQ(SpkWriter::data_length(Segment(type9(1))), 9u);
}

TEST(spk_writer_test, data_filling_a_record_exactly_adds_no_spare_record) {
    // Type 9 with N = 18: 7*18 + 0 + 2 = 128 doubles.
    SpkWriter a = SpkWriter::new_spk("kernwerk");
    const Type9Segment s128 = type9(18);
    ASSERT_TRUE(a.add_type9(s128));
    const auto ba = image_of(a);
    EXPECT_EQ(ba.size(), 4096u);
    EXPECT_TRUE(same_bytes(ba, expected_image({spec_of(s128, {})})));
    EXPECT_EQ(u32_at(ba, 84), 385u + 128);

    // Type 3 of 4 records of 1 coefficient (36) + Type 9 with N = 13 (93) = 129.
    SpkWriter b = SpkWriter::new_spk("kernwerk");
    const Type3Segment t3 = type3(4, 1, "A");
    const Type9Segment t9 = type9(13, 1, "B");
    ASSERT_TRUE(b.add_type3(t3));
    ASSERT_TRUE(b.add_type9(t9));
    const auto bb = image_of(b);
    EXPECT_EQ(bb.size(), 5120u);
    EXPECT_TRUE(same_bytes(bb, expected_image({spec_of(t3), spec_of(t9, {})})));
    EXPECT_EQ(u32_at(bb, 84), 385u + 129);
    // The second segment begins right after the first; names at 2048, 2088.
    EXPECT_EQ(u32_at(bb, 1048 + 36) + 1, u32_at(bb, 1088 + 32));
    EXPECT_EQ(u32_at(bb, 1088 + 32), 385u + 36);
    EXPECT_EQ(bb[2048], 'A');
    EXPECT_EQ(bb[2088], 'B');
    EXPECT_EQ(bb[2089], ' ');
}

TEST(spk_writer_test, twenty_five_segments_fill_the_summary_record) {
    SpkWriter w = SpkWriter::new_spk("many");
    std::vector<SegmentSpec> specs;
    for (int i = 0; i < 25; ++i) {
        Type9Segment s = type9(3 + i, 2, "SEG" + std::to_string(i));
        s.target = 1000 + i;
        specs.push_back(spec_of(s, {}));
        ASSERT_TRUE(w.add_type9(std::move(s)));
    }
    const auto b = image_of(w);
    EXPECT_TRUE(same_bytes(b, expected_image(specs, "many")));
    EXPECT_EQ(f64_at(b, 1040), 25.0);

    // The 26th add succeeds; serialisation refuses.
    ASSERT_TRUE(w.add_type3(type3(1, 1)));
    auto r = w.to_bytes();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), SpkWriterError::Kind::TooManySegments);
    EXPECT_EQ(r.error().message(), "too many segments (26); single summary record holds at most 25");
}

TEST(spk_writer_test, segment_order_and_bits_are_kept) {
    SpkWriter w = SpkWriter::new_spk("k");
    Type3Segment a = type3(1, 2, "A");
    a.records[0].x[1] = -0.0;
    a.records[0].vy[0] = kNaN;
    a.frame_id = 17;
    a.target = -82;
    Type9Segment b = type9(4, 3, "B");
    b.states[7] = std::numeric_limits<double>::infinity();
    ASSERT_TRUE(w.add_type9(b));
    ASSERT_TRUE(w.add_type3(a));
    EXPECT_TRUE(same_bytes(image_of(w), expected_image({spec_of(b, {}), spec_of(a)}, "k")));
}

TEST(spk_writer_test, writer_can_be_serialised_repeatedly_and_grow) {
    SpkWriter w = SpkWriter::new_spk("k");
    ASSERT_TRUE(w.add_type9(type9(5, 2)));
    const auto first = image_of(w);
    EXPECT_EQ(image_of(w), first);
    ASSERT_TRUE(w.add_type3(type3(2, 2)));
    const auto second = image_of(w);
    EXPECT_NE(second, first);
    EXPECT_EQ(f64_at(second, 1040), 2.0);
}

TEST(spk_writer_test, byte_image_is_zeroed_and_moves) {
    for (std::size_t size : {std::size_t{1}, std::size_t{3072}, std::size_t{4097}, std::size_t{3} << 20}) {
        SCOPED_TRACE(size);
        ByteImage a(size);
        ASSERT_EQ(a.size(), size);
        EXPECT_TRUE(std::all_of(a.begin(), a.end(), [](unsigned char c) { return c == 0; }));
        a.data()[size - 1] = 7;
        ByteImage b(std::move(a));
        EXPECT_EQ(a.size(), 0u);
        EXPECT_EQ(a.data(), nullptr);
        EXPECT_EQ(b[size - 1], 7);
        ByteImage c(16);
        c = std::move(b);
        EXPECT_EQ(c.size(), size);
        EXPECT_EQ(c[size - 1], 7);
    }
}

// ---------------------------------------------------------------------------
// Address range

TEST(spk_writer_test, free_address_stays_in_signed_32_bits) {
    struct Case {
        std::uint64_t data;
        bool ok;
        std::uint32_t free;
    } cases[] = {
        {0, true, 385},
        {2147483262u, true, 2147483647u},
        {2147483263u, false, 0},
        {std::uint64_t{1} << 40, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        auto r = SpkWriter::free_address(c.data);
        ASSERT_EQ(r.has_value(), c.ok);
        if (c.ok) {
            EXPECT_EQ(*r, c.free);
        } else {
            EXPECT_EQ(r.error().kind(), SpkWriterError::Kind::AddressRange);
            EXPECT_EQ(r.error().message(), "segment data too large for a DAF file: " + std::to_string(c.data) +
                                               " doubles, at most 2147483262 fit its 32-bit addresses");
        }
    }
}

// ---------------------------------------------------------------------------
// Reading back

TEST(spk_writer_test, written_image_reads_back_through_the_catalogue) {
    SpkWriter w = SpkWriter::new_spk("round trip");
    Type3Segment a = type3(3, 4, "MOON WRT EMB", 1000.0, 86400.0);
    Type9Segment b = type9(101, 7, "EARTH WRT EMB");
    b.frame_id = 17;
    ASSERT_TRUE(w.add_type3(a));
    ASSERT_TRUE(w.add_type9(b));
    ASSERT_TRUE(w.add_type9(type9(2, 1, "")));
    auto daf = DafFile::from_bytes(image_of(w));
    ASSERT_TRUE(daf);
    EXPECT_EQ(daf->nd(), 2u);
    EXPECT_EQ(daf->ni(), 6u);
    auto spk = SpkFile::from_daf(*daf);
    ASSERT_TRUE(spk) << spk.error().message();
    const auto& segs = spk->segments();
    ASSERT_EQ(segs.size(), 3u);

    EXPECT_EQ(segs[0].name, "MOON WRT EMB");
    EXPECT_EQ(segs[0].data_type, 3);
    EXPECT_EQ(segs[0].target, 301);
    EXPECT_EQ(segs[0].frame, 1);
    EXPECT_EQ(segs[0].start_et, 1000.0);
    EXPECT_EQ(segs[0].end_et, 1000.0 + 3 * 86400.0);
    EXPECT_EQ(segs[0].begin, 385u);
    EXPECT_EQ(segs[0].end, 385u + 3 * 26 + 4 - 1);
    const auto& p3 = std::get<SpkType3>(segs[0].payload);
    EXPECT_EQ(p3.init, 1000.0);
    EXPECT_EQ(p3.intlen, 86400.0);
    EXPECT_EQ(p3.rsize, 26u);
    EXPECT_EQ(p3.n, 3u);
    EXPECT_EQ(p3.ncoef, 4u);
    // Record 2's x coefficients sit where the reader will look for them.
    auto x = daf->read_doubles(p3.begin + 2 * 26 + 2, p3.begin + 2 * 26 + 5);
    ASSERT_TRUE(x);
    EXPECT_EQ(*x, a.records[2].x);

    EXPECT_EQ(segs[1].name, "EARTH WRT EMB");
    EXPECT_EQ(segs[1].frame, 17);
    EXPECT_EQ(segs[1].begin, segs[0].end + 1);
    const auto& p9 = std::get<SpkType9>(segs[1].payload);
    EXPECT_EQ(p9.meta.size, 7u);
    EXPECT_EQ(p9.meta.n, 101u);
    EXPECT_EQ(p9.meta.epoch_addr, segs[1].begin + 606);
    auto ep = daf->read_doubles(p9.meta.epoch_addr, p9.meta.epoch_addr + 100);
    ASSERT_TRUE(ep);
    EXPECT_EQ(*ep, b.epochs);

    EXPECT_EQ(segs[2].name, "");
}

// ---------------------------------------------------------------------------
// Writing to disk

class spk_writer_file_test : public ::testing::Test {
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

TEST(spk_writer_test, temporary_path_replaces_the_extension) {
    struct Case {
        std::string target, tmp;
    } cases[] = {
        {"out/de440.bsp", "out/de440.tmp"},
        {"out/kernel", "out/kernel.tmp"},
        {"a.b.bsp", "a.b.tmp"},
        {".hidden", ".hidden.tmp"},
        {"dir/.hidden", "dir/.hidden.tmp"},
        {"dir.d/kernel", "dir.d/kernel.tmp"},
        {"a.", "a.tmp"},
        {"/abs/x.bsp", "/abs/x.tmp"},
        // A target that already ends in "tmp" must not be its own temporary.
        {"x.tmp", "x.tmp.tmp"},
        {"dir/x.TMP", "dir/x.TMP.tmp"},
        {"x.tmp.tmp", "x.tmp.tmp.tmp"},
        {"x.tmpl", "x.tmp"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SpkWriter::temporary_path(c.target), c.tmp) << c.target;
        EXPECT_NE(SpkWriter::temporary_path(c.target), c.target);
    }
}

TEST_F(spk_writer_file_test, write_produces_the_image_and_leaves_no_temporary) {
    SpkWriter w = SpkWriter::new_spk("kernwerk");
    ASSERT_TRUE(w.add_type3(type3(2, 3)));
    const std::string target = path("moon.bsp");
    ASSERT_TRUE(w.write(target));
    EXPECT_EQ(slurp(target), image_of(w));
    EXPECT_EQ(listing(), std::vector<std::string>{"moon.bsp"});

    // A second write replaces the file; a segment added in between shows.
    ASSERT_TRUE(w.add_type9(type9(3)));
    ASSERT_TRUE(w.write(target));
    EXPECT_EQ(slurp(target), image_of(w));
    EXPECT_EQ(listing(), std::vector<std::string>{"moon.bsp"});
    auto daf = DafFile::open(target);
    ASSERT_TRUE(daf);
    EXPECT_EQ(daf->summaries()->size(), 2u);
}

TEST_F(spk_writer_file_test, written_file_mode_follows_umask) {
    SpkWriter w = SpkWriter::new_spk("k");
    const mode_t old = ::umask(022);
    ASSERT_TRUE(w.write(path("m.bsp")));
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(path("m.bsp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(spk_writer_file_test, too_many_segments_create_nothing) {
    SpkWriter w = SpkWriter::new_spk("k");
    for (int i = 0; i < 26; ++i) ASSERT_TRUE(w.add_type9(type9(2)));
    auto r = w.write(path("x.bsp"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "too many segments (26); single summary record holds at most 25");
    EXPECT_TRUE(listing().empty());
}

TEST_F(spk_writer_file_test, io_failures) {
    put(path("plain"), "not a directory");
    fs::create_directory(path("adir.bsp"));
    struct Case {
        std::string target;
        std::string message;
        std::vector<std::string> after;  // directory listing afterwards
    } cases[] = {
        {path("missing/x.bsp"), "I/O error: No such file or directory (os error 2)", {"adir.bsp", "plain"}},
        {path("plain/x.bsp"), "I/O error: Not a directory (os error 20)", {"adir.bsp", "plain"}},
        // The rename onto a directory fails; the complete temporary remains.
        {path("adir.bsp"), "I/O error: Is a directory (os error 21)", {"adir.bsp", "adir.tmp", "plain"}},
        {"", "I/O error: No such file or directory (os error 2)", {"adir.bsp", "adir.tmp", "plain"}},
        {path("adir.bsp") + "/", "I/O error: Is a directory (os error 21)", {"adir.bsp", "adir.tmp", "plain"}},
        {path("."), "I/O error: Is a directory (os error 21)", {"adir.bsp", "adir.tmp", "plain"}},
        {path(".."), "I/O error: Is a directory (os error 21)", {"adir.bsp", "adir.tmp", "plain"}},
        {path("nul") + std::string(1, '\0') + "x.bsp", "I/O error: file name contained an unexpected NUL byte",
         {"adir.bsp", "adir.tmp", "plain"}},
    };
    SpkWriter w = SpkWriter::new_spk("k");
    ASSERT_TRUE(w.add_type9(type9(3)));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        auto r = w.write(c.target);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), SpkWriterError::Kind::Io);
        EXPECT_EQ(r.error().message(), c.message);
        EXPECT_EQ(listing(), c.after);
    }
    EXPECT_EQ(slurp(path("adir.tmp")), image_of(w));
    EXPECT_TRUE(fs::is_directory(path("adir.bsp")));
}

// A scripted write(2): each entry is the result of one call (a byte count, or
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

TEST(spk_writer_test, write_loop_outcomes) {
    const std::string text = "0123456789";
    struct Case {
        const char* what;
        std::vector<long> script;
        std::string message;  // empty: success
        std::string written;
    } cases[] = {
        {"one call", {}, "", text},
        {"short writes", {3, 1, 4}, "", text},
        {"interrupted calls are repeated", {-EINTR, 2, -EINTR, -EINTR}, "", text},
        {"no progress", {4, 0}, "I/O error: failed to write whole buffer", "0123"},
        {"disk full", {5, -ENOSPC}, "I/O error: No space left on device (os error 28)", "01234"},
        {"quota", {-EDQUOT}, "I/O error: Disk quota exceeded (os error 122)", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedWrite::script = c.script;
        ScriptedWrite::next = 0;
        ScriptedWrite::out.clear();
        auto r = detail::write_fully(-1, reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                                     &ScriptedWrite::call);
        EXPECT_EQ(r.has_value(), c.message.empty());
        if (!r) {
            EXPECT_EQ(r.error().kind(), SpkWriterError::Kind::Io);
            EXPECT_EQ(r.error().message(), c.message);
        }
        EXPECT_EQ(ScriptedWrite::out, c.written);
    }
}

TEST_F(spk_writer_file_test, tmp_target_keeps_old_content_until_the_rename) {
    // The temporary sibling of x.tmp is x.tmp.tmp. Making that a directory
    // stops the write at open: x.tmp must still hold its old content, which
    // it would not if it were truncated as its own temporary file.
    put(path("x.tmp"), "old content");
    fs::create_directory(path("x.tmp.tmp"));
    SpkWriter w = SpkWriter::new_spk("k");
    auto r = w.write(path("x.tmp"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "I/O error: Is a directory (os error 21)");
    const auto old = slurp(path("x.tmp"));
    EXPECT_EQ(std::string(old.begin(), old.end()), "old content");

    fs::remove(path("x.tmp.tmp"));
    ASSERT_TRUE(w.write(path("x.tmp")));
    EXPECT_EQ(slurp(path("x.tmp")), image_of(w));
    EXPECT_EQ(listing(), std::vector<std::string>{"x.tmp"});
}

TEST_F(spk_writer_file_test, existing_temporary_sibling_is_replaced) {
    put(path("k.tmp"), "stale");
    put(path("k.bsp"), "old");
    SpkWriter w = SpkWriter::new_spk("k");
    ASSERT_TRUE(w.write(path("k.bsp")));
    EXPECT_EQ(slurp(path("k.bsp")), image_of(w));
    EXPECT_EQ(listing(), std::vector<std::string>{"k.bsp"});
}

TEST_F(spk_writer_file_test, relative_target_without_directory) {
    const fs::path cwd = fs::current_path();
    fs::current_path(dir_);
    SpkWriter w = SpkWriter::new_spk("k");
    auto r = w.write("rel.bsp");
    fs::current_path(cwd);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(listing(), std::vector<std::string>{"rel.bsp"});
}

}  // namespace
}  // namespace kernwerk
