#include "text/naif_ids.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

using namespace kernwerk;

// Everything below has internal linkage: case structs of other test files
// may share these names.
namespace {

std::vector<std::pair<std::int32_t, std::string>> data_file_rows() {
    const auto path = std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "data" / "naif_body_table.tsv";
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "code\tname");
    std::vector<std::pair<std::int32_t, std::string>> rows;
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        rows.emplace_back(std::stoi(line.substr(0, tab)), line.substr(tab + 1));
    }
    return rows;
}


TEST(naif_ids_test, compiled_table_matches_data_file_row_for_row) {
    const auto rows = data_file_rows();
    ASSERT_EQ(rows.size(), BUILTIN_BODIES.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(BUILTIN_BODIES[i].code, rows[i].first) << "row " << i;
        EXPECT_EQ(BUILTIN_BODIES[i].name, rows[i].second) << "row " << i;
    }
}

TEST(naif_ids_test, table_properties) {
    EXPECT_EQ(BUILTIN_BODIES.size(), 692u);
    std::set<std::int32_t> codes;
    std::map<std::int32_t, int> names_per_code;
    std::map<std::string, std::int32_t> normalised;
    int repeats = 0;
    std::int32_t previous = BUILTIN_BODIES[0].code;
    std::int32_t lo = previous, hi = previous;
    for (const auto& row : BUILTIN_BODIES) {
        // One contiguous block per code.
        if (row.code != previous) {
            EXPECT_FALSE(codes.contains(row.code)) << "code " << row.code << " split";
        }
        codes.insert(row.code);
        previous = row.code;
        ++names_per_code[row.code];
        lo = std::min(lo, row.code);
        hi = std::max(hi, row.code);
        const auto [it, inserted] = normalised.try_emplace(normalize_name(row.name), row.code);
        if (!inserted) {
            ++repeats;
            EXPECT_EQ(it->second, row.code) << row.name;
        }
    }
    EXPECT_EQ(codes.size(), 539u);
    EXPECT_EQ(normalised.size(), 677u);
    EXPECT_EQ(repeats, 15);
    EXPECT_EQ(lo, -750);
    EXPECT_EQ(hi, 920065803);
    int multi = 0;
    for (const auto& [code, n] : names_per_code) {
        EXPECT_LE(n, 5) << code;
        if (n > 1) ++multi;
    }
    EXPECT_EQ(multi, 107);
}

struct TellingRow {
    std::size_t index;
    const char* name;
    std::int32_t code;
    friend void PrintTo(const TellingRow& c, std::ostream* os) { *os << c.index; }
};

class naif_ids_telling_rows : public testing::TestWithParam<TellingRow> {};

TEST_P(naif_ids_telling_rows, row_holds_name_and_code) {
    const auto& p = GetParam();
    EXPECT_EQ(BUILTIN_BODIES.at(p.index).name, p.name);
    EXPECT_EQ(BUILTIN_BODIES.at(p.index).code, p.code);
}

INSTANTIATE_TEST_SUITE_P(
    table, naif_ids_telling_rows,
    testing::Values(TellingRow{0, "SOLAR SYSTEM BARYCENTER", 0}, TellingRow{1, "SOLAR_SYSTEM_BARYCENTER", 0},
                    TellingRow{2, "SSB", 0}, TellingRow{7, "EARTH BARYCENTER", 3}, TellingRow{9, "EMB", 3},
                    TellingRow{10, "EARTH MOON BARYCENTER", 3}, TellingRow{11, "EARTH-MOON BARYCENTER", 3},
                    TellingRow{24, "SUN", 10}, TellingRow{27, "EARTH", 399}, TellingRow{28, "MOON", 301},
                    TellingRow{189, "PLANET-C", -5}, TellingRow{192, "PLC", -5}, TellingRow{242, "JANUS_A", -45},
                    TellingRow{243, "JNSA", -45}, TellingRow{438, "Rstar", -500},
                    TellingRow{440, "SELENE Relay Satellite", -500}, TellingRow{441, "SELENE Rstar", -500},
                    TellingRow{613, "C/2013 A1", 1003228}, TellingRow{659, "PARKES", 399005},
                    TellingRow{660, "DSS-05", 399005}, TellingRow{691, "DSS-69", 399069}));

