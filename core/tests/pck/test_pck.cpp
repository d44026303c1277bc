#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "daf_builder.hpp"
#include "pck/pck.hpp"

using namespace kernwerk;
using kernwerk::test::build_daf;
using kernwerk::test::DafImage;
using kernwerk::test::SegmentSpec;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Type 2 data: the records back to back, then INIT, INTLEN, RSIZE, N.
std::vector<double> type2_data(double init, double intlen, double rsize, double n,
                               const std::vector<std::vector<double>>& records) {
    std::vector<double> d;
    for (const auto& r : records) d.insert(d.end(), r.begin(), r.end());
    d.insert(d.end(), {init, intlen, rsize, n});
    return d;
}

// A record of n_c = 1 (RSIZE 5): constant angles a, b, c.
std::vector<double> const_record(double mid, double radius, double a, double b, double c) {
    return {mid, radius, a, b, c};
}

SegmentSpec pck_segment(std::int32_t body, std::int32_t ref, std::int32_t type, double start, double end,
                        std::vector<double> data, std::string name = "PCKSEG") {
    return SegmentSpec{{start, end}, {body, ref, type, 0, 0}, std::move(data), std::move(name)};
}

// One Type 2 segment of n_c = 1 records on [0, 100), INTLEN 100, angles given.
SegmentSpec const_segment(std::int32_t body, std::int32_t ref, double start, double end, double a, double b = 0.0,
                          double c = 0.0, std::string name = "PCKSEG") {
    return pck_segment(body, ref, 2, start, end,
                       type2_data(start, end - start, 5, 1, {const_record(0.5 * (start + end), 0.5 * (end - start), a, b, c)}),
                       std::move(name));
}

DafImage build_pck(std::vector<SegmentSpec> segs) { return build_daf(2, 5, std::move(segs), "DAF/PCK "); }

std::expected<PckFile, PckError> open_image(const DafImage& im) {
    auto daf = DafFile::from_bytes(im.bytes);
    if (!daf) return std::unexpected(PckError(daf.error()));
    return PckFile::from_daf(std::move(*daf));
}

PckFile open_ok(const DafImage& im) {
    auto f = open_image(im);
    EXPECT_TRUE(f.has_value()) << (f ? "" : f.error().message());
    return std::move(*f);
}

}  // namespace

// ---------------------------------------------------------------------------
// Directory checks at construction

struct DirectoryCase {
    const char* label;
    double intlen, rsize, n;
    const char* message;  // nullptr: the file opens
};

class PckDirectory : public ::testing::TestWithParam<DirectoryCase> {};

TEST_P(PckDirectory, checks_in_order) {
    const DirectoryCase c = GetParam();
    // Two records' worth of doubles, so an accepted directory can be read.
    std::vector<double> data(22, 0.25);
    data.insert(data.end(), {0.0, c.intlen, c.rsize, c.n});
    auto f = open_image(build_pck({pck_segment(3000, 1, 2, 0, 100, data)}));
    if (c.message == nullptr) {
        ASSERT_TRUE(f.has_value()) << f.error().message();
        EXPECT_EQ(f->segments().size(), 1u);
    } else {
        ASSERT_FALSE(f.has_value());
        EXPECT_EQ(f.error().kind(), PckError::Kind::Malformed);
        EXPECT_EQ(f.error().message(), c.message);
    }
}

constexpr const char* kRsize = "malformed PCK Type 2 segment: RSIZE not 2 + 3N";
constexpr const char* kDegree = "malformed PCK Type 2 segment: degree<0 or INTLEN<=0";
constexpr const char* kNoRecords = "malformed PCK Type 2 segment: N = 0 (segment has no records)";
constexpr const char* kNotAddressable = "malformed PCK Type 2 segment: records do not fit 32-bit addresses";

