// Scalars: the bytes skipped before a value, number text rewriting, keyword
// literals, and barewords that become strings.
#include "cases.hpp"

namespace corvane_test {

const std::vector<Case>& stray_and_scalar_cases() {
    static const std::vector<Case> table = {
        // Closers and commas are not values and end the search.
        repairs("]", "null"),
        repairs("}", "null"),
        repairs(",", "null"),
        repairs(", 1", "null"),
        repairs("] 1", "null"),
        // Stray bytes before a value are dropped.
        repairs(":", "null"),
        repairs("!!1", "1"),
        repairs("#1", "1"),
        repairs("=> 'a'", "\"a\""),
        repairs("%&()*;<=>?@\\^`|~ 7", "7"),
        repairs(byte(0x01) + byte(0x7F) + "x", "\"x\""),
        repairs("* / 1", "1"),
        // Nothing after the first value is read.
        repairs("1 2", "1"),
        repairs("{}{}", "{}"),
        repairs("- 5", "0"),
        repairs("\"a\" \"b\"", "\"a\""),
        repairs("true false", "true"),
        // Barewords: letters, '_', '$' and non-ASCII bytes start them.
        repairs("_x", "\"_x\""),
        repairs("$x", "\"$x\""),
        repairs("\xC3\xA9t\xC3\xA9", "\"\xC3\xA9t\xC3\xA9\""),
        repairs("a\\b", "\"a\\\\b\""),
        repairs("a" + byte(0x0B) + "b", "\"a\\u000bb\""),
        repairs("a" + byte(0x01) + "b", "\"a\\u0001b\""),
        repairs("a\"", "\"a\""),
    };
    return table;
}

const std::vector<Case>& number_cases() {
    static const std::vector<Case> table = {
        repairs("0", "0"),
        repairs("-1", "-1"),
        repairs("12345678901234567890123456789", "12345678901234567890123456789"),
        repairs("3.14159265358979323846264338327950288", "3.14159265358979323846264338327950288"),
        // Signs.
        repairs("+5", "5"),
        repairs("-", "0"),
        repairs("+", "0"),
        repairs("+0.5", "0.5"),
        // Missing integer or fraction digits.
        repairs(".", "0.0"),
        repairs("-.", "-0.0"),
        repairs(".5", "0.5"),
        repairs("5.", "5.0"),
        repairs("+.", "0.0"),
        // Leading zeros of the integer part.
        repairs("-05", "-5"),
        repairs("007", "7"),
        repairs("000", "0"),
        repairs("-00", "-0"),
        repairs("-0", "-0"),
        repairs("0010.0100", "10.0100"),
        // Fraction digits are copied unchanged.
        repairs("00.00", "0.00"),
        repairs("0.50", "0.50"),
        // Exponents.
        repairs("1E5", "1e5"),
        repairs("1e", "1e0"),
        repairs("1E+", "1e+0"),
        repairs("1e-", "1e-0"),
        repairs("1e+05", "1e+05"),
        repairs("1E-007", "1e-007"),
        repairs("-1.5E-3", "-1.5e-3"),
        repairs("1.e5", "1.0e5"),
        repairs(".e5", "0.0e5"),
        repairs("-.E+", "-0.0e+0"),
        repairs("0e0", "0e0"),
        repairs("00e1", "0e1"),
        // Tokens that fail the number test become strings, sign included.
        repairs("1.2.3", "\"1.2.3\""),
        repairs("12abc", "\"12abc\""),
        repairs("0x1F", "\"0x1F\""),
        repairs("1_000", "\"1_000\""),
        repairs("-e5", "\"-e5\""),
        repairs("+E5", "\"+E5\""),
        repairs("e5", "\"e5\""),
        repairs("--5", "\"--5\""),
        repairs("+-5", "\"+-5\""),
        repairs("1-2", "\"1-2\""),
        repairs("1e+-5", "\"1e+-5\""),
        repairs("1e5.5", "\"1e5.5\""),
        repairs("1e5e5", "\"1e5e5\""),
        repairs("1E5E", "\"1E5E\""),
        repairs("1/2", "\"1/2\""),
        repairs("-Infinity", "\"-Infinity\""),
        repairs("+NaN", "\"+NaN\""),
        repairs("1;2", "\"1;2\""),
        repairs("1" + byte(0x0B), "\"1\\u000b\""),
        repairs("-1\\2", "\"-1\\\\2\""),
        repairs("1.5\xC3\xA9", "\"1.5\xC3\xA9\""),
        // What ends a number token.
        repairs("[1;2]", "[\"1;2\"]"),
        repairs("1//x\n", "1"),
        repairs("12'a'", "12"),
        repairs("12\"a\"", "12"),
        repairs("12:3", "12"),
        // The same rules inside containers.
        repairs("[-,1]", "[0,1]"),
        repairs("[+]", "[0]"),
        repairs("[.]", "[0.0]"),
        repairs("[1E2,-.5e,007]", "[1e2,-0.5e0,7]"),
        repairs("{\"a\":+.5e+}", "{\"a\":0.5e+0}"),
    };
    return table;
}

const std::vector<Case>& keyword_cases() {
    static const std::vector<Case> table = {
        repairs("true", "true"),
        repairs("True", "true"),
        repairs("false", "false"),
        repairs("False", "false"),
        repairs("null", "null"),
        repairs("Null", "null"),
        repairs("none", "null"),
        repairs("None", "null"),
        repairs("[True,False,None,none,Null]", "[true,false,null,null,null]"),
        repairs("{\"a\":True}", "{\"a\":true}"),
        // Any other spelling or length is a string.
        repairs("TRUE", "\"TRUE\""),
        repairs("FALSE", "\"FALSE\""),
        repairs("NULL", "\"NULL\""),
        repairs("NONE", "\"NONE\""),
        repairs("nUll", "\"nUll\""),
        repairs("tRUE", "\"tRUE\""),
        repairs("nul", "\"nul\""),
        repairs("truex", "\"truex\""),
        repairs("nil", "\"nil\""),
        repairs("NaN", "\"NaN\""),
        repairs("Infinity", "\"Infinity\""),
        repairs("undefined", "\"undefined\""),
        repairs("tru e", "\"tru\""),
        repairs("true/x", "\"true/x\""),
        // The keyword ends at a delimiter.
        repairs("true//x", "true"),
        repairs("True,", "true"),
        repairs("[none]", "[null]"),
    };
    return table;
}

TEST(Scalars, StrayBytesAndBarewords) { expect_table(stray_and_scalar_cases()); }
TEST(Scalars, NumberTextRewriting) { expect_table(number_cases()); }
TEST(Scalars, KeywordLiterals) { expect_table(keyword_cases()); }

}  // namespace corvane_test
