#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <limits>

#include "base/common.hpp"

using namespace kernwerk;

struct FormatCase {
    double value;
    const char* text;
};

class FormatDouble : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatDouble, ShortestDigitsWithoutExponent) {
    EXPECT_EQ(format_double(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FormatDouble,
    ::testing::Values(FormatCase{1.5, "1.5"}, FormatCase{100.0, "100"}, FormatCase{1e-7, "0.0000001"},
                      FormatCase{1e23, "100000000000000000000000"}, FormatCase{-0.0, "-0"}, FormatCase{0.0, "0"},
                      FormatCase{std::nan(""), "NaN"}, FormatCase{INFINITY, "inf"}, FormatCase{-INFINITY, "-inf"},
                      FormatCase{0.1, "0.1"}, FormatCase{-3169195200.0, "-3169195200"},
                      FormatCase{123.456, "123.456"}, FormatCase{2.5e-10, "0.00000000025"}));

TEST(Common, FormatExtremesRoundTrip) {
    for (double v : {5e-324, 1.7976931348623157e308, 2.5e-10, 123456789012345678.0}) {
        const std::string s = format_double(v);
        EXPECT_EQ(s.find('e'), std::string::npos) << s;
        EXPECT_EQ(std::strtod(s.c_str(), nullptr), v) << s;
    }
}

TEST(Common, CountFromDoubleSaturates) {
    EXPECT_EQ(count_from_double(2.9), 2u);
    EXPECT_EQ(count_from_double(-1.0), 0u);
    EXPECT_EQ(count_from_double(std::nan("")), 0u);
    EXPECT_EQ(count_from_double(1e30), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(count_from_double(18446744073709551616.0), std::numeric_limits<std::uint64_t>::max());
}

TEST(Common, IndexFromDoubleSaturates) {
    EXPECT_EQ(index_from_double(-2.5), -2);
    EXPECT_EQ(index_from_double(std::nan("")), 0);
    EXPECT_EQ(index_from_double(9223372036854775808.0), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(index_from_double(9223372036854774784.0), 9223372036854774784LL);
    EXPECT_EQ(index_from_double(-1e300), std::numeric_limits<std::int64_t>::min());
}

TEST(Common, Utf8AndWhiteSpace) {
    EXPECT_TRUE(is_valid_utf8("EARTH \xC3\x9F"));
    EXPECT_FALSE(is_valid_utf8("\xFF"));
    EXPECT_FALSE(is_valid_utf8("\xC0\x80"));       // overlong NUL
    EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));   // surrogate
    EXPECT_FALSE(is_valid_utf8("\xE2\x82"));       // truncated
    std::string s = "MOON \t\xE3\x80\x80\xC2\xA0";  // ideographic space, NBSP
    trim_trailing_white_space(s);
    EXPECT_EQ(s, "MOON");
    std::string keep = "A\xC3\x9F";
    trim_trailing_white_space(keep);
    EXPECT_EQ(keep, "A\xC3\x9F");
}