INSTANTIATE_TEST_SUITE_P(
    pck_test, PckDirectory,
    ::testing::Values(DirectoryCase{"rsize4", 10, 4, 1, kRsize}, DirectoryCase{"rsize1", 10, 1, 1, kRsize},
                      DirectoryCase{"rsize_negative", 10, -5, 1, kRsize},
                      DirectoryCase{"rsize_nan", 10, kNaN, 1, kRsize},
                      // RSIZE is judged before INTLEN.
                      DirectoryCase{"rsize4_intlen_negative", -1, 4, 1, kRsize},
                      DirectoryCase{"rsize2", 10, 2, 1, kDegree}, DirectoryCase{"intlen0", 0, 5, 1, kDegree},
                      DirectoryCase{"intlen_negative", -1, 5, 1, kDegree},
                      DirectoryCase{"intlen_negative_zero", -0.0, 11, 1, kDegree},
                      DirectoryCase{"rsize5_ok", 10, 5, 1, nullptr}, DirectoryCase{"rsize11_ok", 10, 11, 2, nullptr},
                      DirectoryCase{"rsize_truncated", 10, 5.9, 1, nullptr},
                      // A NaN INTLEN passes the check.
                      DirectoryCase{"intlen_nan", kNaN, 5, 1, nullptr},
                      // More records than the file holds opens (checked per query).
                      DirectoryCase{"n_beyond_file", 10, 5, 1000, nullptr},
                      // Record selection needs a record to clamp to.
                      DirectoryCase{"n0", 10, 5, 0, kNoRecords}, DirectoryCase{"n_negative", 10, 5, -3, kNoRecords},
                      DirectoryCase{"n_nan", 10, 5, kNaN, kNoRecords},
                      DirectoryCase{"n_2p63", 10, 5, 9223372036854775808.0, kNotAddressable},
                      DirectoryCase{"n_huge", 10, 5, 1e300, kNotAddressable},
                      // N records from address 385 run past 2^32 - 1.
                      DirectoryCase{"n_wraps", 10, 5, 858993383, kNotAddressable},
                      DirectoryCase{"n_just_fits", 10, 5, 858993382, nullptr},
                      DirectoryCase{"rsize_2p32", 10, 4294967297.0, 1, kNotAddressable}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(pck_test, directory_address_errors_are_wrapped_daf_errors) {
    // Last address below 4: last - 3 wraps in 32-bit arithmetic.
    auto seg = pck_segment(3000, 1, 2, 0, 100, {});
    seg.ints[3] = 1;
    seg.ints[4] = 2;
    auto f = open_image(build_pck({seg}));
    ASSERT_FALSE(f.has_value());
    EXPECT_EQ(f.error().kind(), PckError::Kind::Daf);
    ASSERT_TRUE(f.error().daf().has_value());
    EXPECT_EQ(f.error().message(), "address range [4294967295,2] out of file (file has 384 doubles)");

    // Last address beyond the end of the file.
    seg.ints[3] = 385;
    seg.ints[4] = 390;
    f = open_image(build_pck({seg}));
    ASSERT_FALSE(f.has_value());
    EXPECT_EQ(f.error().message(), "address range [387,390] out of file (file has 384 doubles; the file looks truncated)");
}

TEST(pck_test, negative_first_address_is_refused_at_open) {
    // Record 0 would start at 2^32 - 1 and record 1 wrap around onto the
    // file's first words; the directory itself is readable.
    auto seg = pck_segment(3000, 1, 2, 0, 100, type2_data(0, 10, 5, 2, {{5, 5, 1, 2, 3}, {15, 5, 1, 2, 3}}));
    seg.ints[3] = -1;
    seg.ints[4] = 385 + 13;
    auto f = open_image(build_pck({seg}));
    ASSERT_FALSE(f.has_value());
    EXPECT_EQ(f.error().message(), kNotAddressable);
}

TEST(pck_test, summary_walk_error_is_wrapped) {
    DafImage im = DafImage::with_header(2, 5, 9, 9, 3, "DAF/PCK ");
    auto f = open_image(im);
    ASSERT_FALSE(f.has_value());
    EXPECT_EQ(f.error().kind(), PckError::Kind::Daf);
    EXPECT_EQ(f.error().message(), "malformed summary at record 9: record extends past end of file");
}

TEST(pck_test, one_bad_directory_fails_the_whole_file) {
    auto good = const_segment(3000, 1, 0, 100, 1.0);
    auto bad = pck_segment(3000, 1, 2, 0, 100, type2_data(0, 10, 4, 1, {{0, 5, 1, 2}}));
    for (auto segs : {std::vector{good, bad}, std::vector{bad, good}}) {
        auto f = open_image(build_pck(segs));
        ASSERT_FALSE(f.has_value());
        EXPECT_EQ(f.error().message(), kRsize);
    }
}

TEST(pck_test, other_data_types_are_listed_unchecked) {
    // Data type 3 with a directory that would fail every Type 2 check, and a
    // data range outside the file.
    auto t3 = pck_segment(3000, 1, 3, 0, 100, {1, 2, 3, -4});
    auto t7 = pck_segment(3000, 17, 7, 0, 100, {});
    t7.ints[3] = 99999;
    t7.ints[4] = 1;
    PckFile f = open_ok(build_pck({t3, t7}));
    ASSERT_EQ(f.segments().size(), 2u);
    EXPECT_FALSE(f.segments()[0].type2.has_value());
    EXPECT_FALSE(f.segments()[1].type2.has_value());
}

TEST(pck_test, short_summaries_are_skipped) {
    // NI = 4: no room for the last data address.
    auto seg = SegmentSpec{{0, 100}, {3000, 1, 0, 0}, type2_data(0, 100, 5, 1, {{50, 50, 1, 2, 3}}), "SHORT"};
    auto f = open_image(build_daf(2, 4, {seg}, "DAF/PCK "));
    ASSERT_TRUE(f.has_value()) << f.error().message();
    EXPECT_TRUE(f->segments().empty());
    EXPECT_EQ(f->euler_state(3000, 50).error().message(), "no segment covers body 3000 in frame 1 at et 50");
}

TEST(pck_test, segments_in_file_order) {
    PckFile f = open_ok(build_pck({const_segment(3000, 1, -50, 100, 1.0, 0, 0, "FIRST"),
                                   pck_segment(3001, 17, 3, 5, 6, {1, 2}, "SECOND"),
                                   const_segment(3000, 5, 200, 300, 2.0, 0, 0, "THIRD")}));
    const auto& s = f.segments();
    ASSERT_EQ(s.size(), 3u);
    struct Want {
        const char* name;
        double start, end;
        std::int32_t body, ref, type;
        bool type2;
    } want[] = {{"FIRST", -50, 100, 3000, 1, 2, true}, {"SECOND", 5, 6, 3001, 17, 3, false},
                {"THIRD", 200, 300, 3000, 5, 2, true}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(s[i].name, want[i].name);
        EXPECT_EQ(s[i].start_et, want[i].start);
        EXPECT_EQ(s[i].end_et, want[i].end);
        EXPECT_EQ(s[i].body_frame, want[i].body);
        EXPECT_EQ(s[i].ref_frame, want[i].ref);
        EXPECT_EQ(s[i].data_type, want[i].type);
        EXPECT_EQ(s[i].type2.has_value(), want[i].type2);
    }
    EXPECT_EQ(s[0].type2->begin, 385u);
    EXPECT_EQ(s[0].type2->ncoef, 1u);
}

TEST(pck_test, mapping_lives_with_type2_segments_only) {
    DafImage with_t2 = build_pck({const_segment(3000, 1, 0, 100, 1.0)});
    auto daf = DafFile::from_bytes(with_t2.bytes);
    ASSERT_TRUE(daf.has_value());
    DafFile keep = *daf;
    {
        auto f = PckFile::from_daf(std::move(*daf));
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(keep.use_count(), 2);
    }
    EXPECT_EQ(keep.use_count(), 1);

    DafImage without = build_pck({pck_segment(3000, 1, 3, 0, 100, {1})});
    auto daf2 = DafFile::from_bytes(without.bytes);
    ASSERT_TRUE(daf2.has_value());
    DafFile keep2 = *daf2;
    auto f2 = PckFile::from_daf(std::move(*daf2));
    ASSERT_TRUE(f2.has_value());
    EXPECT_EQ(keep2.use_count(), 1);
}

// ---------------------------------------------------------------------------
// Segment choice

TEST(pck_test, later_overlapping_segment_answers) {
    // Segments of other body frames take no part.
    PckFile f = open_ok(build_pck({const_segment(3000, 1, 0, 100, 1.0), const_segment(3000, 1, 50, 150, 2.0),
                                   const_segment(3001, 1, 0, 200, 3.0), pck_segment(3002, 1, 3, 0, 200, {1})}));
    EXPECT_EQ(f.euler_state(3000, 25)->at(0), 1.0);
    EXPECT_EQ(f.euler_state(3000, 50)->at(0), 2.0);
    EXPECT_EQ(f.euler_state(3000, 100)->at(0), 2.0);
    EXPECT_EQ(f.euler_state(3000, 150)->at(0), 2.0);
}

TEST(pck_test, touching_segments_the_later_in_file_answers) {
    // Later in time stored later.
    PckFile a = open_ok(build_pck({const_segment(3000, 1, 0, 100, 1.0), const_segment(3000, 1, 100, 200, 2.0)}));
    EXPECT_EQ(a.euler_state(3000, 100)->at(0), 2.0);
    EXPECT_EQ(a.euler_state(3000, 0)->at(0), 1.0);
    EXPECT_EQ(a.euler_state(3000, 200)->at(0), 2.0);
    // Earlier in time stored later.
    PckFile b = open_ok(build_pck({const_segment(3000, 1, 100, 200, 2.0), const_segment(3000, 1, 0, 100, 1.0)}));
    EXPECT_EQ(b.euler_state(3000, 100)->at(0), 1.0);
}

TEST(pck_test, later_unsupported_segment_shadows_type2) {
    PckFile f = open_ok(build_pck({const_segment(3000, 1, 0, 100, 1.0), pck_segment(3000, 1, 3, 0, 100, {1, 2})}));
    auto r = f.euler_state(3000, 50);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), PckError::Kind::UnsupportedType);
    EXPECT_EQ(r.error().message(), "unsupported PCK data type 3");
    auto neg = open_ok(build_pck({pck_segment(3000, 1, -20, 0, 100, {1})})).euler_state(3000, 1);
    EXPECT_EQ(neg.error().message(), "unsupported PCK data type -20");
}

