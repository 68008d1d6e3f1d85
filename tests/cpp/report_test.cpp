// The repair report: each kind of edit at its exact place, where the value
// begins and ends, whether it was found or cut off, and where a refusal was
// decided. That the edits rebuild the text is judged on every input the
// other tests repair (fuzz/checks.hpp, report_violation).
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "support.hpp"

#include "parser/report.hpp"

namespace corvane_test {
namespace {

using corvane::Edit;
using corvane::EditKind;
using corvane::RepairReport;
using corvane::report_text;

std::string shown(const std::vector<Edit>& edits) {
    std::string out;
    for (const Edit& e : edits) {
        out += std::string(corvane::edit_kind_name(e.kind)) + " " + std::to_string(e.start) + ".." +
               std::to_string(e.end) + " '" + show(e.text) + "'; ";
    }
    return out;
}

struct EditCase {
    std::string input;
    std::vector<Edit> edits;
};

// One row per kind at least: the input and every edit its report has.
const std::vector<EditCase>& edit_cases() {
    using K = EditKind;
    static const std::vector<EditCase> table = {
        {"'a'", {{K::QuoteReplaced, 0, 1, "\""}, {K::QuoteReplaced, 2, 3, "\""}}},
        {"{a: 1}", {{K::KeyQuoted, 1, 2, "\"a\""}}},
        {"{\"a\": \"x\" b: 1}", {{K::CommaInserted, 10, 10, ","}, {K::KeyQuoted, 10, 11, "\"b\""}}},
        {"[NaN, 0x1F]", {{K::WordQuoted, 1, 4, "\"NaN\""}, {K::WordQuoted, 6, 10, "\"0x1F\""}}},
        {"I'm sorry", {{K::WordQuoted, 0, 1, "\"I\""}}},
        {"[True, None]", {{K::KeywordRewritten, 1, 5, "true"}, {K::KeywordRewritten, 7, 11, "null"}}},
        {"[.5, +1, 007, 1E5]",
         {{K::NumberRewritten, 1, 3, "0.5"},
          {K::NumberRewritten, 5, 7, "1"},
          {K::NumberRewritten, 9, 12, "7"},
          {K::NumberRewritten, 14, 17, "1e5"}}},
        {"\"a\tb\"", {{K::CharacterEscaped, 2, 3, "\\t"}}},
        {"'a\"b'", {{K::QuoteReplaced, 0, 1, "\""}, {K::CharacterEscaped, 2, 3, "\\\""}, {K::QuoteReplaced, 4, 5, "\""}}},
        {"\"\\x\\u12\"", {{K::EscapeRepaired, 1, 3, "x"}, {K::EscapeRepaired, 3, 7, "\\u1200"}}},
        {"[1 2]", {{K::CommaInserted, 3, 3, ","}}},
        {"[,1,,2,]", {{K::CommaDropped, 1, 2, ""}, {K::CommaDropped, 4, 5, ""}, {K::CommaDropped, 6, 7, ""}}},
        {"{\"a\" 1}", {{K::ColonInserted, 5, 5, ":"}}},
        {"{\"a\"::1}", {{K::ColonDropped, 5, 6, ""}}},
        {"{\"a\":}", {{K::ValueFilled, 5, 5, "null"}}},
        {"[1 /* c */, 2 // d\n]", {{K::CommentDropped, 3, 10, ""}, {K::CommentDropped, 14, 18, ""}}},
        {"[#1 ;]", {{K::StrayDropped, 1, 2, ""}, {K::StrayDropped, 4, 5, ""}}},
        {"{\"a\": [1}", {{K::ContainerClosed, 8, 8, "]"}}},
        {"[{\"a\":1", {{K::ContainerClosed, 7, 7, "}"}, {K::ContainerClosed, 7, 7, "]"}}},
        {"\"ab\\", {{K::EscapeRepaired, 3, 4, "\\\\"}, {K::StringClosed, 4, 4, "\""}}},
        // Valid JSON has no edits but an exponent's marker.
        {"{\"a\": [1, \"x\", true, null, -0.5e3]}", {}},
        // Offsets are bytes: the two of an 'é' come before the edit.
        {"[\"\xC3\xA9\" x]", {{K::CommaInserted, 6, 6, ","}, {K::WordQuoted, 6, 7, "\"x\""}}},
    };
    return table;
}

TEST(Report, EachKindOfEdit) {
    std::set<EditKind> seen;
    for (const EditCase& row : edit_cases()) {
        SCOPED_TRACE("input: " + show(row.input));
        const RepairReport report = report_text(row.input.data(), row.input.size());
        EXPECT_EQ(shown(report.edits), shown(row.edits));
        for (const Edit& e : row.edits) seen.insert(e.kind);
        EXPECT_TRUE(repairs_well_formed(row.input));  // the report rebuilds the text
    }
    EXPECT_EQ(seen.size(), corvane::EDIT_KIND_COUNT) << "a kind of edit has no row";
}

TEST(Report, KindNamesAreDistinctWords) {
    std::set<std::string_view> names;
    for (std::size_t k = 0; k < corvane::EDIT_KIND_COUNT; ++k) {
        const std::string_view name = corvane::edit_kind_name(static_cast<EditKind>(k));
        EXPECT_TRUE(!name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || c == '_';
        })) << name;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), corvane::EDIT_KIND_COUNT);
}

