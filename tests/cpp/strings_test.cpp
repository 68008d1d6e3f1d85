// Quoted strings: quote styles, escapes, unterminated strings, the closing
// decision inside object values, and the escaping of raw bytes.
#include "cases.hpp"

namespace corvane_test {

const std::vector<Case>& string_cases() {
    static const std::vector<Case> table = {
        // Unterminated strings close at the end of the significant input.
        repairs("\"abc", "\"abc\""),
        repairs("\"abc   ", "\"abc\""),
        repairs("\"abc\n\n\n", "\"abc\""),
        repairs("\"abc  x", "\"abc  x\""),
        repairs("\"", "\"\""),
        repairs("'", "\"\""),
        // Either quote opens; only the same quote closes.
        repairs("'abc'", "\"abc\""),
        repairs("'it\"s'", "\"it\\\"s\""),
        repairs("\"it's\"", "\"it's\""),
        repairs("\"a\"b\"", "\"a\""),
        repairs("'a'b'", "\"a\""),
        // Escapes that are kept.
        repairs("'it\\'s'", "\"it's\""),
        repairs("\"a\\\"b\"", "\"a\\\"b\""),
        repairs("'a\\\"b'", "\"a\\\"b\""),
        repairs("\"a\\/b\"", "\"a\\/b\""),
        repairs("\"a\\\\b\"", "\"a\\\\b\""),
        repairs("\"\\b\\f\\n\\r\\t\"", "\"\\b\\f\\n\\r\\t\""),
        // Unknown escapes drop the backslash.
        repairs("\"\\x41\"", "\"x41\""),
        repairs("\"\\a\\v\\0\"", "\"av0\""),
        repairs("\"a\\\nb\"", "\"a\\nb\""),
        repairs("\"a\\" + byte(0x01) + "b\"", "\"a\\u0001b\""),
        repairs("\"\\\xC3\xA9\"", "\"\xC3\xA9\""),
        repairs("\"\\ \"", "\" \""),
        // A backslash at the very end is kept, escaped.
        repairs("\"abc\\", "\"abc\\\\\""),
        repairs("[\"abc\\", "[\"abc\\\\\"]"),
        repairs("\"abc\\  ", "\"abc\\\\\""),
        // \u takes exactly four hex digit positions, filling with zeros.
        repairs("\"\\u00E9\"", "\"\\u00E9\""),
        repairs("\"\\uAbCd\"", "\"\\uAbCd\""),
        repairs("\"\\u12\"", "\"\\u1200\""),
        repairs("\"\\u", "\"\\u0000\""),
        repairs("\"\\u1", "\"\\u1000\""),
        repairs("\"\\uZZ\"", "\"\\u0000ZZ\""),
        repairs("\"\\u12345\"", "\"\\u12345\""),
        repairs("\"\\u12\\n\"", "\"\\u1200\\n\""),
        repairs("\"\\ud800\"", "\"\\ud800\""),
        repairs("\"\\ud83d\\ude00\"", "\"\\ud83d\\ude00\""),
        repairs("'\\u12'", "\"\\u1200\""),
        // Raw control bytes are escaped.
        repairs("\"a\tb\"", "\"a\\tb\""),
        repairs("\"a\nb\"", "\"a\\nb\""),
        repairs("\"a\rb\"", "\"a\\rb\""),
        repairs("\"a\fb\"", "\"a\\u000cb\""),
        // Non-ASCII content passes through byte for byte.
        repairs("\"\xC3\xA9\xE2\x82\xAC\"", "\"\xC3\xA9\xE2\x82\xAC\""),
        // Strings as keys and array elements never look ahead.
        repairs("{\"a\"b\": 1}", "{\"a\":\"b\",\": 1}\":null}"),
        repairs("{\"a\": [\"x\" y]}", "{\"a\":[\"x\",\"y\"]}"),
        repairs("[\"he said \"hi\" ok\"]", "[\"he said \",\"hi\",\" ok\"]"),
        repairs("[\"x\" 5]", "[\"x\",5]"),
        // Object values that close because a key follows, or no key can.
        repairs("{\"a\": \"x\" \"b\": 1}", "{\"a\":\"x\",\"b\":1}"),
        repairs("{\"a\": \"x\" b: 1}", "{\"a\":\"x\",\"b\":1}"),
        repairs("{\"a\": \"x\" /*x*/ b /*y*/ : 1}", "{\"a\":\"x\",\"b\":1}"),
        repairs("{\"a\": \"x\" b/q: 1}", "{\"a\":\"x\",\"b/q\":1}"),
        repairs("{\"a\": \"x\"\xC3\xA9: 1}", "{\"a\":\"x\",\"\xC3\xA9\":1}"),
        repairs("{\"a\": \"x\"\n// c\nb\n:1}", "{\"a\":\"x\",\"b\":1}"),
        repairs("{\"a\": \"x\\\"y\"}", "{\"a\":\"x\\\"y\"}"),
        repairs("{\"a\": \"x}", "{\"a\":\"x}\"}"),
        repairs("{\"a\": \"x\" /* unterminated", "{\"a\":\"x\"}"),
        repairs("{\"a\": \"x\"", "{\"a\":\"x\"}"),
        repairs("{\"a\": \"x\"   ", "{\"a\":\"x\"}"),
        repairs("{\"a\": 'it\"s'}", "{\"a\":\"it\\\"s\"}"),
        repairs("{\"a\": \"it's\"}", "{\"a\":\"it's\"}"),
        // A byte that cannot start a key closes the value.
        repairs("{\"a\": \"x\"+1}", "{\"a\":\"x\",\"1\":null}"),
        repairs("{\"a\": \"x\".5}", "{\"a\":\"x\",\"5\":null}"),
        repairs("{\"a\": \"x\"#y}", "{\"a\":\"x\",\"y\":null}"),
        repairs("{\"a\": \"x\"(}", "{\"a\":\"x\"}"),
        repairs("{\"a\": \"x\"/q}", "{\"a\":\"x\",\"q\":null}"),
        repairs("{\"a\": \"x\"[1]}", "{\"a\":\"x\",\"1\":null}"),
        repairs("{\"a\": \"x\"{}", "{\"a\":\"x\"}"),
        repairs("{\"a\": \"x\"\"y\"}", "{\"a\":\"x\",\"y\":null}"),
        repairs("{\"a\": \"x\"'y'}", "{\"a\":\"x\",\"y\":null}"),
        repairs("{\"a\": \"x\"" + byte(0x0B) + "b: 1}", "{\"a\":\"x\",\"b\":1}"),
    };
    return table;
}

const std::vector<Case>& ambiguous_quote_cases() {
    static const std::vector<Case> table = {
        refuses("{\"a\": \"He said \"hi\" ok\"}", RepairError::AmbiguousQuote),
        refuses("{\"a\": \"he said \"hi\" ok\"}", RepairError::AmbiguousQuote),
        refuses("{'a': 'it's'}", RepairError::AmbiguousQuote),
        refuses("{\"a\": \"x\" 5}", RepairError::AmbiguousQuote),
        refuses("{\"a\": \"x\" true}", RepairError::AmbiguousQuote),
        refuses("{\"a\": \"x\" b}", RepairError::AmbiguousQuote),
        refuses("{\"a\": \"x\"-1}", RepairError::AmbiguousQuote),
        refuses("{\"a\": \"x\" b", RepairError::AmbiguousQuote),
        refuses("{\"a\": \"x\" b /* c */", RepairError::AmbiguousQuote),
        refuses("{\"a\": \"\" b}", RepairError::AmbiguousQuote),
        refuses("{\"a\": {\"b\": \"x\" y}}", RepairError::AmbiguousQuote),
        refuses("[{\"a\": \"x\" y}]", RepairError::AmbiguousQuote),
        refuses("{\"a\": \"x\" $y, \"b\": 1}", RepairError::AmbiguousQuote),
        refuses("{\"a\": \"x\" _y \"z\"}", RepairError::AmbiguousQuote),
        refuses("{\"a\": \"x\" \xC3\xA9}", RepairError::AmbiguousQuote),
        // Only the first unescaped quote decides; the second never counts.
        refuses("{\"a\": \"x\" b \": 1}", RepairError::AmbiguousQuote),
        // The refusal ends the repair even after other members were written.
        refuses("{\"k\": 1, \"a\": \"x\" y}", RepairError::AmbiguousQuote),
        refuses("Data: {\"a\": \"x\" y}", RepairError::AmbiguousQuote),
    };
    return table;
}

const std::vector<Case>& escaping_cases() {
    std::string all_controls = "\"";
    std::string escaped_controls = "\"";
    static constexpr const char* SHORT[32] = {
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
        nullptr, "\\t",   "\\n",   nullptr, nullptr, "\\r",   nullptr, nullptr};
    static constexpr char HEX[] = "0123456789abcdef";
    for (unsigned b = 0; b < 0x20; ++b) {
        all_controls += byte(static_cast<unsigned char>(b));
        if (SHORT[b]) {
            escaped_controls += SHORT[b];
        } else {
            escaped_controls += "\\u00";
            escaped_controls += HEX[b >> 4];
            escaped_controls += HEX[b & 0x0F];
        }
    }
    // Leading and trailing whitespace bytes are trimmed by the cursor, so the
    // run is followed by a closing quote to keep all of it.
    all_controls += "\"";
    escaped_controls += "\"";

    static const std::vector<Case> table = {
        repairs("\"a" + byte(0x01) + "b" + byte(0x1F) + "x" + byte(0x7F) + "d" + byte(0x08) + "e" +
                    byte(0x0B) + "f\"",
                "\"a\\u0001b\\u001fx" + byte(0x7F) + "d\\u0008e\\u000bf\""),
        repairs("\"a\tb\"", "\"a\\tb\""),
        repairs("\"a\fb\"", "\"a\\u000cb\""),
        repairs("\"a" + NUL + "b\"", "\"a\\u0000b\""),
        repairs("\"" + byte(0x1B) + "\"", "\"\\u001b\""),
        repairs(all_controls, escaped_controls),
        // Barewords and unquoted keys go through the same escaping.
        repairs("a\\b", "\"a\\\\b\""),
        repairs("{a\\b: 1}", "{\"a\\\\b\":1}"),
        repairs("a" + byte(0x0B) + "b", "\"a\\u000bb\""),
        repairs("a" + byte(0x1B) + "\"", "\"a\\u001b\""),
        repairs("{a" + byte(0x1F) + ":1}", "{\"a\\u001f\":1}"),
        repairs("1.5" + byte(0x08), "\"1.5\\u0008\""),
        // '/' and the apostrophe are never escaped; DEL and UTF-8 pass.
        repairs("\"a/b'c\"", "\"a/b'c\""),
        repairs("'a/b'", "\"a/b\""),
        repairs("\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""),
        repairs("\"" + byte(0x7F) + "\"", "\"" + byte(0x7F) + "\""),
    };
    return table;
}

TEST(Strings, QuotesEscapesAndClosing) { expect_table(string_cases()); }
TEST(Strings, AmbiguousQuoteInObjectValue) { expect_table(ambiguous_quote_cases()); }
TEST(Strings, EscapingOfRawBytes) { expect_table(escaping_cases()); }

}  // namespace corvane_test