struct NoCoverageCase {
    const char* label;
    std::int32_t body;
    double et;
    const char* message;
};

class PckNoCoverage : public ::testing::TestWithParam<NoCoverageCase> {};

TEST_P(PckNoCoverage, message) {
    // Segments referred to ECLIPJ2000: the message still names frame 1.
    PckFile f = open_ok(build_pck({const_segment(3000, 17, 0, 100, 1.0), const_segment(3000, 17, 200, 300, 1.0)}));
    const NoCoverageCase c = GetParam();
    auto r = f.euler_state_with_ref(c.body, c.et);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), PckError::Kind::NoCoverage);
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_EQ(f.euler_state(c.body, c.et).error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    pck_test, PckNoCoverage,
    ::testing::Values(NoCoverageCase{"after", 3000, 1000.0, "no segment covers body 3000 in frame 1 at et 1000"},
                      NoCoverageCase{"gap", 3000, 150.5, "no segment covers body 3000 in frame 1 at et 150.5"},
                      NoCoverageCase{"before", 3000, -0.0000001, "no segment covers body 3000 in frame 1 at et -0.0000001"},
                      NoCoverageCase{"inf", 3000, std::numeric_limits<double>::infinity(),
                                     "no segment covers body 3000 in frame 1 at et inf"},
                      NoCoverageCase{"other_body", 3001, 50.0, "no segment covers body 3001 in frame 1 at et 50"},
                      NoCoverageCase{"negative_body", -7, 1e20, "no segment covers body -7 in frame 1 at et 100000000000000000000"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(pck_test, reference_frame_comes_with_the_angles) {
    for (std::int32_t ref : {1, 17, 5}) {
        PckFile f = open_ok(build_pck({const_segment(3000, ref, 0, 100, 0.5, 0.25, 0.125)}));
        auto r = f.euler_state_with_ref(3000, 10.0);
        ASSERT_TRUE(r.has_value()) << r.error().message();
        EXPECT_EQ(r->ref_frame, ref);
        const EulerState want = {0.5, 0.25, 0.125, 0.0, 0.0, 0.0};
        EXPECT_EQ(r->state, want);
        EXPECT_EQ(*f.euler_state(3000, 10.0), want);
    }
}

TEST(pck_test, nan_epoch_selects_the_last_segment_record_0) {
    // Two n_c = 3 records; the last segment of code 3000 answers a NaN epoch.
    auto data = type2_data(0, 50, 11, 2, {{25, 25, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {75, 25, 1, 2, 3, 4, 5, 6, 7, 8, 9}});
    PckFile f = open_ok(build_pck({pck_segment(3000, 1, 2, 0, 100, data), pck_segment(3000, 17, 2, 0, 100, data),
                                   const_segment(3001, 1, 0, 100, 1.0)}));
    auto r = f.euler_state_with_ref(3000, kNaN);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(r->ref_frame, 17);
    for (double v : r->state) EXPECT_TRUE(std::isnan(v));

    // With n_c = 2 the derivative sum is c[1] alone: NaN angles, finite rates
    // taken from record 0 (RADIUS 25).
    auto lin = type2_data(0, 50, 8, 2, {{25, 25, 1, 2, 3, 4, 5, 6}, {75, 50, 7, 8, 9, 10, 11, 12}});
    PckFile g = open_ok(build_pck({pck_segment(3000, 1, 2, 0, 100, lin)}));
    auto l = *g.euler_state(3000, kNaN);
    for (int a = 0; a < 3; ++a) EXPECT_TRUE(std::isnan(l[a]));
    EXPECT_EQ(l[3], 2 * (1.0 / 25));
    EXPECT_EQ(l[4], 4 * (1.0 / 25));
    EXPECT_EQ(l[5], 6 * (1.0 / 25));

    // With n_c = 1 the constants of record 0 come back, rates zero.
    auto consts = type2_data(0, 50, 5, 2, {{25, 25, 1, 2, 3}, {75, 25, 7, 8, 9}});
    PckFile h = open_ok(build_pck({pck_segment(3000, 1, 2, 0, 100, consts)}));
    const EulerState want = {1, 2, 3, 0, 0, 0};
    EXPECT_EQ(*h.euler_state(3000, kNaN), want);
}

// ---------------------------------------------------------------------------
// Record selection and series

TEST(pck_test, record_selection) {
    // Four n_c = 1 records on INIT = 100, INTLEN = 10: record k has RA = k.
    std::vector<std::vector<double>> recs;
    for (int k = 0; k < 4; ++k) recs.push_back(const_record(105 + 10 * k, 5, k, 0, 0));
    // Coverage reaches before INIT and past the last record.
    PckFile f = open_ok(build_pck({pck_segment(3000, 1, 2, 50, 500, type2_data(100, 10, 5, 4, recs))}));
    struct {
        double et;
        double record;
    } cases[] = {{100, 0}, {109.999, 0}, {110, 1}, {120, 2}, {130, 3}, {140, 3}, {500, 3}, {50, 0}, {99.5, 0}};
    for (const auto& c : cases) EXPECT_EQ(f.euler_state(3000, c.et)->at(0), c.record) << c.et;
}

TEST(pck_test, record_selection_with_nan_intlen_uses_record_0) {
    std::vector<std::vector<double>> recs = {const_record(5, 5, 0, 0, 0), const_record(15, 5, 1, 0, 0)};
    PckFile f = open_ok(build_pck({pck_segment(3000, 1, 2, 0, 20, type2_data(0, kNaN, 5, 2, recs))}));
    EXPECT_EQ(f.euler_state(3000, 18)->at(0), 0.0);
}

TEST(pck_test, constant_records_give_zero_rates) {
    PckFile f = open_ok(build_pck({const_segment(3000, 1, 0, 100, -1.5, 0.75, 3.25)}));
    const EulerState want = {-1.5, 0.75, 3.25, 0, 0, 0};
    for (double et : {0.0, 17.0, 50.0, 100.0}) EXPECT_EQ(*f.euler_state(3000, et), want);
}

TEST(pck_test, linear_and_quadratic_series) {
    const double mid = 1000, radius = 300;
    // n_c = 2: angle c0 + s c1, rate c1 * (1 / RADIUS).
    auto lin = type2_data(700, 600, 8, 1, {{mid, radius, 0.1, 0.2, -0.3, 0.4, 2.5, -1.25}});
    // n_c = 3: angle c0 + s c1 + (2 s^2 - 1) c2, derivative sum c1 + 4 s c2.
    auto quad = type2_data(700, 600, 11, 1, {{mid, radius, 0.1, 0.2, 0.3, -0.3, 0.4, 0.5, 2.5, -1.25, 0.0625}});
    PckFile f = open_ok(build_pck({pck_segment(3000, 1, 2, 700, 1300, lin), pck_segment(3001, 1, 2, 700, 1300, quad)}));
    const double et = 1234.567;
    const double s = (et - mid) / radius;
    const double inv = 1.0 / radius;

    const EulerState l = *f.euler_state(3000, et);
    const double lc[3][2] = {{0.1, 0.2}, {-0.3, 0.4}, {2.5, -1.25}};
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(l[a], lc[a][0] + s * lc[a][1]) << a;
        EXPECT_EQ(l[3 + a], lc[a][1] * inv) << a;
    }

    const EulerState q = *f.euler_state(3001, et);
    const double qc[3][3] = {{0.1, 0.2, 0.3}, {-0.3, 0.4, 0.5}, {2.5, -1.25, 0.0625}};
    const double t2 = (s + s) * s - 1.0;
    const double dt2 = (s + s) * 1.0 + 2.0 * s - 0.0;
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(q[a], (qc[a][0] + s * qc[a][1]) + qc[a][2] * t2) << a;
        EXPECT_EQ(q[3 + a], (qc[a][1] + qc[a][2] * dt2) * inv) << a;
        EXPECT_NEAR(q[a], qc[a][0] + s * qc[a][1] + (2 * s * s - 1) * qc[a][2], 1e-15);
        EXPECT_NEAR(q[3 + a], (qc[a][1] + 4 * s * qc[a][2]) / radius, 1e-18);
    }
}

TEST(pck_test, zero_radius_is_refused_per_query) {
    for (double radius : {0.0, -0.0}) {
        auto data = type2_data(0, 10, 5, 2, {{5, 5, 1, 2, 3}, {15, radius, 1, 2, 3}});
        PckFile f = open_ok(build_pck({pck_segment(3000, 1, 2, 0, 20, data)}));
        EXPECT_TRUE(f.euler_state(3000, 5).has_value());
        auto r = f.euler_state(3000, 15);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind(), PckError::Kind::Malformed);
        EXPECT_EQ(r.error().message(), "malformed PCK Type 2 segment: RADIUS == 0");
    }
    // A NaN RADIUS passes: n_c = 1 gives the constants and NaN rates.
    PckFile g = open_ok(build_pck({pck_segment(3000, 1, 2, 0, 10, type2_data(0, 10, 5, 1, {{5, kNaN, 1, 2, 3}}))}));
    auto r = g.euler_state(3000, 5);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ((*r)[0], 1.0);
    EXPECT_TRUE(std::isnan((*r)[3]));
}

TEST(pck_test, directory_claiming_more_records_than_the_file) {
    // Two records of RSIZE 11 at 385..406, the directory at 407..410 claims
    // 100 records. The file is cut to 1000 doubles.
    std::vector<double> rec(11, 0.5);
    rec[1] = 5.0;
    auto data = type2_data(0, 10, 11, 100, {rec, rec});
    DafImage im = build_pck({pck_segment(3000, 1, 2, 0, 1000, data)});
    im.bytes.resize(8000);
    PckFile f = open_ok(im);
    EXPECT_TRUE(f.euler_state(3000, 15).has_value());
    // Record 56 starts at 385 + 56 * 11 = 1001.
    auto r = f.euler_state(3000, 565);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), PckError::Kind::Daf);
    EXPECT_EQ(r.error().message(), "address range [1001,1011] out of file (file has 1000 doubles; the file looks truncated)");
}

