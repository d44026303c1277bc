// The pool's reading of assignments, against the toolkit's pool, is tested
// from Python (tests/test_pool.py); here, what the toolkit refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/text_kernel.hpp"

namespace kernwerk {
namespace {

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

}  // namespace
}  // namespace kernwerk
