#include <gtest/gtest.h>

#include <cmath>

#include "daf_builder.hpp"
#include "spk/spk.hpp"

using namespace kernwerk;
using kernwerk::test::build_daf;
using kernwerk::test::build_spk;
using kernwerk::test::DafImage;
using kernwerk::test::SegmentSpec;
using kernwerk::test::spk_segment;

namespace {

std::expected<SpkFile, SpkError> catalogue(const DafImage& im) {
    auto f = DafFile::from_bytes(im.bytes);
    if (!f) return std::unexpected(SpkError(f.error()));
    return SpkFile::from_daf(std::move(*f));
}

std::string catalogue_error(const DafImage& im) {
    auto c = catalogue(im);
    return c ? "" : c.error().message();
}

// Chebyshev data: N records of RSIZE doubles (content irrelevant here) and the trailer.
std::vector<double> cheb(double init, double intlen, double rsize, double n, std::size_t records = 1,
                         std::size_t per_record = 0) {
    std::vector<double> d(records * per_record, 0.0);
    d.insert(d.end(), {init, intlen, rsize, n});
    return d;
}

// Discrete-state data with N states, the directory and the trailer.
std::vector<double> discrete(std::size_t n, double size_value, double n_in_trailer = -1) {
    std::vector<double> d(6 * n, 0.0);
    for (std::size_t j = 0; j < n; ++j) d.push_back(static_cast<double>(j));
    for (std::size_t k = 0; k < (n - 1) / 100; ++k) d.push_back(static_cast<double>(100 * (k + 1)));
    d.push_back(size_value);
    d.push_back(n_in_trailer < 0 ? static_cast<double>(n) : n_in_trailer);
    return d;
}

}  // namespace

struct TrailerCase {
    const char* what;
    int type;
    std::vector<double> data;
    const char* message;  // "" when accepted
};

class SpkTrailers : public ::testing::TestWithParam<TrailerCase> {};

TEST_P(SpkTrailers, Validation) {
    const auto& c = GetParam();
    EXPECT_EQ(catalogue_error(build_spk({spk_segment(301, 399, c.type, 0, 10, c.data)})), c.message) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpkTrailers,
    ::testing::Values(
        TrailerCase{"type 2 RSIZE 2", 2, cheb(0, 10, 2, 1), "malformed Type 2 segment: degree < 0"},
        TrailerCase{"type 2 RSIZE 4", 2, cheb(0, 10, 4, 1), "malformed Type 2 segment: RSIZE not 2 + 3N"},
        TrailerCase{"type 2 RSIZE 1", 2, cheb(0, 10, 1, 1), "malformed Type 2 segment: RSIZE not 2 + 3N"},
        TrailerCase{"type 2 INTLEN 0", 2, cheb(0, 0, 5, 1), "malformed Type 2 segment: INTLEN <= 0"},
        TrailerCase{"type 2 INTLEN NaN passes", 2, cheb(0, NAN, 5, 1, 1, 5), ""},
        TrailerCase{"type 2 ok", 2, cheb(0, 10, 5, 1, 1, 5), ""},
        TrailerCase{"type 2 N 0", 2, cheb(0, 10, 5, 0), "malformed Type 2 segment: N = 0 (segment has no records)"},
        TrailerCase{"type 2 RSIZE beyond 32 bits", 2, cheb(0, 10, 2.0 + 3.0 * 4294967296.0, 1),
                    "malformed Type 2 segment: records do not fit 32-bit addresses"},
        TrailerCase{"type 3 RSIZE 8", 3, cheb(0, 10, 8, 1, 1, 8), ""},
        TrailerCase{"type 3 RSIZE 2", 3, cheb(0, 10, 2, 1), "malformed Type 2 segment: degree<0 or INTLEN<=0"},
        TrailerCase{"type 3 INTLEN -1", 3, cheb(0, -1, 8, 1), "malformed Type 2 segment: degree<0 or INTLEN<=0"},
        TrailerCase{"type 3 RSIZE 9", 3, cheb(0, 10, 9, 1), "malformed Type 2 segment: RSIZE not 2 + 6N"},
        TrailerCase{"type 3 N 0", 3, cheb(0, 10, 8, 0), "malformed Type 2 segment: N = 0 (segment has no records)"},
        TrailerCase{"type 9 N 0", 9, {0.0, 0.0, 3.0, 0.0}, "malformed Type 2 segment: empty discrete-state segment"},
        TrailerCase{"type 9 N 3", 9, discrete(3, 2), ""},
        TrailerCase{"type 9 N 100", 9, discrete(100, 3), ""},
        TrailerCase{"type 9 N 101", 9, discrete(101, 3), ""},
        TrailerCase{"type 9 size mismatch", 9, discrete(3, 2, 4),
                    "malformed Type 2 segment: segment size does not match trailer"},
        TrailerCase{"type 13 window 1", 13, discrete(3, 0), "malformed Type 2 segment: Type 13 window size < 2"},
        TrailerCase{"type 13 saturated size", 13, discrete(3, 1e30),
                    "malformed Type 2 segment: Type 13 window size < 2"},
        TrailerCase{"type 13 window 2", 13, discrete(3, 1), ""},
        TrailerCase{"type 5 unsupported", 5, {1.0, 2.0}, ""},
        // The segment must be exactly N records of RSIZE and the trailer.
        TrailerCase{"type 2 N beyond the stored records", 2, cheb(0, 10, 5, 2, 1, 5),
                    "malformed Type 2 segment: segment holds 9 words, but N x RSIZE + 4 = 2 x 5 + 4"},
        TrailerCase{"type 2 RSIZE of other records", 2, cheb(0, 10, 8, 2, 2, 5),
                    "malformed Type 2 segment: segment holds 14 words, but N x RSIZE + 4 = 2 x 8 + 4"},
        TrailerCase{"type 3 a record more than N", 3, cheb(0, 10, 8, 1, 2, 8),
                    "malformed Type 3 segment: segment holds 20 words, but N x RSIZE + 4 = 1 x 8 + 4"},
        // Windows up to what the toolkit reads: Type 9 degree 27, Type 13
        // window size - 1 of 27.
        TrailerCase{"type 9 degree 27", 9, discrete(30, 27), ""},
        TrailerCase{"type 9 degree 28", 9, discrete(30, 28),
                    "malformed Type 9 segment: degree 28 is above 27, the largest the SPICE toolkit reads"},
        TrailerCase{"type 9 degree 2^53", 9, discrete(3, 9007199254740992.0),
                    "malformed Type 9 segment: degree 9007199254740992 is above 27, the largest the SPICE toolkit "
                    "reads"},
        TrailerCase{"type 13 window 28", 13, discrete(30, 27), ""},
        TrailerCase{"type 13 window 29", 13, discrete(30, 28),
                    "malformed Type 13 segment: window size 29 is above 28, the largest the SPICE toolkit reads"}));

