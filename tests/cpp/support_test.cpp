// The checkers that the property tests rely on must themselves be right:
// a checker that lets everything through would make those tests worthless.
#include "support.hpp"

namespace corvane_test {
namespace {

TEST(Support, LoneSurrogateEscapesAreNeutralised) {
    struct Row {
        std::string json;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"\"\\ud800\"", "\"\\u0000\""},
        {"\"\\uDFFF\"", "\"\\u0000\""},
        {"\"a\\udc00b\"", "\"a\\u0000b\""},
        {"\"\\ud800\\ud800\\udc00\"", "\"\\u0000\\ud800\\udc00\""},
        {"\"\\ud800\\u0041\"", "\"\\u0000\\u0041\""},
        {"\"\\ud800x\"", "\"\\u0000x\""},
        {"[\"\\ud83d\",\"\\ude00\"]", "[\"\\u0000\",\"\\u0000\"]"},
        // Pairs, other escapes and text outside strings stay.
        {"\"\\ud83d\\ude00\"", "\"\\ud83d\\ude00\""},
        {"\"\\uD83D\\uDE00\"", "\"\\uD83D\\uDE00\""},
        {"\"\\u00e9\\ud7ff\\ue000\"", "\"\\u00e9\\ud7ff\\ue000\""},
        {"\"\\\\ud800\"", "\"\\\\ud800\""},
        {"\"\\\"\\ud800\"", "\"\\\"\\u0000\""},
        {"{\"k\":\"v\"}", "{\"k\":\"v\"}"},
        {"ud800", "ud800"},
        {"\"\\ud8\"", "\"\\ud8\""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(neutralise_lone_surrogates(row.json), row.expected) << show(row.json);
    }
}

TEST(Support, StrictJsonCountsOnlyLoneSurrogatesAsExtra) {
    struct Row {
        std::string json;
        bool valid;
    };
    const std::vector<Row> rows = {
        {"{\"a\":[1,2.5e3,true,null,\"x\"]}", true},
        {"\"\\ud800\"", true},
        {"\"\\udc00\\ud800\"", true},
        {"\"\\ud83d\\ude00\"", true},
        {"[1,]", false},
        {"{\"a\":1} x", false},
        {"\"a" + byte(0x01) + "\"", false},
        {"\"\xC3\"", false},
        {"01", false},
        {"\"\\x\"", false},
        {"\"\\u12\"", false},
        {"", false},
        {"NaN", false},
        // Numbers beyond a double are valid JSON; bad number shapes are not.
        {"[1e99999,-123456789012345678901234567890e400,0.4e0066999]", true},
        {"[01]", false},
        {"[0012]", false},
        {"[1.]", false},
        {"[1e]", false},
        {"[.5]", false},
        {"[1e+-5]", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(is_strict_json(row.json), row.valid) << show(row.json);
    }
}

TEST(Support, DigitRunsAreShortenedOnlyOutsideStrings) {
    struct Row {
        std::string json;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"[12345,6,78]", "[12,6,78]"},
        {"-0.123e+0456", "-0.12e+04"},
        {"[0012]", "[00]"},
        {"\"12345\"", "\"12345\""},
        {"{\"a\\\"999\":9999}", "{\"a\\\"999\":99}"},
        {"[\"\\\\\",1234]", "[\"\\\\\",12]"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(shorten_digit_runs(row.json), row.expected) << show(row.json);
    }
}

TEST(Support, Utf8CheckIsStrict) {
    struct Row {
        std::string bytes;
        bool valid;
    };
    const std::vector<Row> rows = {
        {"", true},
        {"plain", true},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true},
        {"\xF4\x8F\xBF\xBF", true},
        {"\xED\x9F\xBF", true},
        {"\xC0\xAF", false},
        {"\xE0\x80\xAF", false},
        {"\xF0\x80\x80\xAF", false},
        {"\xED\xA0\x80", false},
        {"\xF4\x90\x80\x80", false},
        {"\xF5\x80\x80\x80", false},
        {"\x80", false},
        {"\xC3", false},
        {"\xE2\x82", false},
        {"\xC3\x28", false},
        {"\xFF", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(is_valid_utf8(row.bytes), row.valid) << show(row.bytes);
    }
}

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
