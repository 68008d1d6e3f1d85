// Input built to hurt: NUL bytes, runaway nesting, and multi-megabyte strings,
// comments and documents. Each must end in a well-formed result or a refusal.
#include <iterator>

#include "cases.hpp"

namespace corvane_test {

const std::vector<Case>& nul_byte_cases() {
    static const std::vector<Case> table = {
        repairs(NUL, "null"),
        repairs(NUL + "1", "1"),
        repairs(NUL + "{\"a\":1}", "{\"a\":1}"),
        repairs("\"a" + NUL + "b\"", "\"a\\u0000b\""),
        repairs("'" + NUL, "\"\\u0000\""),
        repairs("a" + NUL + "b", "\"a\\u0000b\""),
        repairs("1" + NUL, "\"1\\u0000\""),
        repairs("[1," + NUL + "2]", "[1,2]"),
        repairs("{\"a\":" + NUL + "1}", "{\"a\":1}"),
        repairs("{" + NUL + "a:1}", "{\"a\":1}"),
        repairs("{\"a\":\"x\"" + NUL + "b:1}", "{\"a\":\"x\",\"b\":1}"),
        repairs("\"\\" + NUL + "\"", "\"\\u0000\""),
        repairs("\"\\u00" + NUL, "\"\\u0000\\u0000\""),
        repairs("/*" + NUL + "*/7", "7"),
        repairs("\"x" + NUL + "[1]", "\"x\\u0000[1]\""),
    };
    return table;
}

TEST(HostileInput, NulBytes) { expect_table(nul_byte_cases()); }

TEST(HostileInput, RunawayNestingIsRefused) {
    const std::size_t MILLION = 1'000'000;
    const std::vector<std::string> inputs = {
        repeat("[", MILLION),
        repeat("{\"a\":", MILLION),
        repeat("[{\"a\":", MILLION / 2),
        repeat("[", MILLION) + repeat("]", MILLION),
    };
    for (const std::string& input : inputs) {
        SCOPED_TRACE("input: " + show(input, 24));
        const corvane::RepairResult result = corvane::repair_text(input);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error(), RepairError::DepthExceeded);
    }
}

TEST(HostileInput, BracketsInKeyPositionOpenNothing) {
    const std::size_t MILLION = 1'000'000;
    EXPECT_EQ(outcome(corvane::repair_text(repeat("{", MILLION))), "text: {}");
    EXPECT_EQ(outcome(corvane::repair_text("{" + repeat("[", MILLION))), "text: {}");
    EXPECT_EQ(outcome(corvane::repair_text(repeat("]", MILLION))), "text: null");
}

