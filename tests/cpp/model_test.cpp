// The model profile: the replies of tests/data/model-replies/rules.jsonl,
// one table per rule, each read as the JSON value a user wants (or refused),
// through the whole-text repair and the stream; and exact rows for what the
// replies do not show: each rule's edges, where it leaves text alone, and
// the limits it shares with the default rules.
#include <algorithm>
#include <fstream>
#include <random>

#include <nlohmann/json.hpp>

#include "cases.hpp"
#include "parser/stream.hpp"

namespace corvane_test {

const std::vector<Case>& model_profile_cases() {
    using corvane::Profile;
    static const std::vector<Case> table = {
        // 1. Reasoning blocks before the value, closed by any of the names,
        // or holding the rest of the text; other tags are prose.
        model_repairs("<think>{a}</think>", "null"),
        model_repairs("<think>open {\"a\": 1}", "null"),
        model_repairs("<thinking>x</THINK> <reasoning>[2]</reasoning>[1]", "[1]"),
        model_repairs("<thinker>[1]", "[1]"),
        // 2. A fence with a value beats brackets in the prose before it,
        // and ends the value; a value that comes first is read as it is.
        model_repairs("See [x]:\n" + FENCE + "\n[1, 2]\n" + FENCE + "\n[3]", "[1,2]"),
        model_repairs("See [x]:\n" + FENCE + "text\n" + FENCE, "[\"x\"]"),
        model_repairs("[1] " + FENCE + "json\n[2]\n" + FENCE, "[1]"),
        model_repairs("So:\n" + FENCE + "json\n[\"a " + FENCE + " b\"]", "[\"a\"]"),
        model_repairs("\"see " + FENCE + "\\n[1]\"", "\"see " + FENCE + "\\n[1]\""),
        // 3. Escapes: unknown ones keep their backslash; a cut-off \u at the
        // very end is completed as under the default rules.
        model_repairs("[\"\\d\", \"\\'\", \"\\u00e9\", \"\\user\", \"\\u12\", '\\q']",
                      "[\"\\\\d\",\"'\",\"\\u00e9\",\"\\\\user\",\"\\\\u12\",\"\\\\q\"]"),
        model_repairs("\"\\u12", "\"\\u1200\""),
        // 4. Python and JavaScript literals.
        model_repairs("{'a': 1, # c\n 'b': (1, (2, 3))}", "{\"a\":1,\"b\":[1,[2,3]]}"),
        model_repairs("{1, 'x', {}}", "[1,\"x\",{}]"),
        model_repairs("[{a:1}, {-:1}, {t: 12:30}]", "[{\"a\":1},{\"-\":1},{\"t\":\"12:30\"}]"),
        model_repairs("{} {\"a\"}", "{}"),
        model_repairs("[undefined, Undefined, undefinedx]", "[null,null,\"undefinedx\"]"),
        model_repairs("[rb'x', F\"y\", bob]", "[\"x\",\"y\",\"bob\"]"),
        model_repairs("[`a\\`b`, 1)]", "[\"a`b\",1]"),
        model_repairs("[C# 9]", "[\"C# 9\"]"),
        // 5. Typography outside strings only.
        model_repairs("[\u201ca\u201d\uff0c\u2018b\u2019\uff0c\u201cit\u2019s\u201d]", "[\"a\",\"b\",\"it\u2019s\"]"),
        model_repairs("{\u57ce\u5e02\uff1a\u5317\u4eac}", "{\"\u57ce\u5e02\":\"\u5317\u4eac\"}"),
        // 6. Unquoted values: single spaces join words that are not all
        // numbers or keywords; two spaces, a line end or a key end them.
        model_repairs("[1 2 3, true False]", "[1,2,3,true,false]"),
        model_repairs("{a: b c  d}", "{\"a\":\"b c\",\"d\":null}"),
        model_repairs("{\"t\": 12:30, \"u\": https://x.com/a, v: don't know}",
                      "{\"t\":\"12:30\",\"u\":\"https://x.com/a\",\"v\":\"don't know\"}"),
        // 7. Quotes inside strings: missing commas still close, a bracket
        // followed by the same quote does not, a trailing comma does.
        model_repairs("{\"a\": \"x\" b: 1, \"c\": \"y\" \"d\": 2}", "{\"a\":\"x\",\"b\":1,\"c\":\"y\",\"d\":2}"),
        model_repairs("[\"a\" \"b\", \"c\",]", "[\"a\",\"b\",\"c\"]"),
        model_repairs("{\"e\": \"bad \"}\" here\"}", "{\"e\":\"bad \\\"}\\\" here\"}"),
        model_refuses("[\"x \"y\", \"z\"]"),
        // The limit is the same.
        Case{repeat("(", 129), "", RepairError::DepthExceeded, Profile::Model},
        Case{"{'a': " + repeat("{1, ", 128), "", RepairError::DepthExceeded, Profile::Model},
    };
    return table;
}

TEST(ModelProfile, Rules) { expect_table(model_profile_cases()); }

// Every reply of the per-rule table gives the value a user wants, or the
// refusal, as a whole text and through the stream in pieces of one to
// three bytes; and has the properties of every repair.
TEST(ModelProfile, RepliesOfEachRule) {
    std::ifstream in(test_data_dir() / "model-replies" / "rules.jsonl");
    ASSERT_TRUE(in) << "missing under " << test_data_dir();
    std::size_t rows = 0;
    for (std::string line; std::getline(in, line); ++rows) {
        const nlohmann::json row = nlohmann::json::parse(line);
        const std::string input = row.at("input");
        SCOPED_TRACE("rule " + row.at("rule").dump() + ": " + show(input));
        const corvane::RepairResult result = corvane::repair_text(input.data(), input.size(), corvane::Profile::Model);
        if (row.value("refused", false)) {
            EXPECT_EQ(outcome(result), expected_outcome(model_refuses(input)));
        } else {
            ASSERT_TRUE(result.ok()) << outcome(result);
            EXPECT_EQ(nlohmann::json::parse(result.text()), row.at("want")) << result.text();
        }
        EXPECT_TRUE(repairs_well_formed(input));
        for (std::size_t step = 1; step <= 3; ++step) {
            std::vector<std::size_t> cuts;
            for (std::size_t cut = step; cut < input.size(); cut += step) cuts.push_back(cut);
            EXPECT_EQ(corvane::fuzz::stream_violation(input, cuts, 1, corvane::Profile::Model), "") << step;
        }
    }
    EXPECT_EQ(rows, 58u);
}

// No character is lost: inside an object value made of letters, quotes,
// spaces, commas and colons, however the rules split it into members,
// every letter of the input is in the output (or the repair is refused).
TEST(ModelProfile, NoLetterIsLost) {
    std::mt19937 rng(22);
    const std::string alphabet = "ax\"\" ,:";  // no letter of a string prefix (b, r, u, f)
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<std::size_t> length(1, 24);
    std::size_t repaired = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string body;
        for (std::size_t n = length(rng); n > 0; --n) body += alphabet[pick(rng)];
        const std::string input = "{\"k\": \"" + body + "\"}";
        const corvane::RepairResult result = corvane::repair_text(input.data(), input.size(), corvane::Profile::Model);
        if (!result.ok()) continue;
        ++repaired;
        for (const char letter : {'a', 'x'}) {
            EXPECT_EQ(std::count(result.text().begin(), result.text().end(), letter),
                      std::count(input.begin(), input.end(), letter))
                << show(input) << " -> " << result.text();
        }
    }
    EXPECT_GT(repaired, 10000u);
}

}  // namespace corvane_test
