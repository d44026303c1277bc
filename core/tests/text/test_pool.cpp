// The kernel pool: assignments read as the toolkit's pool holds them, kernels
// applied in order, and the set's pool rebuilt on load and unload.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <variant>
#include <vector>

#include "sets/kernel_set.hpp"
#include "text/pool.hpp"

namespace kernwerk {
namespace {

using Numbers = std::vector<double>;
using Strings = std::vector<std::string>;
using Expected = std::variant<Numbers, Strings>;

struct PoolCase {
    const char* what;
    std::vector<const char*> kernels;  // texts, applied in order as k0, k1, ...
    const char* name;
    Expected values;
    const char* source;
};

KernelPool pool_of(const std::vector<const char*>& texts, std::vector<TextKernel>& parsed) {
    parsed.clear();
    for (const char* t : texts) {
        auto k = parse_text_kernel_with_assignments(t);
        EXPECT_TRUE(k.has_value()) << (k ? "" : k.error().message());
        parsed.push_back(k ? std::move(*k) : TextKernel{});
    }
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < parsed.size(); ++i) paths.push_back(std::string("k").append(std::to_string(i)));
    std::vector<KernelPool::Source> sources;
    for (std::size_t i = 0; i < parsed.size(); ++i) sources.push_back({paths[i], parsed[i].assignments});
    auto pool = KernelPool::build(sources);
    EXPECT_TRUE(pool.has_value()) << (pool ? "" : pool.error().message());
    return pool ? std::move(*pool) : KernelPool{};
}

const std::vector<PoolCase> kPoolCases = {
    {"integers, floats with D exponents, signs, commas and lines",
     {"\\begindata\nX = ( 1, 2 3\n 4D2 -5.5e1 +7 1.5E-400 2147483648 .5 )\n"}, "X",
     Numbers{1, 2, 3, 400, -55, 7, 0, 2147483648.0, 0.5}, "k0"},
    {"dates as seconds past J2000 in days of 86400 s", {"\\begindata\nD = ( @1972-JAN-1 @2000-jan-01 )"}, "D",
     Numbers{-883656000.0, -43200.0}, "k0"},
    {"one string per quoted element, quotes collapsed, trailing blanks dropped, no joining",
     {"\\begindata\nS = ( 'abc+' \"d\"\"e  \" 'it''s' '' '  x ' )\n"}, "S", Strings{"abc+", "d\"e", "it's", "", "  x"}, "k0"},
    {"names as written: case-sensitive, with - . / : $",
     {"\\begindata\nFRAME_-82000_NAME = 'A'\nframe_-82000_name = 'b'\n"}, "FRAME_-82000_NAME", Strings{"A"}, "k0"},
    {"punctuation in a name", {"\\begindata\nx.y:z$/w = 1\n"}, "x.y:z$/w", Numbers{1}, "k0"},
    {"+= without a space, and += creates", {"\\begindata\nP+=4\nP += ( 5 6 )\n"}, "P", Numbers{4, 5, 6}, "k0"},
    {"= replaces within a kernel, kind included", {"\\begindata\nX = 1\nX = 'a'\n"}, "X", Strings{"a"}, "k0"},
    {"a later kernel replaces", {"\\begindata\nX = (1 2)\n", "\\begindata\nX = 3\n"}, "X", Numbers{3}, "k1"},
    {"a later kernel appends, and is the source",
     {"\\begindata\nX = (1 2)\n", "\\begindata\nX += 3\n"}, "X", Numbers{1, 2, 3}, "k1"},
    {"a kernel that does not touch a variable leaves its source",
     {"\\begindata\nX = 1\n", "\\begindata\nY = 2\n"}, "X", Numbers{1}, "k0"},
    {"32 characters is the longest name", {"\\begindata\nABCDEFGHIJKLMNOPQRSTUVWXYZ012345 = 1"},
     "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", Numbers{1}, "k0"},
    {"text blocks are not read", {"\\begintext\nX = 9\n\\begindata\nX = 1\n\\begintext\nX = 2\n"}, "X", Numbers{1},
     "k0"},
};

TEST(KernelPool, HoldsWhatTheKernelsAssign) {
    for (const PoolCase& c : kPoolCases) {
        std::vector<TextKernel> parsed;
        const KernelPool pool = pool_of(c.kernels, parsed);
        const PoolVariable* v = pool.find(c.name);
        ASSERT_NE(v, nullptr) << c.what;
        EXPECT_EQ(v->source, c.source) << c.what;
        if (const auto* n = std::get_if<Numbers>(&c.values)) {
            auto got = pool.numbers(c.name);
            ASSERT_TRUE(got.has_value()) << c.what;
            EXPECT_EQ(Numbers(got->begin(), got->end()), *n) << c.what;
            EXPECT_EQ(pool.strings(c.name).error().kind(), PoolError::Kind::WrongType) << c.what;
        } else {
            auto got = pool.strings(c.name);
            ASSERT_TRUE(got.has_value()) << c.what;
            EXPECT_EQ(Strings(got->begin(), got->end()), std::get<Strings>(c.values)) << c.what;
            EXPECT_EQ(pool.numbers(c.name).error().kind(), PoolError::Kind::WrongType) << c.what;
        }
    }
}

TEST(KernelPool, NamesByPrefixSortedAndErrorsNameTheVariable) {
    std::vector<TextKernel> parsed;
    const KernelPool pool =
        pool_of({"\\begindata\nBODY499_RADII = (1 2 3)\nBODY399_GM = 1\nBODY399_RADII = (4 5 6)\nNAME = 'x'\n"},
                parsed);
    EXPECT_EQ(pool.size(), 4u);
    EXPECT_EQ(pool.names_with_prefix("BODY"), (Strings{"BODY399_GM", "BODY399_RADII", "BODY499_RADII"}));
    EXPECT_EQ(pool.names_with_prefix("").size(), 4u);
    EXPECT_TRUE(pool.names_with_prefix("body").empty());
    EXPECT_EQ(pool.find("BODY599_GM"), nullptr);
    const PoolError missing = pool.numbers("BODY599_GM").error();
    EXPECT_EQ(missing.kind(), PoolError::Kind::Missing);
    EXPECT_NE(missing.message().find("BODY599_GM"), std::string::npos);
    const PoolError wrong = pool.numbers("NAME").error();
    EXPECT_EQ(wrong.message(), "kernel variable NAME holds strings, not numbers (set by k0)");
}

TEST(KernelPool, AppendingTheOtherKindIsAConflictNamingBothKernels) {
    for (const auto& texts : std::vector<std::vector<const char*>>{
             {"\\begindata\nX = 1\n", "\\begindata\n\nX += 'a'\n"},
             {"\\begindata\nX = 'a'\n", "\\begindata\n\nX += 1\n"}}) {
        std::vector<TextKernel> parsed;
        for (const char* t : texts) parsed.push_back(*parse_text_kernel_with_assignments(t));
        const std::vector<KernelPool::Source> sources = {{"first.tk", parsed[0].assignments},
                                                         {"second.tk", parsed[1].assignments}};
        const auto pool = KernelPool::build(sources);
        ASSERT_FALSE(pool.has_value());
        EXPECT_EQ(pool.error().kind(), PoolError::Kind::Conflict);
        EXPECT_EQ(pool.error().path(), "second.tk");
        for (const char* part : {"second.tk line 3", "variable X", "set by first.tk"})
            EXPECT_NE(pool.error().message().find(part), std::string::npos) << pool.error().message();
    }
}

// Assignments the pool cannot hold end the parse at the line of "=".
struct RefusedCase {
    const char* text;
    const char* message;
};

TEST(KernelPool, RefusedAssignmentsNameTheVariableAndLine) {
    const std::vector<RefusedCase> cases = {
        {"\\begindata\nX = ( 1 'a' )", "parse error at line 2: variable X mixes numbers and strings"},
        {"\\begindata\n\nX = ( 'a'\n @2000-JAN-1 )", "parse error at line 3: variable X mixes numbers and strings"},
        {"\\begindata\nX = ABC", "parse error at line 2: variable X: 'ABC' is neither a number, a quoted string nor an @date"},
        {"\\begindata\nX = ( 1 2 1-2 )", "parse error at line 2: variable X: '1-2' is not a number"},
        {"\\begindata\nX = 1.5E400", "parse error at line 2: variable X: the number '1.5E400' is too large for a double"},
        {"\\begindata\nX = @2000-FOO-1", "parse error at line 2: variable X: '@2000-FOO-1' is not a date"},
        {"\\begindata\nX = ( )", "parse error at line 2: variable X is assigned no value"},
        {"\\begindata\nABCDEFGHIJKLMNOPQRSTUVWXYZ0123456 = 1",
         "parse error at line 2: variable name ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456 has 33 characters; a kernel "
         "variable name has at most 32"},
    };
    for (const RefusedCase& c : cases) {
        auto k = parse_text_kernel_with_assignments(c.text);
        ASSERT_FALSE(k.has_value()) << c.text;
        EXPECT_EQ(k.error().message(), c.message);
        // The parse that keeps only interpreted names passes over them.
        EXPECT_TRUE(parse_text_kernel_from_str(c.text).has_value()) << c.text;
    }
}

TEST(KernelPool, DatesGoThroughTheReaderGiven) {
    const DateReader reader = [](std::string_view t) -> std::optional<double> {
        if (t == "2000-01-01T12:00:00.5") return 0.5;
        return std::nullopt;
    };
    auto k = parse_text_kernel_with_assignments("\\begindata\nD = @2000-01-01T12:00:00.5\n", reader);
    ASSERT_TRUE(k.has_value());
    EXPECT_EQ(k->assignments.at(0).numbers, Numbers{0.5});
    EXPECT_FALSE(parse_text_kernel_with_assignments("\\begindata\nD = @2000-JAN-1\n", reader).has_value());
}

// The set's pool: kernels in load order, rebuilt on unload; a conflict
// refuses the load, or the unload, and leaves the set as it was.
class SetPool : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("kernwerk_pool_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string file(const std::string& name, const std::string& body) {
        const std::string p = (dir_ / name).string();
        std::ofstream(p) << "KPL/PCK\n\\begindata\n" << body << "\n";
        return p;
    }
    static Numbers numbers(const KernelSet& set, const char* name) {
        auto v = set.snapshot()->pool().numbers(name);
        return v ? Numbers(v->begin(), v->end()) : Numbers{};
    }
    std::filesystem::path dir_;
};

