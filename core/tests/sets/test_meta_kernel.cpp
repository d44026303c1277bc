// Meta-kernels: KERNELS_TO_LOAD read as the toolkit reads it, the corners
// of continuation and symbols (loading is tested against the toolkit from
// Python, tests/test_meta_kernels.py).
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace kernwerk
