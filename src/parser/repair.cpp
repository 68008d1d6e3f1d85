// The repair engine: one forward pass over the input bytes, appending the
// repaired JSON to an output buffer that is never rewritten.
//
// Read it top-down: repair_text -> parse_value -> the container loops and
// repair_string -> write_escaped_byte. Recursion happens only through
// containers, bounded by MAX_DEPTH.
#include "parser/repair.hpp"

#include <cstring>

#include "lexer/lexer.hpp"
#include "parser/utf8.hpp"

namespace corvane {

std::string_view error_message(RepairError error) noexcept {
    switch (error) {
        case RepairError::DepthExceeded:
            return "JSON nesting exceeds the limit of 128 containers";
        case RepairError::AmbiguousQuote:
            return "Ambiguous unescaped quote in object value; escape inner quotes before repair";
    }
    return "unknown repair error";
}
static_assert(MAX_DEPTH == 128, "the DepthExceeded message spells out the limit");

namespace {

// The state of one repair: what has been written, and where the cursor is.
struct Repairer {
    std::string out;
    Lexer lexer;
};

// What parse_value and repair_string report: a refusal, or whether a value
// was appended.
class ValueResult {
public:
    static constexpr ValueResult wrote() { return ValueResult(WROTE); }
    static constexpr ValueResult nothing() { return ValueResult(NOTHING); }
    static constexpr ValueResult fail(RepairError error) {
        return ValueResult(error == RepairError::DepthExceeded ? DEPTH : AMBIGUOUS);
    }
    constexpr bool failed() const { return state_ >= DEPTH; }
    constexpr bool wrote_value() const { return state_ == WROTE; }
    constexpr RepairError error() const {
        return state_ == DEPTH ? RepairError::DepthExceeded : RepairError::AmbiguousQuote;
    }

private:
    enum State : std::uint8_t { NOTHING, WROTE, DEPTH, AMBIGUOUS };
    explicit constexpr ValueResult(State state) : state_(state) {}
    State state_;
};

ValueResult parse_value(Repairer& r, std::uint32_t depth, bool in_object_value);
ValueResult parse_array(Repairer& r, std::uint32_t depth);
ValueResult parse_object(Repairer& r, std::uint32_t depth);
void write_number(Repairer& r);
void write_bareword(Repairer& r);
void write_token_as_string(Repairer& r, std::string_view token);
ValueResult repair_string(Repairer& r, bool in_object_value);
bool key_follows(const Lexer& lexer);
void write_escape(Repairer& r);
void write_escaped_byte(Repairer& r, std::uint8_t byte);

}  // namespace

RepairResult repair_text(const char* data, std::size_t length) {
    Repairer r{std::string(), Lexer(data, length)};
    r.out.reserve(length + 16);
    seek_container_start(r.lexer);

    const ValueResult result = parse_value(r, 0, false);
    if (result.failed()) return RepairResult::failure(result.error());
    if (!result.wrote_value()) r.out.append("null", 4);

    if (!is_valid_utf8(r.out.data(), r.out.size())) {
        throw InternalFault("repair output is always utf-8");
    }
    return RepairResult::success(std::move(r.out));
}

namespace {

// Reads one value at the cursor and appends its repaired form. Whitespace,
// comments and stray bytes before it are dropped; a ']', '}' or ',' is left
// unconsumed and means "no value here".
ValueResult parse_value(Repairer& r, std::uint32_t depth, bool in_object_value) {
    Lexer& lx = r.lexer;
    for (;;) {
        skip_whitespace_and_comments(lx);
        if (lx.at_end()) return ValueResult::nothing();
        const std::uint8_t byte = lx.peek();
        switch (byte) {
            case '"':
            case '\'':
                return repair_string(r, in_object_value);
            case '[':
            case '{':
                // The bracket is not consumed when the limit refuses it.
                if (depth >= MAX_DEPTH) return ValueResult::fail(RepairError::DepthExceeded);
                return byte == '[' ? parse_array(r, depth) : parse_object(r, depth);
            case ']':
            case '}':
            case ',':
                return ValueResult::nothing();
            default:
                break;
        }
        if (has_class(byte, byte_class::NUMBER_START)) {
            write_number(r);
            return ValueResult::wrote();
        }
        if (has_class(byte, byte_class::WORD_START)) {
            write_bareword(r);
            return ValueResult::wrote();
        }
        ++lx.pos;  // a stray byte: '#', ';', '=', a '/' that opens no comment, ...
    }
}

// Returns true for the bytes that lead parse_value to write a value, so the
// array loop knows a comma is due before it.
inline bool is_element_start(std::uint8_t byte) {
    return byte == '"' || byte == '\'' || byte == '[' || byte == '{' ||
           has_class(byte, byte_class::NUMBER_START | byte_class::WORD_START);
}

// Entered on '['. Writes the whole array, closed. Commas are never copied from
// the input: the loop writes its own before every element but the first, so
// missing, doubled and trailing commas all come out right. A '}' closes the
// array but is left for the enclosing object.
ValueResult parse_array(Repairer& r, std::uint32_t depth) {
    Lexer& lx = r.lexer;
    ++lx.pos;
    r.out.push_back('[');
    bool need_comma = false;
    for (;;) {
        skip_whitespace_and_comments(lx);
        if (lx.at_end()) break;
        const std::uint8_t byte = lx.peek();
        if (byte == ']') {
            ++lx.pos;
            break;
        }
        if (byte == '}') break;
        if (!is_element_start(byte)) {
            ++lx.pos;  // ',', ':', ';' and other strays between elements
            continue;
        }
        if (need_comma) r.out.push_back(',');
        const ValueResult element = parse_value(r, depth + 1, false);
        if (element.failed()) return element;
        need_comma = true;
    }
    r.out.push_back(']');
    return ValueResult::wrote();
}

// Entered on '{'. Writes the whole object, closed; every member gets exactly
// one ':' and a value ("null" when the input has none). A ']' closes the
// object but is left for the enclosing array.
ValueResult parse_object(Repairer& r, std::uint32_t depth) {
    Lexer& lx = r.lexer;
    ++lx.pos;
    r.out.push_back('{');
    bool need_comma = false;
    for (;;) {
        skip_whitespace_and_comments(lx);
        if (lx.at_end()) break;
        const std::uint8_t byte = lx.peek();
        if (byte == '}') {
            ++lx.pos;
            break;
        }
        if (byte == ']') break;
        const bool quoted = byte == '"' || byte == '\'';
        if (!quoted && !is_key_start(byte)) {
            ++lx.pos;  // ',', ':', '+', '.', and brackets in key position open nothing
            continue;
        }

        if (need_comma) r.out.push_back(',');
        if (quoted) {
            const ValueResult key = repair_string(r, false);
            if (key.failed()) return key;
        } else {
            // An unquoted key is written as it stands: no keyword or number rewriting.
            write_token_as_string(r, scan_bareword(lx));
        }

        skip_whitespace_and_comments(lx);
        if (!lx.at_end() && lx.peek() == ':') ++lx.pos;
        r.out.push_back(':');

        const ValueResult value = parse_value(r, depth + 1, true);
        if (value.failed()) return value;
        if (!value.wrote_value()) r.out.append("null", 4);
        need_comma = true;
    }
    r.out.push_back('}');
    return ValueResult::wrote();
}

// Entered on '+', '-', '.' or a digit. Rewrites the token's text into a JSON
// number without computing its value (no rounding, no digit limit), or writes
// the whole token as a string when it is not a number.
void write_number(Repairer& r) {
    const std::string_view token = scan_bareword(r.lexer);
    std::string_view body = token;
    bool negative = false;
    if (body[0] == '+' || body[0] == '-') {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (body.empty()) {  // a sign alone
        r.out.push_back('0');
        return;
    }

    const std::size_t marker = body.find_first_of("eE");
    const std::string_view mantissa = body.substr(0, marker);
    std::string_view exponent;
    if (marker != std::string_view::npos) exponent = body.substr(marker + 1);

    bool is_number = marker != 0;
    std::size_t dots = 0;
    for (const char c : mantissa) {
        if (c == '.') {
            ++dots;
        } else if (c < '0' || c > '9') {
            is_number = false;
        }
    }
    if (dots > 1) is_number = false;
    std::string_view exponent_digits = exponent;
    if (!exponent_digits.empty() && (exponent_digits[0] == '+' || exponent_digits[0] == '-')) {
        exponent_digits.remove_prefix(1);
    }
    for (const char c : exponent_digits) {
        if (c < '0' || c > '9') is_number = false;
    }
    if (!is_number) {
        write_token_as_string(r, token);
        return;
    }

    std::string& out = r.out;
    if (negative) out.push_back('-');
    const std::size_t dot = mantissa.find('.');
    std::string_view integer = mantissa.substr(0, dot);
    while (!integer.empty() && integer[0] == '0') integer.remove_prefix(1);
    if (integer.empty()) {
        out.push_back('0');
    } else {
        out.append(integer);
    }
    if (dot != std::string_view::npos) {
        const std::string_view fraction = mantissa.substr(dot + 1);
        out.push_back('.');
        if (fraction.empty()) {
            out.push_back('0');
        } else {
            out.append(fraction);
        }
    }
    if (marker != std::string_view::npos) {
        out.push_back('e');
        out.append(exponent);
        if (exponent_digits.empty()) out.push_back('0');
    }
}

// Entered on a letter, '_', '$' or a byte of 0x80 and above. Keywords in the
// forms people write them (True, None, ...) become JSON literals; any other
// word becomes a string.
void write_bareword(Repairer& r) {
    const std::string_view token = scan_bareword(r.lexer);
    // Only the first letter may be upper case.
    auto matches = [&token](std::string_view lower) {
        if (token.size() != lower.size()) return false;
        const char first = token[0];
        if (first != lower[0] && first != lower[0] - ('a' - 'A')) return false;
        return token.substr(1) == lower.substr(1);
    };
    if (matches("true")) {
        r.out.append("true", 4);
    } else if (matches("false")) {
        r.out.append("false", 5);
    } else if (matches("null") || matches("none")) {
        r.out.append("null", 4);
    } else {
        write_token_as_string(r, token);
    }
}

void write_token_as_string(Repairer& r, std::string_view token) {
    r.out.push_back('"');
    for (const char c : token) write_escaped_byte(r, static_cast<std::uint8_t>(c));
    r.out.push_back('"');
}

// Entered on the opening quote (either kind). Writes one double-quoted JSON
// string and leaves the cursor after the closing quote, or at the end of the
// input when the string is left open. In an object member's value the first
// unescaped quote of the opening kind must end the string: when the text
// after it does not read like the next member's key, the quote is an inner
// quote that cannot be told apart from the end, and the repair is refused.
ValueResult repair_string(Repairer& r, bool in_object_value) {
    Lexer& lx = r.lexer;
    if (lx.at_end()) return ValueResult::nothing();
    const std::uint8_t quote = lx.data[lx.pos++];
    std::string& out = r.out;
    out.push_back('"');
    const std::uint8_t* data = lx.data;
    const std::size_t end = lx.end;
    while (lx.pos < end) {
        // Plain content is copied in runs; only quotes, backslashes and
        // control bytes need a decision.
        std::size_t run = lx.pos;
        while (run < end && !has_class(data[run], byte_class::STRING_SPECIAL)) ++run;
        if (run != lx.pos) {
            out.append(reinterpret_cast<const char*>(data + lx.pos), run - lx.pos);
            lx.pos = run;
            if (run == end) break;
        }

        const std::uint8_t byte = data[lx.pos++];
        if (byte == quote) {
            if (!in_object_value) break;
            Lexer after = lx;
            skip_whitespace_and_comments(after);
            if (after.at_end() || !is_key_start(after.peek())) break;
            if (key_follows(lx)) break;
            return ValueResult::fail(RepairError::AmbiguousQuote);
        }
        if (byte == '\\') {
            write_escape(r);
        } else {
            write_escaped_byte(r, byte);
        }
    }
    out.push_back('"');
    return ValueResult::wrote();
}

// Does the text after a closing quote read like `b: ...`, the unquoted key of
// a next member whose comma is missing? Works on a copy of the cursor.
bool key_follows(const Lexer& lexer) {
    Lexer probe = lexer;
    skip_whitespace_and_comments(probe);
    if (scan_bareword(probe).empty()) return false;
    skip_whitespace_and_comments(probe);
    return !probe.at_end() && probe.peek() == ':';
}

// Entered just after a backslash inside a string. Keeps valid escapes,
// completes a cut-off \u with zeros, and drops the backslash of any other
// escape. A backslash at the very end becomes an escaped backslash.
void write_escape(Repairer& r) {
    Lexer& lx = r.lexer;
    std::string& out = r.out;
    if (lx.at_end()) {
        out.append("\\\\", 2);
        return;
    }
    const std::uint8_t escaped = lx.data[lx.pos++];
    switch (escaped) {
        case '"':
        case '/':
        case '\\':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            out.push_back('\\');
            out.push_back(static_cast<char>(escaped));
            return;
        case 'u':
            out.append("\\u", 2);
            // Missing digits are filled with '0'; the byte that stopped them
            // is read again as content.
            for (int i = 0; i < 4; ++i) {
                if (!lx.at_end() && is_hex_digit(lx.peek())) {
                    out.push_back(static_cast<char>(lx.data[lx.pos++]));
                } else {
                    out.push_back('0');
                }
            }
            return;
        default:
            write_escaped_byte(r, escaped);
            return;
    }
}

constexpr char HEX_DIGITS[] = "0123456789abcdef";

// Appends one content byte of a JSON string, escaped as JSON requires. Only
// tab, line feed and carriage return get short escapes; other control bytes
// become \u00XX with lowercase digits. Bytes of 0x80 and above pass through.
void write_escaped_byte(Repairer& r, std::uint8_t byte) {
    std::string& out = r.out;
    switch (byte) {
        case '\t': out.append("\\t", 2); return;
        case '\n': out.append("\\n", 2); return;
        case '\r': out.append("\\r", 2); return;
        case '"': out.append("\\\"", 2); return;
        case '\\': out.append("\\\\", 2); return;
        default: break;
    }
    if (byte < 0x20) {
        out.append("\\u00", 4);
        out.push_back(HEX_DIGITS[byte >> 4]);
        out.push_back(HEX_DIGITS[byte & 0x0F]);
        return;
    }
    out.push_back(static_cast<char>(byte));
}

}  // namespace

}  // namespace corvane