TEST(SpkCatalogue, SegmentStartingAWordLateIsRefused) {
    // A begin address off by one word: the records would straddle the real ones.
    SegmentSpec s = spk_segment(301, 399, 3, 0, 10, cheb(0, 10, 8, 2, 2, 8));
    s.ints[4] = 386;
    s.ints[5] = 385 + 20 - 1;
    EXPECT_EQ(catalogue_error(build_spk({s})),
              "malformed Type 3 segment: segment holds 19 words, but N x RSIZE + 4 = 2 x 8 + 4");
}

TEST(SpkCatalogue, TrailerBeyondFileIsAddressError) {
    SegmentSpec s = spk_segment(301, 399, 2, 0, 10, {});
    s.ints[4] = 385;
    s.ints[5] = 5000;
    EXPECT_EQ(catalogue_error(build_spk({s})), "address range [4997,5000] out of file (file has 384 doubles; the file looks truncated)");
    s.ints[5] = 2;  // end below 4: the start address wraps
    EXPECT_EQ(catalogue_error(build_spk({s})),
              "address range [4294967295,2] out of file (file has 384 doubles)");
}

TEST(SpkCatalogue, Type9CountThatOnlyMatchesByWrapping) {
    // N = 2^32 + 1 wraps to 1 in 32-bit arithmetic; the size check then
    // passes for a 9-double segment, but the epochs could not be addressed.
    std::vector<double> d(6, 0.0);
    d.push_back(0.0);
    d.push_back(0.0);
    d.push_back(4294967297.0 + 0.0);
    // 7 * (2^32 + 1) + floor(2^32 / 100) + 1 wraps to 7 + 42949672 + 1.
    SegmentSpec s = spk_segment(301, 399, 9, 0, 10, d);
    s.ints[4] = 385;
    s.ints[5] = static_cast<std::int32_t>(385u + 7u + 42949672u + 1u);
    DafImage im = build_spk({s});
    im.put_word(static_cast<std::uint32_t>(s.ints[5]) - 1, 1.0);
    im.put_word(static_cast<std::uint32_t>(s.ints[5]), 4294967297.0);
    EXPECT_EQ(catalogue_error(im), "malformed Type 2 segment: N does not fit 32-bit addresses");
}

