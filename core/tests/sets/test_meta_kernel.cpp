// Meta-kernels: KERNELS_TO_LOAD read as the toolkit reads it, and loaded and
// unloaded with the files it lists.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "sets/kernel_set.hpp"
#include "sets/meta_kernel.hpp"

namespace kernwerk {
namespace {

using Strings = std::vector<std::string>;

struct MetaCase {
    const char* body;  // assignments after \begindata
    Strings files;     // empty with `error` set
    const char* error = "";
};

TEST(MetaKernel, FilesJoinedAndSubstituted) {
    const std::vector<MetaCase> cases = {
        {"KERNELS_TO_LOAD = ( 'a.bsp' 'b/c.tpc' )", {"a.bsp", "b/c.tpc"}},
        {"KERNELS_TO_LOAD = 'a.bsp'\nKERNELS_TO_LOAD += 'b.bsp'", {"a.bsp", "b.bsp"}},
        // "+" continues: blanks before it and leading blanks after it stay,
        // trailing blanks go; a last "+" just ends the name.
        {"KERNELS_TO_LOAD = ( 'dir/lo+' 'ng.bsp' 'x. +  ' ' y+' 'z' 'end+' )", {"dir/long.bsp", "x.  yz", "end"}},
        // The longest symbol that the text after "$" starts with; names are
        // case-sensitive, replacements are not scanned again, values continue.
        {"PATH_SYMBOLS = ( 'S' 'SU' 'Q' )\nPATH_VALUES = ( 'one' 'tw+' 'o' '$S' )\n"
         "KERNELS_TO_LOAD = ( '$SUB/x' '$S/$S.y' '$s/z' '$$S' '$' 'a$Q' )",
         {"twoB/x", "one/one.y", "$s/z", "$one", "$", "a$S"}},
        {"KERNELS_TO_LOAD = 1", {}, "KERNELS_TO_LOAD holds numbers, not quoted strings"},
        {"PATH_SYMBOLS = ( 'A' 'B' )\nPATH_VALUES = 'x'\nKERNELS_TO_LOAD = 'a'", {},
         "PATH_SYMBOLS has 2 entries but PATH_VALUES has 1; they must match"},
    };
    for (const MetaCase& c : cases) {
        const std::string text = std::string("\\begindata\n") + c.body + "\n";
        auto k = parse_text_kernel_with_assignments(text);
        ASSERT_TRUE(k.has_value()) << c.body;
        EXPECT_TRUE(is_meta_kernel(*k));
        auto files = meta_kernel_files(*k);
        if (*c.error) {
            ASSERT_FALSE(files.has_value()) << c.body;
            EXPECT_EQ(files.error(), c.error);
        } else {
            ASSERT_TRUE(files.has_value()) << files.error();
            EXPECT_EQ(*files, c.files) << c.body;
        }
    }
}

class MetaSet : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("kernwerk_meta_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_ / "sub");
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(old_);
        std::filesystem::remove_all(dir_);
    }
    std::string file(const std::string& name, const std::string& body) {
        std::ofstream(dir_ / name) << "KPL/PCK\n\\begindata\n" << body << "\n";
        return (dir_ / name).string();
    }
    static Strings paths(const KernelSet& set) {
        Strings out;
        for (const auto& f : set.snapshot()->files()) out.push_back(f.path + (f.meta.empty() ? "" : " <" + f.meta));
        return out;
    }
    std::filesystem::path dir_, old_;
};

TEST_F(MetaSet, LoadsListedFilesFromTheCurrentDirectoryAndUnloadsThem) {
    const std::string a = file("sub/a.tpc", "X = 1"), b = file("sub/b.tpc", "X += 2");
    // Names relative to the current directory (dir_), not to sub/ where the
    // meta-kernel lies.
    const std::string m = file("sub/m.tm", "PATH_SYMBOLS = 'S'\nPATH_VALUES = 'sub'\n"
                                           "KERNELS_TO_LOAD = ( '$S/a.tpc' './sub/../$S/b.+' 'tpc' )\nY = 5");
    KernelSet set;
    ASSERT_TRUE(set.load({a}).has_value());
    ASSERT_TRUE(set.load({m}).has_value());
    EXPECT_EQ(paths(set), (Strings{a, m, a + " <" + m, b + " <" + m}));
    const KernelPool& pool = set.snapshot()->pool();
    EXPECT_EQ(std::vector<double>(pool.numbers("X")->begin(), pool.numbers("X")->end()), (std::vector<double>{1, 2}));
    EXPECT_NE(pool.find("Y"), nullptr);
    for (std::string_view v : kMetaKernelVariables) EXPECT_EQ(pool.find(v), nullptr) << v;

    // Loading the meta-kernel again moves it and its files to the top.
    ASSERT_TRUE(set.load({m, a}).has_value());
    EXPECT_EQ(paths(set), (Strings{m, a + " <" + m, b + " <" + m, a}));
    // A file by itself goes first, then the meta-kernel with its files.
    ASSERT_TRUE(set.unload(a).value());
    ASSERT_TRUE(set.unload(b).value());
    EXPECT_EQ(paths(set), (Strings{m, a + " <" + m}));
    ASSERT_TRUE(set.unload(m).value());
    EXPECT_TRUE(paths(set).empty());
}

TEST_F(MetaSet, AMissingOrNestedFileFailsTheWholeLoad) {
    const std::string a = file("sub/a.tpc", "X = 1");
    const std::string missing = file("m1.tm", "KERNELS_TO_LOAD = ( 'sub/a.tpc' 'sub/none.bsp' )");
    const std::string nested = file("m2.tm", "KERNELS_TO_LOAD = ( 'sub/a.tpc' 'm1.tm' )");
    KernelSet set;
    auto r = set.load({a, missing});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), KernelSetError::Kind::File);
    EXPECT_EQ(r.error().path(), (dir_ / "sub/none.bsp").string());
    EXPECT_NE(r.error().message().find("listed as 'sub/none.bsp' in KERNELS_TO_LOAD of meta-kernel " + missing),
              std::string::npos)
        << r.error().message();
    r = set.load({nested});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), KernelSetError::Kind::FileFormat);
    EXPECT_NE(r.error().message().find("cannot be nested"), std::string::npos);
    EXPECT_TRUE(paths(set).empty());
}

}  // namespace
}  // namespace kernwerk