TEST_F(SetPool, LoadOverridesAppendsAndUnloadRestores) {
    const std::string a = file("a.tpc", "BODY399_RADII = ( 1 2 3 )\nNAME = 'text'");
    const std::string b = file("b.tpc", "BODY399_RADII = ( 4 5 6 )\nBODY399_GM += 7");
    const std::string c = file("c.tpc", "BODY399_GM += 8\nNAME = 9");
    const std::string d = file("d.tpc", "NAME += 10");
    KernelSet set;
    ASSERT_TRUE(set.load({a, b}).has_value());
    EXPECT_EQ(numbers(set, "BODY399_RADII"), (Numbers{4, 5, 6}));
    ASSERT_TRUE(set.load({c, d}).has_value());
    EXPECT_EQ(numbers(set, "BODY399_GM"), (Numbers{7, 8}));
    EXPECT_EQ(numbers(set, "NAME"), (Numbers{9, 10}));
    EXPECT_EQ(set.snapshot()->pool().find("NAME")->source, d);

    // Without c, d's "+=" would append numbers to a's string.
    const auto refused = set.unload(c);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind(), KernelSetError::Kind::FileFormat);
    EXPECT_EQ(refused.error().path(), d);
    EXPECT_EQ(set.snapshot()->files().size(), 4u);

    ASSERT_TRUE(set.unload(d).value());
    ASSERT_TRUE(set.unload(b).value());
    EXPECT_EQ(numbers(set, "BODY399_RADII"), (Numbers{1, 2, 3}));
    EXPECT_EQ(numbers(set, "BODY399_GM"), (Numbers{8}));
    EXPECT_FALSE(set.unload(b).value());

    // A load that would append the other kind is refused whole.
    const auto before = set.snapshot();
    const std::string e = file("e.tpc", "BODY399_RADII += 'x'");
    const auto r = set.load({d, e});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().path(), e);
    EXPECT_EQ(set.snapshot(), before);
}

}  // namespace
}  // namespace kernwerk