TEST(SpkCatalogue, SegmentsIndexAndPayloads) {
    auto c = catalogue(build_spk({spk_segment(3, 0, 2, -100, 100, cheb(-100, 200, 5, 1, 1, 5), "EMB"),
                                  spk_segment(301, 3, 5, -100, 100, {1.0}, "MOON  "),
                                  spk_segment(399, 3, 13, 0, 10, discrete(4, 3), "EARTH", 17),
                                  spk_segment(3, 0, 9, 200, 300, discrete(2, 1))}));
    ASSERT_TRUE(c);
    const auto& segs = c->segments();
    ASSERT_EQ(segs.size(), 4u);
    EXPECT_EQ(segs[1].name, "MOON");
    EXPECT_EQ(segs[1].data_type, 5);
    EXPECT_TRUE(std::holds_alternative<SpkUnsupported>(segs[1].payload));
    EXPECT_EQ(segs[2].frame, 17);
    const auto& t13 = std::get<SpkType13>(segs[2].payload);
    EXPECT_EQ(t13.window, 4u);
    EXPECT_EQ(t13.n, 4u);
    EXPECT_EQ(t13.epoch_addr, t13.begin + 24u);
    const auto& t2 = std::get<SpkType2>(segs[0].payload);
    EXPECT_EQ(t2.ncoef, 1u);
    EXPECT_EQ(t2.intlen, 200.0);
    EXPECT_EQ(c->index().at({3, 0}), (std::vector<std::size_t>{0, 3}));
    EXPECT_EQ(c->hint(), SpkFile::kNoHint);
}

TEST(SpkCatalogue, SkipsShortSummaries) {
    // ND = 1: every summary is skipped; NI = 5 (a PCK) likewise.
    EXPECT_TRUE(catalogue(build_daf(1, 6, {SegmentSpec{{0.0}, {1, 0, 1, 2, 0, 0}, {}, "X"}}))->segments().empty());
    EXPECT_TRUE(catalogue(build_daf(2, 5, {SegmentSpec{{0.0, 1.0}, {3000, 1, 2, 0, 0}, {}, "X"}}, "DAF/PCK "))
                    ->segments()
                    .empty());
}

struct OverlapCase {
    double a0, a1, b0, b1;
    bool separate;
};

class SpkOverlap : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(SpkOverlap, Flags) {
    const auto& p = GetParam();
    auto c = catalogue(build_spk({spk_segment(10, 0, 5, p.a0, p.a1, {0.0}), spk_segment(10, 0, 5, p.b0, p.b1, {0.0}),
                                  spk_segment(11, 0, 5, p.a0, p.a1, {0.0})}));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->flags()[0], p.separate);
    EXPECT_EQ(c->flags()[1], p.separate);
    EXPECT_TRUE(c->flags()[2]);  // another pair never affects the flags
}

INSTANTIATE_TEST_SUITE_P(Cases, SpkOverlap,
                         ::testing::Values(OverlapCase{0, 10, 10, 20, false}, OverlapCase{0, 10, 10.5, 20, true},
                                           OverlapCase{0, 10, 2, 3, false}, OverlapCase{10, 20, 0, 10, false},
                                           OverlapCase{0, NAN, 5, 20, true}));

TEST(SpkCatalogue, FlagsMatchEveryTwoSegmentsCompared) {
    // Random coverage intervals over a few values (touching ends, signed
    // zeros, infinities, NaN, reversed intervals), two pairs per file; the
    // flags must equal the outcome of comparing every two segments of a pair.
    const double values[] = {-INFINITY, -2.0, -0.0, 0.0, 1.0, 1.5, 2.0, 3.0, INFINITY, NAN};
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    const auto next = [&](std::uint64_t bound) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return (state >> 33) % bound;
    };
    for (int trial = 0; trial < 400; ++trial) {
        std::vector<SegmentSpec> segs;
        const std::size_t count = 2 + next(20);
        for (std::size_t k = 0; k < count; ++k)
            segs.push_back(spk_segment(10 + static_cast<std::int32_t>(next(2)), 0, 5, values[next(10)],
                                       values[next(10)], {0.0}));
        auto c = catalogue(build_spk(segs));
        ASSERT_TRUE(c);
        const auto& s = c->segments();
        for (std::size_t a = 0; a < s.size(); ++a) {
            bool alone = true;
            for (std::size_t b = 0; b < s.size(); ++b)
                if (b != a && s[b].target == s[a].target && s[b].end_et >= s[a].start_et &&
                    s[a].end_et >= s[b].start_et)
                    alone = false;
            ASSERT_EQ(c->flags()[a], alone) << "trial " << trial << " segment " << a;
        }
    }
}
