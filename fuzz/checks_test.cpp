// The fuzz targets are only as good as their judges: these tables show that
// each judge refuses what it must refuse, so a broken repair cannot pass.
#include <string>
#include <utility>
#include <string_view>

#include <gtest/gtest.h>

#include "checks.hpp"

namespace {

using corvane::fuzz::compact_valid_json;
using corvane::fuzz::is_strict_json;
using corvane::fuzz::is_valid_utf8;
using corvane::fuzz::neutralise_lone_surrogates;
using corvane::fuzz::shorten_digit_runs;

struct Verdict {
    std::string text;
    bool expected;
};

class StrictJson : public ::testing::TestWithParam<Verdict> {};

TEST_P(StrictJson, Verdict) {
    EXPECT_EQ(is_strict_json(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, StrictJson, ::testing::Values(
    Verdict{"{\"a\":[1,2.5e3,true,null,\"x\"]}", true},
    Verdict{"[1,]", false},
    Verdict{"{\"a\":1,}", false},
    Verdict{"[01]", false},
    Verdict{"[1.]", false},
    Verdict{"[.5]", false},
    Verdict{"'a'", false},
    Verdict{"[1] [2]", false},
    Verdict{"[NaN]", false},
    Verdict{"// c\n1", false},
    Verdict{"\"a\tb\"", false},                     // raw control byte in a string
    Verdict{std::string("123\0", 4), false},        // the parser's own end marker
    Verdict{std::string("\"a\0\"", 4), false},
    Verdict{"\"\xC3\"", false},                     // cut UTF-8 sequence
    Verdict{"\"\\x41\"", false},
    Verdict{"\"\\x\"", false},
    Verdict{"\"\\u12\"", false},
    Verdict{"1e999", true},                         // grammar allows any magnitude
    Verdict{"[-1e999,1e-999,123456789012345678901234567890]", true},
    Verdict{"[1e999,]", false},                     // a big number excuses nothing else
    Verdict{"\"\\ud800\"", true},                   // lone surrogates are grammatical
    Verdict{"\"\\udc00\\ud800\"", true},
    Verdict{"\"\\ud83d\\ude00\"", true},
    Verdict{"\"\\\\ud800\"", true},
    Verdict{"\"\\ud800", false},
    Verdict{"{\"a\":1} x", false},
    Verdict{"\"a\x01\"", false},
    Verdict{"01", false},
    Verdict{"", false},
    Verdict{"NaN", false},
    Verdict{"[-123456789012345678901234567890e400,0.4e0066999]", true},
    Verdict{"[0012]", false},
    Verdict{"[1e]", false},
    Verdict{"[1e+-5]", false}));

TEST(NeutraliseLoneSurrogates, RewritesOnlyUnpairedEscapesInStrings) {
    const struct { std::string_view in, out; } rows[] = {
        {"\"\\ud800\"", "\"\\u0000\""},
        {"\"\\uDFFF\"", "\"\\u0000\""},
        {"\"\\uDC00x\"", "\"\\u0000x\""},
        {"\"a\\udc00b\"", "\"a\\u0000b\""},
        {"\"\\ude00\\ud83d\"", "\"\\u0000\\u0000\""},
        {"\"\\ud83d\\ud83d\\ude00\"", "\"\\u0000\\ud83d\\ude00\""},
        {"\"\\ud800\\u0041\"", "\"\\u0000\\u0041\""},
        {"[\"\\ud83d\",\"\\ude00\"]", "[\"\\u0000\",\"\\u0000\"]"},
        // Pairs, other escapes and text outside strings stay.
        {"\"\\ud83d\\ude00\"", "\"\\ud83d\\ude00\""},
        {"\"\\uD83D\\uDE00\"", "\"\\uD83D\\uDE00\""},
        {"\"\\u00e9\\ud7ff\\ue000\"", "\"\\u00e9\\ud7ff\\ue000\""},
        {"\"\\\\ud800\"", "\"\\\\ud800\""},         // an escaped backslash, then text
        {"\"\\\"\\ud800\"", "\"\\\"\\u0000\""},
        {"{\"k\":\"v\"}", "{\"k\":\"v\"}"},
        {"ud800", "ud800"},
        {"\"\\ud8\"", "\"\\ud8\""},
    };
    for (const auto& row : rows) EXPECT_EQ(neutralise_lone_surrogates(row.in), row.out) << row.in;
}

TEST(ShortenDigitRuns, OnlyOutsideStrings) {
    const struct { std::string_view in, out; } rows[] = {
        {"[12345,6,78]", "[12,6,78]"},
        {"-0.123e+0456", "-0.12e+04"},
        {"[0012]", "[00]"},
        {"\"12345\"", "\"12345\""},
        {"{\"a\\\"999\":9999}", "{\"a\\\"999\":99}"},
        {"[\"\\\\\",1234]", "[\"\\\\\",12]"},
    };
    for (const auto& row : rows) EXPECT_EQ(shorten_digit_runs(row.in), row.out) << row.in;
}

TEST(IsValidUtf8, StrictDecoding) {
    const struct { std::string_view text; bool valid; } rows[] = {
        {"plain", true},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true},
        {"\xC0\xAF", false},              // overlong
        {"\xE0\x80\xAF", false},          // overlong
        {"\xED\xA0\x80", false},          // surrogate
        {"\xF4\x90\x80\x80", false},      // above U+10FFFF
        {"\xF5\x80\x80\x80", false},
        {"\xC3", false},                  // cut short
        {"\xE2\x82", false},
        {"\x80", false},                  // stray continuation
        {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", true},
        {"", true},
        {"\xF4\x8F\xBF\xBF", true},
        {"\xED\x9F\xBF", true},
        {"\xF0\x80\x80\xAF", false},  // overlong
        {"\xC3\x28", false},
        {"\xFF", false},
    };
    for (const auto& row : rows) EXPECT_EQ(is_valid_utf8(row.text), row.valid) << row.text;
}

TEST(CompactValidJson, DropsLayoutKeepsStringsAndCountsDepth) {
    std::size_t depth = 0;
    EXPECT_EQ(compact_valid_json("\xEF\xBB\xBF { \"a b\" : [ 1E5 , \"E \\\" ]\" ] }\n", depth),
              "{\"a b\":[1e5,\"E \\\" ]\"]}");
    EXPECT_EQ(depth, 2u);
    EXPECT_EQ(compact_valid_json("\"top\"", depth), "\"top\"");
    EXPECT_EQ(depth, 0u);
}

// The report's judge says no to each way a report can be wrong, and yes to
// the right one.
TEST(RebuildViolation, RefusesEveryWrongReport) {
    using corvane::Edit;
    using corvane::EditKind;
    using corvane::RepairError;
    using corvane::RepairReport;
    using corvane::RepairResult;
    const std::string input = "x: {a: 1,} y";
    const RepairResult result = corvane::repair_text(input);
    ASSERT_EQ(result.text(), "{\"a\":1}");
    RepairReport right;
    right.text = "{\"a\":1}";
    right.found = true;
    right.start = 3;
    right.end = 10;
    right.edits = {{EditKind::KeyQuoted, 4, 5, "\"a\""}, {EditKind::CommaDropped, 8, 9, ""}};
    EXPECT_EQ(corvane::fuzz::rebuild_violation(input, result, right), "");

    auto wrong = [&](auto change) {
        RepairReport report = right;
        change(report);
        return corvane::fuzz::rebuild_violation(input, result, report);
    };
    EXPECT_NE(wrong([](RepairReport& r) { r.edits.pop_back(); }), "");                    // a repair left out
    EXPECT_NE(wrong([](RepairReport& r) { r.edits[0].text = "\"b\""; }), "");          // the wrong text
    EXPECT_NE(wrong([](RepairReport& r) { std::swap(r.edits[0], r.edits[1]); }), "");    // out of order
    EXPECT_NE(wrong([](RepairReport& r) { r.end = 9; }), "");                             // the end misplaced
    EXPECT_NE(wrong([&](RepairReport& r) { r.end = input.size() + 1; }), "");
    EXPECT_NE(wrong([](RepairReport& r) { r.edits[1].end = 11; }), "");                  // past the end
    EXPECT_NE(wrong([](RepairReport& r) { r.text = "{\"a\":2}"; }), "");                // not repair_text's
    EXPECT_NE(wrong([](RepairReport& r) { r.found = false; }), "");                       // null only
    EXPECT_NE(wrong([](RepairReport& r) { r.error = RepairError::AmbiguousQuote; }), "");
    EXPECT_NE(wrong([](RepairReport& r) { r.edits[0].kind = static_cast<EditKind>(200); }), "");

    // Valid JSON has no edit but an exponent's marker.
    const std::string valid = "[1E5]";
    RepairReport marker;
    marker.text = "[1e5]";
    marker.found = true;
    marker.end = 5;
    marker.edits = {{EditKind::NumberRewritten, 1, 4, "1e5"}};
    EXPECT_EQ(corvane::fuzz::rebuild_violation(valid, corvane::repair_text(valid), marker), "");
    marker.edits = {{EditKind::CommentDropped, 1, 1, ""}, {EditKind::NumberRewritten, 1, 4, "1e5"}};
    EXPECT_NE(corvane::fuzz::rebuild_violation(valid, corvane::repair_text(valid), marker), "");
}

}  // namespace
