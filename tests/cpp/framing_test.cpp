// What part of the input is read at all: the byte-order mark, code fences,
// the trimmed end, whitespace and comments, and the prose skipped before the
// first container.
#include "cases.hpp"

namespace corvane_test {

const std::vector<Case>& framing_cases() {
    static const std::vector<Case> table = {
        // Nothing to read gives null.
        repairs("", "null"),
        repairs("   ", "null"),
        repairs("\t\n\r\f ", "null"),
        repairs(BOM, "null"),
        // Only the first value counts.
        repairs("123", "123"),
        repairs("abc", "\"abc\""),
        repairs("{\"a\":1} xyz", "{\"a\":1}"),
        repairs("[1] [2]", "[1]"),
        repairs("{\"a\":1} trailing", "{\"a\":1}"),
        // A mark is dropped only at the very first byte, and only once.
        repairs(BOM + "123", "123"),
        repairs(" " + BOM + "123", "\"" + BOM + "123\""),
        repairs(BOM + BOM + "1", "\"" + BOM + "1\""),
        repairs(BOM + " [1]", "[1]"),
        // Fences around the text.
        repairs(FENCE + "json\n{\"a\":1}\n" + FENCE, "{\"a\":1}"),
        repairs(FENCE + "json\r\n  {\"a\":1}\r\n" + FENCE, "{\"a\":1}"),
        repairs(BOM + FENCE + "\n[1]\n" + FENCE + "\n", "[1]"),
        repairs("\n\n" + FENCE + "json\n\r\n\r[2]", "[2]"),
        // The fence line runs to its line break, or swallows everything.
        repairs("  " + FENCE + "  {\"a\":1}", "null"),
        repairs(FENCE, "null"),
        repairs(FENCE + "json", "null"),
        repairs(FENCE + "{\"a\":1}" + FENCE, "null"),
        repairs(FENCE + "json\n", "null"),
        // A fence after a mark that is not first is plain text.
        repairs(" " + BOM + FENCE + "\n1", "\"" + BOM + FENCE + "\""),
        // The end of the significant input excludes trailing whitespace and
        // a closing fence with the whitespace before it.
        repairs("\"abc   ", "\"abc\""),
        repairs("\"abc\n\n", "\"abc\""),
        repairs("\"abc\n" + FENCE, "\"abc\""),
        repairs("{\"a\":1}" + FENCE, "{\"a\":1}"),
        repairs("x" + FENCE, "\"x\""),
        repairs("x" + FENCE + "  \n", "\"x\""),
        repairs("\"" + FENCE, "\"\""),
        repairs("x" + FENCE + FENCE, "\"x" + FENCE + "\""),
        repairs(FENCE + "json\n[1]\n" + FENCE + "\n\nmore", "[1]"),
        repairs("\"a" + FENCE + "b", "\"a" + FENCE + "b\""),
        // Only the five whitespace bytes count; vertical tab is content.
        repairs("abc\fdef", "\"abc\""),
        repairs("abc" + byte(0x0B) + "def", "\"abc\\u000bdef\""),
        repairs("123" + byte(0x0B), "\"123\\u000b\""),
        repairs(byte(0x0B) + "1", "1"),
        repairs("\"abc" + byte(0x0B), "\"abc\\u000b\""),
        // The worked example: prose, fences, and most repairs at once.
        repairs("Sure! Here it is:\n" + FENCE +
                    "json\n{'name': 'Ann', age: 31, tags: [\"a\" \"b\",], active: True, "
                    "note: None, // comment\n \"score\": .5, nested: {\"k\": [1, 2}\n" +
                    FENCE,
                "{\"name\":\"Ann\",\"age\":31,\"tags\":[\"a\",\"b\"],\"active\":true,"
                "\"note\":null,\"score\":0.5,\"nested\":{\"k\":[1,2]}}"),
    };
    return table;
}

const std::vector<Case>& comment_and_bareword_cases() {
    static const std::vector<Case> table = {
        repairs("// note", "null"),
        repairs("/* x */", "null"),
        repairs("/* a */ /* b */ // c", "null"),
        repairs("// note\r1", "1"),
        repairs("// note\n1", "1"),
        repairs("/* 1 */ 2", "2"),
        repairs("/**/3", "3"),
        // The opener's '*' never closes the comment.
        repairs("/*/1", "null"),
        repairs("/*/ 1 */2", "2"),
        repairs("/*", "null"),
        repairs("/*1", "null"),
        repairs("/* [1] ", "null"),
        // A '#' is a stray byte, not a comment.
        repairs("#1", "1"),
        repairs("# x", "\"x\""),
        // A lone '/' belongs to a bareword; "//" and "/*" end one.
        repairs("a/b", "\"a/b\""),
        repairs("a/", "\"a/\""),
        repairs("a//b", "\"a\""),
        repairs("a/*b*/x", "\"a\""),
        repairs("/a", "\"a\""),
        repairs("1//x\n", "1"),
        repairs("1/*x*/2", "1"),
        repairs("1/2", "\"1/2\""),
        repairs("[1/*c*/2]", "[1,2]"),
        repairs("[1//c\n2]", "[1,2]"),
        repairs("{\"a\"/*c*/:/*d*/1}", "{\"a\":1}"),
        // The delimiters of a bareword.
        repairs("a;b=c#d(e)", "\"a;b=c#d(e)\""),
        repairs("tru e", "\"tru\""),
        repairs("a\tb", "\"a\""),
        repairs("a'b", "\"a\""),
        repairs("a\"b", "\"a\""),
        repairs("a,b", "\"a\""),
        repairs("a:b", "\"a\""),
        repairs("a]b", "\"a\""),
        repairs("a}b", "\"a\""),
    };
    return table;
}

const std::vector<Case>& container_start_cases() {
    static const std::vector<Case> table = {
        repairs("Here is the JSON: {\"a\": 1}", "{\"a\":1}"),
        repairs("123 [1]", "[1]"),
        repairs("\"hello\" {\"a\":1}", "{\"a\":1}"),
        repairs("}{\"a\":1}", "{\"a\":1}"),
        repairs("] [1]", "[1]"),
        repairs("a[b", "[\"b\"]"),
        repairs("a{b", "{\"b\":null}"),
        // Quoted text and comments hide brackets.
        repairs("\"/*\" [1]", "[1]"),
        repairs("\"[0]\" [1]", "[1]"),
        repairs("x /* { */ [1]", "[1]"),
        repairs("x // [0]\n[1]", "[1]"),
        repairs("1 // {\"a\":1}", "1"),
        repairs("x \"[1]", "\"x\""),
        repairs("1 /* [2]", "1"),
        repairs("\"a\" 'b [1]", "\"a\""),
        // A backslash inside quotes skips the next byte.
        repairs("x \"a\\\\\" [8]", "[8]"),
        repairs("x \"a\\\" [8]", "\"x\""),
        repairs("x 'a\\' [8]' [9]", "[9]"),
        // Apostrophes inside a word do not quote.
        repairs("The user's data: {\"a\":1}", "{\"a\":1}"),
        repairs("5'6 [4]", "[4]"),
        repairs("rock'n'roll [1]", "[1]"),
        repairs("5' [4]", "5"),
        repairs("a' {\"b\":1}", "\"a\""),
        repairs("caf\xC3\xA9's {\"a\":1}", "\"caf\xC3\xA9\""),
        repairs("'a {\"b\":1}", "\"a {\\\"b\\\":1}\""),
        repairs("x 'y' [1]", "[1]"),
        repairs("a 'b [1]", "\"a\""),
        repairs("It's 'q' [1]", "[1]"),
        repairs("ab'", "\"ab\""),
        // Apostrophe quoting closes only on an apostrophe.
        repairs("'a\" [1]' [2]", "[2]"),
        repairs("\"a' [1]\" [2]", "[2]"),
        // Line breaks mean nothing inside quoted text.
        repairs("\"a\n[1]\" [2]", "[2]"),
        // Prose in front of a value that leads to a refusal.
        refuses("x {\"a\": \"he said \"hi\" ok\"}", RepairError::AmbiguousQuote),
    };
    return table;
}

TEST(Framing, MarkFencesAndScanLimit) { expect_table(framing_cases()); }
TEST(Framing, CommentsAndBarewordEnds) { expect_table(comment_and_bareword_cases()); }
TEST(Framing, ProseBeforeFirstContainer) { expect_table(container_start_cases()); }

}  // namespace corvane_test