TEST(naif_ids_test, every_row_and_every_canonical_name_round_trips) {
    std::int32_t previous = BUILTIN_BODIES[0].code + 1;
    for (const auto& row : BUILTIN_BODIES) {
        EXPECT_EQ(bodn2c(row.name).value(), row.code) << row.name;
        if (row.code != previous) {
            EXPECT_EQ(bodc2n(row.code).value(), row.name);  // first row of its block
        }
        previous = row.code;
        EXPECT_EQ(bodn2c(bodc2n(row.code).value()).value(), row.code);
    }
}

struct NormCase {
    const char* input;
    const char* expected;
    friend void PrintTo(const NormCase& c, std::ostream* os) { *os << '"' << c.input << '"'; }
};

class naif_ids_normalize : public testing::TestWithParam<NormCase> {};

TEST_P(naif_ids_normalize, normalises) { EXPECT_EQ(normalize_name(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    cases, naif_ids_normalize,
    testing::Values(NormCase{"", ""}, NormCase{"___", ""}, NormCase{" \t\n\v\f\r ", ""},
                    NormCase{"  earth   moon  ", "EARTH MOON"}, NormCase{"_a__b_", "A B"},
                    NormCase{"earth\tbarycenter", "EARTH BARYCENTER"}, NormCase{"earth-moon", "EARTH-MOON"},
                    NormCase{"c/2013 a1", "C/2013 A1"}, NormCase{"d'arrest (1)", "D'ARREST (1)"},
                    // Unicode separators: NEL, NBSP, ogham, en quad, hair space, line and
                    // paragraph separators, narrow NBSP, medium math space, ideographic.
                    NormCase{"a\u0085b\u00A0c\u1680d\u2000e\u200Af", "A B C D E F"},
                    NormCase{"a\u2028\u2029b\u202Fc\u205Fd\u3000", "A B C D"},
                    // Not White_Space: zero-width space and the Mongolian vowel separator.
                    NormCase{"a\u200Bb\u180Ec", "A\u200BB\u180EC"},
                    // Full mapping: one character may become several.
                    NormCase{"straße", "STRASSE"}, NormCase{"\uFB03", "FFI"}, NormCase{"\u0149", "\u02BCN"},
                    NormCase{"\u0390", "\u0399\u0308\u0301"}, NormCase{"\u1E9E", "\u1E9E"},
                    // Simple mappings across the planes, titlecase digraphs and the
                    // stride-2 Latin Extended-A block.
                    NormCase{"\u00e9\u00ff\u0101\u0131", "\u00c9\u0178\u0100I"}, NormCase{"\u01C5\u01C6", "\u01C4\u01C4"},
                    NormCase{"\u03c3\u03c2\u0436", "\u03a3\u03a3\u0416"}, NormCase{"\U00010428", "\U00010400"},
                    NormCase{"\u00b5", "\u039c"}, NormCase{"\u24d0", "\u24b6"},
                    // Bytes that are not UTF-8 are read as U+FFFD.
                    NormCase{"a\xff"
                             "b",
                             "A\uFFFDB"},
                    NormCase{"\xe2\x82", "\uFFFD\uFFFD"}));

// The package's registry normalises kernel names with the interpreter's own
// upper-case mapping, whose Unicode version may differ from this table's. The
// two agree on every spelling of a built-in name (all ASCII) as long as these
// ten characters are the only ones above ASCII that map into ASCII; Unicode's
// case-pair stability keeps them so, and the package tests pin the same list.
TEST(naif_ids_test, only_ten_characters_above_ascii_normalise_into_ascii) {
    const std::map<char32_t, std::string> expected = {
        {0xDF, "SS"},    {0x131, "I"},    {0x17F, "S"},    {0xFB00, "FF"}, {0xFB01, "FI"},
        {0xFB02, "FL"},  {0xFB03, "FFI"}, {0xFB04, "FFL"}, {0xFB05, "ST"}, {0xFB06, "ST"}};
    std::map<char32_t, std::string> found;
    for (char32_t cp = 0x80; cp < 0x110000; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        std::string utf8;
        if (cp < 0x800) {
            utf8 = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
        } else if (cp < 0x10000) {
            utf8 = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                    static_cast<char>(0x80 | (cp & 0x3F))};
        } else {
            utf8 = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                    static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
        }
        const std::string n = normalize_name(utf8);
        if (!n.empty() && std::all_of(n.begin(), n.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
            found.emplace(cp, n);
    }
    EXPECT_EQ(found, expected);
}

struct NameCase {
    const char* name;
    std::int32_t code;
    friend void PrintTo(const NameCase& c, std::ostream* os) { *os << '"' << c.name << '"'; }
};

class naif_ids_bodn2c : public testing::TestWithParam<NameCase> {};

TEST_P(naif_ids_bodn2c, finds_code) { EXPECT_EQ(bodn2c(GetParam().name).value(), GetParam().code); }

INSTANTIATE_TEST_SUITE_P(
    cases, naif_ids_bodn2c,
    testing::Values(NameCase{"ssb", 0}, NameCase{"Solar_System_Barycenter", 0},
                    NameCase{"  solar   system  barycenter ", 0}, NameCase{"earth-moon barycenter", 3},
                    NameCase{"  earth  moon_barycenter  ", 3}, NameCase{"selene relay satellite", -500},
                    NameCase{"EARTH\tBARYCENTER", 3}, NameCase{"earth", 399}, NameCase{"Earth", 399},
                    NameCase{"rstar", -500}, NameCase{"janus a", -45}, NameCase{"c/2013_a1", 1003228},
                    NameCase{"dss-05", 399005}, NameCase{"\u3000moon\u00A0", 301}));

struct MissingName {
    const char* name;
    const char* message;
    friend void PrintTo(const MissingName& c, std::ostream* os) { *os << '"' << c.name << '"'; }
};

class naif_ids_name_not_found : public testing::TestWithParam<MissingName> {};

TEST_P(naif_ids_name_not_found, quotes_the_name_as_given) {
    const auto r = bodn2c(GetParam().name);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), NaifIdError::Kind::NameNotFound);
    EXPECT_EQ(r.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    cases, naif_ids_name_not_found,
    testing::Values(MissingName{"EARTH MOON", "NAIF body name 'EARTH MOON' is not in the built-in table"},
                    MissingName{"", "NAIF body name '' is not in the built-in table"},
                    MissingName{"___", "NAIF body name '___' is not in the built-in table"},
                    MissingName{"   ", "NAIF body name '   ' is not in the built-in table"},
                    MissingName{" earth moon ", "NAIF body name ' earth moon ' is not in the built-in table"},
                    // No prefix or abbreviation matching.
                    MissingName{"EART", "NAIF body name 'EART' is not in the built-in table"},
                    MissingName{"EARTH-MOON  BARY", "NAIF body name 'EARTH-MOON  BARY' is not in the built-in table"}));

struct CodeCase {
    std::int32_t code;
    const char* name;
    friend void PrintTo(const CodeCase& c, std::ostream* os) { *os << c.code; }
};

class naif_ids_bodc2n : public testing::TestWithParam<CodeCase> {};

TEST_P(naif_ids_bodc2n, gives_canonical_name) { EXPECT_EQ(bodc2n(GetParam().code).value(), GetParam().name); }

INSTANTIATE_TEST_SUITE_P(cases, naif_ids_bodc2n,
                         testing::Values(CodeCase{0, "SOLAR SYSTEM BARYCENTER"}, CodeCase{3, "EARTH BARYCENTER"},
                                         CodeCase{-5, "PLANET-C"}, CodeCase{-45, "JANUS_A"}, CodeCase{-500, "Rstar"},
                                         CodeCase{399005, "PARKES"}, CodeCase{399, "EARTH"},
                                         CodeCase{1003228, "SIDING SPRING"}));

class naif_ids_code_not_found : public testing::TestWithParam<CodeCase> {};

TEST_P(naif_ids_code_not_found, shows_the_code_in_decimal) {
    const auto r = bodc2n(GetParam().code);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), NaifIdError::Kind::CodeNotFound);
    EXPECT_EQ(r.error().message(), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    cases, naif_ids_code_not_found,
    testing::Values(CodeCase{12345, "NAIF body code 12345 is not in the built-in table"},
                    CodeCase{-99999, "NAIF body code -99999 is not in the built-in table"},
                    CodeCase{-2147483647 - 1, "NAIF body code -2147483648 is not in the built-in table"},
                    CodeCase{2147483647, "NAIF body code 2147483647 is not in the built-in table"}));

// Each test runs in its own process under ctest, so these are the first
// lookups: both indexes are built while several threads ask at once.
TEST(naif_ids_test, concurrent_first_lookups_agree) {
    std::vector<std::thread> threads;
    std::vector<int> ok(8, 0);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&ok, t] {
            ok[t] = bodn2c("earth").value_or(0) == 399 && bodc2n(301).value_or("") == "MOON";
        });
    for (auto& th : threads) th.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(ok[t], 1) << t;
}

}  // namespace
