// Arrays and objects: commas, closers, keys and colons, and the nesting limit.
#include "cases.hpp"

namespace corvane_test {

const std::vector<Case>& array_and_comma_cases() {
    static const std::vector<Case> table = {
        repairs("[ ]", "[]"),
        repairs("{ }", "{}"),
        repairs("[ 1 , 2 ]", "[1,2]"),
        // Commas are never copied: the loop writes its own.
        repairs("[1 2 3]", "[1,2,3]"),
        repairs("[1,,2]", "[1,2]"),
        repairs("[,1]", "[1]"),
        repairs("[1,]", "[1]"),
        repairs("[,]", "[]"),
        repairs("[,,,]", "[]"),
        repairs("[\"a\"\"b\"]", "[\"a\",\"b\"]"),
        repairs("[a b]", "[\"a\",\"b\"]"),
        // Stray bytes between elements.
        repairs("[1:2]", "[1,2]"),
        repairs("[1 \\ 2]", "[1,2]"),
        repairs("[1 # x\n2]", "[1,\"x\",2]"),
        repairs("[1;2 ; 3]", "[\"1;2\",3]"),
        repairs("[1 = 2 * 3]", "[1,2,3]"),
        repairs("[1 " + byte(0x0B) + " 2]", "[1,2]"),
        // Containers as elements.
        repairs("[[1][2]]", "[[1],[2]]"),
        repairs("[{}{}]", "[{},{}]"),
        repairs("[[],{},\"\",0]", "[[],{},\"\",0]"),
        // Open containers are closed at the end, innermost first.
        repairs("[1, 2", "[1,2]"),
        repairs("[[[", "[[[]]]"),
        repairs("[", "[]"),
        repairs("{", "{}"),
        repairs("[1,", "[1]"),
        repairs("{\"a\": [1, {\"b\": 2", "{\"a\":[1,{\"b\":2}]}"),
        repairs("[\"a", "[\"a\"]"),
        repairs("[1 /* open", "[1]"),
        // Strict JSON read block by block: whitespace dropped, 'E' as 'e',
        // missing commas and quotes of bare keys written in place, and the
        // general rules from the first byte that is not strict, wherever
        // the 64-byte blocks cut.
        repairs("[" + std::string(70, ' ') + "1E5, {\"E\": \"E\"}]", "[1e5,{\"E\":\"E\"}]"),
        repairs("{" + std::string(60, ' ') + "Event: 1 k2: [{} {}] \"x\": \"y\" z: 2E-1}",
                "{\"Event\":1,\"k2\":[{},{}],\"x\":\"y\",\"z\":2e-1}"),
        repairs("[\"" + std::string(62, 'a') + "\\\"\\u00e9\", 1 2]",
                "[\"" + std::string(62, 'a') + "\\\"\\u00e9\",1,2]"),
        repairs("[\"" + std::string(62, 'a') + "\t\", True, 1]", "[\"" + std::string(62, 'a') + "\\t\",true,1]"),
        repairs("[" + std::string(63, ' ') + "{\"a\": 1,}, 'b']", "[{\"a\":1},\"b\"]"),
        repairs("[{\"a\": \"" + std::string(70000, 'x') + "\"} {\"b\": 01}]",
                "[{\"a\":\"" + std::string(70000, 'x') + "\"},{\"b\":1}]"),
    };
    return table;
}

const std::vector<Case>& closer_cases() {
    static const std::vector<Case> table = {
        // The other closer closes without being consumed.
        repairs("[1}", "[1]"),
        repairs("{\"a\":1]", "{\"a\":1}"),
        repairs("[}", "[]"),
        repairs("{]", "{}"),
        // It keeps closing up to a container of its own kind.
        repairs("{\"a\":{\"b\":1]}", "{\"a\":{\"b\":1}}"),
        repairs("[[1}]", "[[1]]"),
        repairs("{\"a\":[1]]}", "{\"a\":[1]}"),
        repairs("[[[1}", "[[[1]]]"),
        repairs("{\"a\":{\"b\":{\"c\":1]", "{\"a\":{\"b\":{\"c\":1}}}"),
        // The innermost container of the right kind consumes it.
        repairs("{\"a\":[}", "{\"a\":[]}"),
        repairs("[{]", "[{}]"),
        repairs("[{\"a\":1]]", "[{\"a\":1}]"),
        repairs("[[{\"a\":{\"b\":1]2]", "[[{\"a\":{\"b\":1}}],2]"),
        // A consumed closer ends the top-level value: the rest is dropped.
        repairs("{\"a\":[1,[2}, \"b\":3}", "{\"a\":[1,[2]]}"),
        // Unmatched closers after the first value are never read.
        repairs("[1]]]", "[1]"),
        repairs("{}}", "{}"),
    };
    return table;
}

const std::vector<Case>& key_and_colon_cases() {
    static const std::vector<Case> table = {
        // Cut off after a key or colon: the member is completed.
        repairs("{\"a\"", "{\"a\":null}"),
        repairs("{\"a\":", "{\"a\":null}"),
        repairs("{a", "{\"a\":null}"),
        repairs("{\"a\":1,", "{\"a\":1}"),
        // Commas in objects.
        repairs("{\"a\":1,}", "{\"a\":1}"),
        repairs("{,\"a\":1}", "{\"a\":1}"),
        repairs("{\"a\":1,,\"b\":2}", "{\"a\":1,\"b\":2}"),
        repairs("{\"a\":1 , , }", "{\"a\":1}"),
        // Missing commas between members.
        repairs("{\"a\":1 \"b\":2}", "{\"a\":1,\"b\":2}"),
        repairs("{\"a\":{\"b\":1}\"k\":2}", "{\"a\":{\"b\":1},\"k\":2}"),
        repairs("{\"a\":1 b:2}", "{\"a\":1,\"b\":2}"),
        repairs("{\"a\":[1]\"b\":[2]}", "{\"a\":[1],\"b\":[2]}"),
        // The colon is written once, whatever the input had.
        repairs("{\"a\" 1}", "{\"a\":1}"),
        repairs("{\"a\" \"b\"}", "{\"a\":\"b\"}"),
        repairs("{\"a\"::1}", "{\"a\":1}"),
        repairs("{\"a\" = 1}", "{\"a\":1}"),
        repairs("{\"a\" => 1}", "{\"a\":1}"),
        repairs("{\"a\" /* c */ : 1}", "{\"a\":1}"),
        // Missing values become null.
        repairs("{\"a\":}", "{\"a\":null}"),
        repairs("{\"a\"}", "{\"a\":null}"),
        repairs("{\"a\":{\"b\"}}", "{\"a\":{\"b\":null}}"),
        repairs("{\"a\":,\"b\":1}", "{\"a\":null,\"b\":1}"),
        repairs("{\"a\":]", "{\"a\":null}"),
        // Barewords as keys and values.
        repairs("{a b k}", "{\"a\":\"b\",\"k\":null}"),
        repairs("{a:b:k}", "{\"a\":\"b\",\"k\":null}"),
        // Unquoted keys are quoted unchanged: no keyword or number rewriting.
        repairs("{a:1}", "{\"a\":1}"),
        repairs("{1:2}", "{\"1\":2}"),
        repairs("{-1:2}", "{\"-1\":2}"),
        repairs("{-:1}", "{\"-\":1}"),
        repairs("{true:1}", "{\"true\":1}"),
        repairs("{None:1}", "{\"None\":1}"),
        repairs("{007:1}", "{\"007\":1}"),
        repairs("{$_x:1}", "{\"$_x\":1}"),
        repairs("{\xC3\xA9t\xC3\xA9:1}", "{\"\xC3\xA9t\xC3\xA9\":1}"),
        repairs("{a/b:1}", "{\"a/b\":1}"),
        repairs("{a\\b: 1}", "{\"a\\\\b\":1}"),
        repairs("{a" + byte(0x0B) + "b:1}", "{\"a\\u000bb\":1}"),
        // '+', '.', ':' and brackets are stray in key position.
        repairs("{+a:1}", "{\"a\":1}"),
        repairs("{.5:1}", "{\"5\":1}"),
        repairs("{:1}", "{\"1\":null}"),
        repairs("{:}", "{}"),
        repairs("{[1]}", "{\"1\":null}"),
        repairs("{{\"a\":1}}", "{\"a\":1}"),
        repairs("{#a:1}", "{\"a\":1}"),
        // Quoted keys and values go through the string repairer.
        repairs("{'a':'b', \"k\": 'd'}", "{\"a\":\"b\",\"k\":\"d\"}"),
        repairs("{'a\"b':1}", "{\"a\\\"b\":1}"),
        // Duplicate keys are written as they come.
        repairs("{\"a\":1,\"a\":2}", "{\"a\":1,\"a\":2}"),
        // Inside an array a ':' is stray, so a key becomes an element.
        repairs("{\"a\":[1 \"b\":2}", "{\"a\":[1,\"b\",2]}"),
        // A value that stops at a ':' leaves it to be dropped.
        repairs("{a:b:c:d}", "{\"a\":\"b\",\"c\":\"d\"}"),
    };
    return table;
}

const std::vector<Case>& depth_cases() {
    const std::string deepest_arrays = repeat("[", 128) + "1" + repeat("]", 128);
    static const std::vector<Case> table = {
        repairs(repeat("[", 128), repeat("[", 128) + repeat("]", 128)),
        refuses(repeat("[", 129), RepairError::DepthExceeded),
        repairs(repeat("[", 128) + "1", deepest_arrays),
        repairs(deepest_arrays, deepest_arrays),
        refuses(repeat("[", 129) + "1", RepairError::DepthExceeded),
        refuses(repeat("[", 129) + repeat("]", 129), RepairError::DepthExceeded),
        // Object values count like array elements.
        refuses(repeat("[", 127) + "{\"a\":{}}", RepairError::DepthExceeded),
        repairs(repeat("[", 127) + "{\"a\":1}", repeat("[", 127) + "{\"a\":1}" + repeat("]", 127)),
        repairs(repeat("{\"a\":", 128), repeat("{\"a\":", 128) + "null" + repeat("}", 128)),
        refuses(repeat("{\"a\":", 129), RepairError::DepthExceeded),
        refuses(repeat("{\"a\":[", 65), RepairError::DepthExceeded),
        // Brackets skipped in key position open nothing.
        repairs(repeat("[", 127) + "{[[[", repeat("[", 127) + "{}" + repeat("]", 127)),
        repairs("{" + repeat("[", 500) + "}", "{}"),
        // Depth is nesting, not the count of containers.
        repairs("[" + repeat("[] ", 300) + "]", "[" + repeat("[],", 299) + "[]]"),
        repairs(repeat("[]", 300), "[]"),
        // The refusal wins even after output was written.
        refuses("[1,2,{\"a\":" + repeat("[", 200), RepairError::DepthExceeded),
    };
    return table;
}

TEST(Containers, ArraysAndCommas) { expect_table(array_and_comma_cases()); }
TEST(Containers, MismatchedAndMissingClosers) { expect_table(closer_cases()); }
TEST(Containers, ObjectKeysAndColons) { expect_table(key_and_colon_cases()); }
TEST(Containers, NestingLimit) { expect_table(depth_cases()); }

TEST(Containers, RefusalMessages) {
    EXPECT_EQ(corvane::MAX_DEPTH, 128u);
    const std::string_view depth = corvane::error_message(RepairError::DepthExceeded);
    const std::string_view quote = corvane::error_message(RepairError::AmbiguousQuote);
    EXPECT_EQ(depth, "JSON nesting exceeds the limit of 128 containers");
    EXPECT_EQ(depth.size(), 48u);
    EXPECT_EQ(quote,
              "Ambiguous unescaped quote in object value; escape inner quotes before repair");
    EXPECT_EQ(quote.size(), 76u);
}

}  // namespace corvane_test