TEST(HostileInput, MultiMegabyteUnterminatedString) {
    const std::string body = repeat("ab\\n\\u00e9 '", 800'000);  // 9.6 MB
    const corvane::RepairResult result = corvane::repair_text("\"" + body);
    ASSERT_TRUE(result.ok());
    EXPECT_TRUE(result.text() == "\"" + body + "\"") << "output: " << show(result.text(), 60);

    const corvane::RepairResult in_value =
        corvane::repair_text("{\"k\": '" + repeat("x", 5'000'000));
    ASSERT_TRUE(in_value.ok());
    EXPECT_TRUE(in_value.text() == "{\"k\":\"" + repeat("x", 5'000'000) + "\"}")
        << "output: " << show(in_value.text(), 60);
}

TEST(HostileInput, MultiMegabyteUnterminatedComment) {
    const std::string filler = repeat("x * / { [ \" ' ", 500'000);  // 7 MB
    EXPECT_EQ(outcome(corvane::repair_text("[1, /*" + filler)), "text: [1]");
    EXPECT_EQ(outcome(corvane::repair_text("/*" + filler)), "text: null");
    EXPECT_EQ(outcome(corvane::repair_text("{\"a\": \"x\" /*" + filler)), "text: {\"a\":\"x\"}");
}

TEST(HostileInput, AMillionCommentOpeners) {
    expect_table({
        repairs(repeat("// x\n/* y */", 500'000) + "[1]", "[1]"),
        repairs(repeat("/*", 1'000'000), "null"),
        repairs(repeat("//", 1'000'000) + "\n7", "7"),
        repairs("[" + repeat("/* c */ 1, // d\n", 500'000) + "]", "[1" + repeat(",1", 499'999) + "]"),
        repairs("{" + repeat("/* a */ // b\n", 500'000) + "}", "{}"),
        // After the first line comment, one block comment that never closes.
        repairs("{" + repeat("// k\n/* k ", 500'000), "{}"),
    });
}

// The model profile's look-aheads (a quote's, a run's, a reasoning block's,
// a fence's) over megabytes of the constructs they stop at: each byte is
// looked at a bounded number of times, or these would not finish.
TEST(HostileInput, MultiMegabyteModelReplies) {
    const std::size_t N = 400'000;
    expect_table({
        model_repairs("{\"k\": \"" + repeat("say \"hi\", \"x\" ok ", N) + "\"}",
                      "{\"k\":\"" + repeat("say \\\"hi\\\", \\\"x\\\" ok ", N) + "\"}"),
        model_repairs("[" + repeat("red apple ", N) + "]", "[\"" + repeat("red apple ", N - 1) + "red apple\"]"),
        model_repairs("<think>" + repeat("{x} [y] <", N) + "</think>[1]", "[1]"),
        model_repairs(repeat("see [a] `` ", N) + FENCE + "json\n[1]\n" + FENCE, "[1]"),
        model_repairs("[" + repeat("(1, {2}), # c\n", N) + "]", "[" + repeat("[1,[2]],", N - 1) + "[1,[2]]]"),
        model_repairs("{\"k\": \"" + repeat("\\d\u201c", N), "{\"k\":\"" + repeat("\\\\d\u201c", N) + "\"}"),
    });
}

TEST(HostileInput, MultiMegabyteNumberKeepsEveryDigit) {
    const std::string digits = repeat("1234567890", 500'000);
    const corvane::RepairResult result = corvane::repair_text("-000" + digits + ".5E+" + digits);
    ASSERT_TRUE(result.ok());
    EXPECT_TRUE(result.text() == "-" + digits + ".5e+" + digits);
}

// Fifty megabytes of damaged records in an unclosed array inside a fence:
// every record's repair is known, so the whole output is too.
TEST(HostileInput, FiftyMegabyteDamagedDocument) {
    struct Record {
        const char* damaged;
        const char* repaired;
    };
    static const Record RECORDS[] = {
        {"{id: 17, 'name': 'Ann' tags: [1 2,], ok: True,}",
         "{\"id\":17,\"name\":\"Ann\",\"tags\":[1,2],\"ok\":true}"},
        {"{\"id\": .5, \"note\": None // c\n \"x\": +3}", "{\"id\":0.5,\"note\":null,\"x\":3}"},
        {"[\"a\" \"b\", {\"k\": [1, 2}, 1E5]", "[\"a\",\"b\",{\"k\":[1,2]},1e5]"},
        {"{\"s\": 'it\"s', n: -05 /* gone */}", "{\"s\":\"it\\\"s\",\"n\":-5}"},
        {"{\"t\": \"tab\there\", \"u\": \"\\u12\", \"c\": \"caf\xC3\xA9\", \"d\": }",
         "{\"t\":\"tab\\there\",\"u\":\"\\u1200\",\"c\":\"caf\xC3\xA9\",\"d\":null}"},
    };
    static const char* const SEPARATORS[] = {",\n", "\n", ",,", " , ", "\t"};
    const std::size_t TARGET = 50u << 20;

    std::string input = FENCE + "json\n[";
    std::string expected = "[";
    input.reserve(TARGET + 256);
    expected.reserve(TARGET);
    for (std::size_t i = 0; input.size() < TARGET; ++i) {
        const Record& record = RECORDS[i % std::size(RECORDS)];
        if (i > 0) {
            input += SEPARATORS[(i / std::size(RECORDS)) % std::size(SEPARATORS)];
            expected += ',';
        }
        input += record.damaged;
        expected += record.repaired;
    }
    input += "\n" + FENCE + "\n";
    expected += ']';

    const corvane::RepairResult result = corvane::repair_text(input);
    ASSERT_TRUE(result.ok());
    ASSERT_EQ(result.text().size(), expected.size());
    EXPECT_TRUE(result.text() == expected);
    EXPECT_TRUE(is_strict_json(result.text()));
}

}  // namespace corvane_test