// ---------------------------------------------------------------------------
// Fast paths against their references: the block-structured transform and the
// angles-only series against the full 6x6 product and evaluate(), the
// segment cursor against euler_state_with_ref's search, bit for bit.

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The transform as the product of the two full 6x6 matrices, each element
// summed from 0 over k = 0..5.
Mat6 full_transform(const Mat3& m, const EulerState& e) {
    const auto [r, dr] = pck_euler_rotation_and_derivative(e[0], e[1], e[2], e[3], e[4], e[5]);
    const Mat6 a = sxform_from_rotation(r, dr), b = sxform_from_rotation(m, Mat3{});
    Mat6 x;
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j) {
            double acc = 0.0;
            for (int k = 0; k < 6; ++k) acc = acc + a[i][k] * b[k][j];
            x[i][j] = acc;
        }
    return x;
}

}  // namespace

TEST(pck_fast_paths, block_transform_and_rotation_match_the_full_product) {
    std::vector<EulerState> states = {
        {0.0, 0.0, 0.0, 0.0, 0.0, 0.0},           {-0.0, -0.0, -0.0, -0.0, -0.0, -0.0},
        {0.0, 1.5707963267948966, 0.0, 0.0, 0.0, 0.0}, {3.141592653589793, 0.0, -3.141592653589793, 1e-5, 0, -1e-5},
        {kNaN, 0.4, 1.0, 0.0, 0.0, 7.29e-5},       {0.1, 0.4, 1.0, kNaN, 0.0, 7.29e-5},
        {kInf, 0.4, 1.0, 0.0, 0.0, 7.29e-5},       {0.1, 0.4, 1.0, kInf, -kInf, 0.0},
        {0.1, 0.4, 1.0, 1e308, 1e308, 1e308},      {1e300, -1e300, 5e-324, 0.0, 0.0, 0.0},
        // Rates about the bound below which dR needs no test, and large
        // finite angles.
        {0.1, 0.4, 1.0, 9.9e299, -9.9e299, 9.9e299}, {0.1, 0.4, 1.0, 1e300, 0.0, 0.0},
        {0.7, 0.4, 1.0, 0.0, 6e307, 1.7e308},       {1.7e308, -1.7e308, 1.7e308, 1e-5, 1e-5, 1e-5},
    };
    std::uint64_t x = 0x9E3779B97F4A7C15u;  // splitmix64 for the random rows
    const auto next = [&] {
        x += 0x9E3779B97F4A7C15u;
        std::uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return static_cast<double>((z ^ (z >> 31)) >> 11) / 9007199254740992.0;
    };
    for (int i = 0; i < 2000; ++i)
        states.push_back({(next() - 0.5) * 12, (next() - 0.5) * 4, next() * 1e4, (next() - 0.5) * 1e-8,
                          (next() - 0.5) * 1e-9, 7.29e-5 * next()});
    // M: the identity, rotations about x both ways, and (ref 0) one without
    // zeros and one with a zero off the pattern the blocks know.
    std::vector<std::pair<std::int32_t, Mat3>> ms;
    for (std::int32_t ref : {1, 17})
        for (InertialFrame inertial : {InertialFrame::J2000, InertialFrame::EclipJ2000})
            ms.emplace_back(ref, *pck_reference_rotation(ref, inertial));
    ms.emplace_back(0, pck_euler_rotation(0.3, 1.1, -2.0));
    ms.emplace_back(0, Mat3{{{0.6, 0.0, 0.8}, {0.0, 1.0, 0.0}, {-0.8, 0.0, 0.6}}});
    for (const auto& [ref, m] : ms) {
        for (const EulerState& e : states) {
            const Mat6 want = full_transform(m, e);
            const Mat6 got = pck_inertial_to_body_sxform(m, e);
            const Mat3 p = pck_inertial_to_body_pxform(pck_euler_rotation(e[0], e[1], e[2]), m);
            Mat3 rm, dm;
            const bool blocks = pck_inertial_to_body_blocks(m, e, rm, dm);
            for (int r = 0; r < 6; ++r)
                for (int c = 0; c < 6; ++c) {
                    ASSERT_TRUE(same_bits(got[r][c], want[r][c]))
                        << "ref " << ref << " element " << r << c << " of " << e[0] << " " << e[3];
                    if (r < 3 && c < 3) {
                        ASSERT_TRUE(same_bits(p[r][c], want[r][c])) << r << c;
                        if (blocks) {
                            ASSERT_TRUE(same_bits(rm[r][c], want[r][c])) << r << c;
                            ASSERT_TRUE(same_bits(dm[r][c], want[r + 3][c])) << r << c;
                        }
                    }
                }
            // The blocks refuse exactly the transforms with a non-finite R or dR.
            const auto [r3, dr3] = pck_euler_rotation_and_derivative(e[0], e[1], e[2], e[3], e[4], e[5]);
            bool finite = true;
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c) finite = finite && std::isfinite(r3[r][c]) && std::isfinite(dr3[r][c]);
            ASSERT_EQ(blocks, finite) << e[0] << " " << e[3];
        }
    }
    EXPECT_FALSE(pck_reference_rotation(2, InertialFrame::J2000));
}

