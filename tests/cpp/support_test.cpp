// The checkers that the property tests rely on must themselves be right:
// a checker that lets everything through would make those tests worthless.
// (The UTF-8 and strict-JSON judges are tested with the fuzz targets' checks.)
#include "support.hpp"

namespace corvane_test {
namespace {

TEST(Support, WhitespaceAndDepthScansRespectStrings) {
    EXPECT_FALSE(has_whitespace_outside_strings("{\"a b\":[1,\"\\\" \"]}"));
    EXPECT_TRUE(has_whitespace_outside_strings("[1, 2]"));
    EXPECT_TRUE(has_whitespace_outside_strings("\"\\\\\" "));
    EXPECT_TRUE(has_whitespace_outside_strings("1\n"));
    EXPECT_EQ(nesting_depth("1"), 0u);
    EXPECT_EQ(nesting_depth("[[],{\"a\":[{}]}]"), 4u);
    EXPECT_EQ(nesting_depth("[\"[[[\\\"[[\"]"), 1u);
}

}  // namespace
}  // namespace corvane_test