struct PlaceCase {
    std::string input;
    std::size_t start;
    std::size_t end;
    bool found;
    bool complete;
};

TEST(Report, WhereTheValueIsAndWhetherItIsWhole) {
    const std::vector<PlaceCase> table = {
        {"Here you go: {\"a\": 1} Hope it helps!", 13, 21, true, true},
        {FENCE + "json\n[1, 2]\n" + FENCE + "\n", 8, 14, true, true},
        {BOM + "  {}", 5, 7, true, true},
        {"{\"a\":1} {\"b\":2}", 0, 7, true, true},
        {"404 Not Found", 0, 3, true, true},
        {"I'm sorry, but I can't help with that.", 0, 1, true, true},
        // Cut off: a container, a string, a key, an escape.
        {"{\"id\": 2, \"na", 0, 13, true, false},
        {"[1, 2", 0, 5, true, false},
        {"\"abc", 0, 4, true, false},
        {"{\"a\": \"x\\u1", 0, 11, true, false},
        {"[1, 2  \n", 0, 5, true, false},
        // Cut short by another bracket is no cut-off.
        {"{\"a\": [1, 2}", 0, 12, true, true},
        // Nothing there: null stands in.
        {"", 0, 0, false, true},
        {"  // only a comment", 19, 19, false, true},
        {FENCE + "json\n" + FENCE, 8, 8, false, true},
        {"]", 0, 0, false, true},
    };
    for (const PlaceCase& row : table) {
        SCOPED_TRACE("input: " + show(row.input));
        const RepairReport report = report_text(row.input.data(), row.input.size());
        EXPECT_EQ(report.start, row.start);
        EXPECT_EQ(report.end, row.end);
        EXPECT_EQ(report.found, row.found);
        EXPECT_EQ(report.complete, row.complete);
        EXPECT_TRUE(repairs_well_formed(row.input));
    }
}

TEST(Report, RefusalOffsets) {
    struct Row {
        std::string input;
        RepairError error;
        std::size_t offset;
    };
    const std::vector<Row> table = {
        // The bracket past the limit.
        {repeat("[", 129), RepairError::DepthExceeded, 128},
        {"{\"a\": " + repeat("[", 128), RepairError::DepthExceeded, 133},
        // Where the ':' that would have made a key was looked for.
        {"{\"a\": \"he said \"hi\" ok\"}", RepairError::AmbiguousQuote, 18},
        {"{\"a\": \"x\" b", RepairError::AmbiguousQuote, 11},
    };
    for (const Row& row : table) {
        SCOPED_TRACE("input: " + show(row.input));
        const RepairReport report = report_text(row.input.data(), row.input.size());
        ASSERT_TRUE(report.error.has_value());
        EXPECT_EQ(*report.error, row.error);
        EXPECT_EQ(report.error_offset, row.offset);
        EXPECT_TRUE(report.text.empty() && report.edits.empty());
    }
}

// Value after value, each from the previous one's end: the search for a
// bracket that found none spares the later ones, and must spare them only
// where it would have found none again (a quote or comment the first search
// was inside of reads differently from its middle).
TEST(Report, EveryValueInTurn) {
    struct Row {
        std::string input;
        std::vector<std::string> texts;
    };
    const std::vector<Row> table = {
        {"1\n2\n3\n", {"1", "2", "3"}},
        {"{\"a\":1}\n{\"a\":2}\n", {"{\"a\":1}", "{\"a\":2}"}},
        {"\"x\" 42 [1] \"y\" 7", {"[1]", "\"y\"", "7"}},
        {"{\"a\": 1} thanks", {"{\"a\":1}", "\"thanks\""}},
        // Brackets the first search read as quoted or commented.
        {"7 \"a [1] b\" 8", {"7", "\"a [1] b\"", "8"}},
        {"1 /* [9] */ 2 // [8]\n 3", {"1", "2", "3"}},
        {"1 \"open [4]", {"1", "\"open [4]\""}},
        {"it's 5 o'clock [3] done", {"[3]", "\"done\""}},
        // A fence ends the first search early.
        {FENCE + "\n1 \n" + FENCE + "\n3 x", {"1", "3", "\"x\""}},
    };
    for (const Row& row : table) {
        SCOPED_TRACE("input: " + show(row.input));
        std::vector<std::string> texts;
        for (const auto& placed : corvane::report_every_value(row.input.data(), row.input.size())) {
            texts.push_back(placed.report.text);
        }
        EXPECT_EQ(texts, row.texts);
        EXPECT_EQ(corvane::fuzz::every_value_violation(row.input), "");
    }
}

}  // namespace
}  // namespace corvane_test