TEST(pck_fast_paths, cursor_and_angles_agree_with_the_search) {
    // Overlapping, touching and NaN-bounded segments of body 3000, another
    // body between them, and a later segment of another type.
    const auto lin = [](double start, double end, double slope, std::int32_t ref = 1) {
        const double mid = 0.5 * (start + end), rad = 0.5 * (end - start);
        return pck_segment(3000, ref, 2, start, end,
                           type2_data(start, end - start, 8, 1,
                                      {{mid, rad, 0.1, slope, 0.2, -slope, 0.3, 2 * slope}}));
    };
    const std::vector<std::vector<SegmentSpec>> layouts = {
        {lin(0, 100, 1e-3), lin(100, 200, 2e-3), lin(200, 300, 3e-3)},
        {lin(0, 300, 1e-3), lin(50, 120, 2e-3, 17), const_segment(7, 1, 0, 300, 9.0), lin(110, 130, 3e-3)},
        {lin(0, 300, 1e-3), pck_segment(3000, 1, 3, 250, 260, {1, 2, 3, 4}), lin(10, 20, 2e-3)},
        {lin(0, 300, 1e-3), pck_segment(3000, 1, 2, kNaN, 150, type2_data(0, 300, 8, 1, {{150, 150, 1, 2, 3, 4, 5, 6}}))},
    };
    std::vector<double> ets = {kNaN, -1.0, 301.0};
    for (double e = -0.5; e <= 300.5; e += 0.25) ets.push_back(e);
    for (double e : {100.0, 200.0, 110.0, 130.0, 120.0, 50.0, 10.0, 20.0, 250.0, 260.0, 150.0})
        ets.insert(ets.end(), {e, std::nextafter(e, -kInf), std::nextafter(e, kInf)});
    for (std::size_t l = 0; l < layouts.size(); ++l) {
        const PckFile f = open_ok(build_pck(layouts[l]));
        PckSegmentCursor cursor(f, 3000);
        for (int pass = 0; pass < 2; ++pass) {  // in order, then shuffled by a stride
            for (std::size_t i = 0; i < ets.size(); ++i) {
                const double et = ets[pass == 0 ? i : (i * 7919) % ets.size()];
                const PckSegment* seg = cursor.find(et);
                auto want = f.euler_state_with_ref(3000, et);
                if (!seg) {
                    ASSERT_FALSE(want) << "layout " << l << " et " << et;
                    continue;
                }
                if (!seg->type2) {
                    ASSERT_FALSE(want);
                    EXPECT_EQ(want.error().kind(), PckError::Kind::UnsupportedType);
                    continue;
                }
                ASSERT_TRUE(want) << "layout " << l << " et " << et;
                auto got = seg->type2->evaluate(et);
                auto angles = seg->type2->angles(et);
                ASSERT_TRUE(got && angles);
                EXPECT_EQ(seg->ref_frame, want->ref_frame) << "layout " << l << " et " << et;
                for (int c = 0; c < 6; ++c) ASSERT_TRUE(same_bits((*got)[c], want->state[c])) << l << " " << et;
                for (int c = 0; c < 3; ++c) ASSERT_TRUE(same_bits((*angles)[c], want->state[c]));
            }
        }
    }
}
