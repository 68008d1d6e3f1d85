// The repair engine: one forward pass over the input bytes, appending the
// repaired JSON to an output buffer that is never rewritten.
//
// Read it top-down: repair_text -> parse_value -> the container loops and
// repair_string -> write_escaped_byte. Recursion happens only through
// containers, bounded by MAX_DEPTH. Every function is a template over the
// byte-run scanner: FastScan for users, ScalarScan for the reference that
// tests compare against.
#include "parser/repair.hpp"

#include "lexer/lexer.hpp"
#include "lexer/platform.hpp"
#include "parser/output.hpp"
#include "parser/reference.hpp"
#include "parser/utf8.hpp"

namespace corvane {

std::string_view error_message(RepairError error) noexcept {
    static_assert(MAX_DEPTH == 128, "the DepthExceeded message spells out the limit");
    switch (error) {
        case RepairError::DepthExceeded:
            return "JSON nesting exceeds the limit of 128 containers";
        case RepairError::AmbiguousQuote:
            return "Ambiguous unescaped quote in object value; escape inner quotes before repair";
    }
    return "unknown repair error";
}

void OutputBuffer::grow(std::size_t count) {
    const std::size_t used = size();
    std::size_t capacity = static_cast<std::size_t>(limit_ - bytes_.get()) * 2;
    if (capacity < used + count + 64) capacity = used + count + 64;
    std::unique_ptr<char[]> larger(new char[capacity]);
    std::memcpy(larger.get(), bytes_.get(), used);
    bytes_ = std::move(larger);
    cursor_ = bytes_.get() + used;
    limit_ = bytes_.get() + capacity;
}

namespace {

// The state of one repair: what has been written, and where the cursor is.
struct Repairer {
    OutputBuffer out;
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

template <class Scan> ValueResult parse_value(Repairer& r, std::uint32_t depth, bool in_object_value);
template <class Scan> ValueResult parse_array(Repairer& r, std::uint32_t depth);
template <class Scan> ValueResult parse_object(Repairer& r, std::uint32_t depth);
template <class Scan> void write_number(Repairer& r);
template <class Scan> bool copy_plain_number(Repairer& r);
void rewrite_number(Repairer& r, std::string_view token);
void write_bareword(Repairer& r);
void write_token_as_string(Repairer& r, std::string_view token);
template <class Scan> ValueResult repair_string(Repairer& r, bool in_object_value);
template <class Scan> bool key_follows(const Lexer& lexer);
void write_escape(Repairer& r);
void write_escaped_byte(Repairer& r, std::uint8_t byte);

template <class Scan>
RepairResult run_repair(const char* data, std::size_t length) {
    Repairer r{OutputBuffer(length + 16), Lexer(data, length)};
    seek_container_start(r.lexer);

    const ValueResult result = parse_value<Scan>(r, 0, false);
    if (result.failed()) return RepairResult::failure(result.error());
    if (!result.wrote_value()) r.out.append_literal("null");

    if (CORVANE_UNLIKELY(!is_valid_utf8(r.out.data(), r.out.size()))) {
        throw InternalFault("repair output is always utf-8");
    }
    return RepairResult::success(r.out.take());
}

}  // namespace

RepairResult repair_text(const char* data, std::size_t length) {
    return run_repair<FastScan>(data, length);
}

RepairResult repair_text_reference(const char* data, std::size_t length) {
    return run_repair<ScalarScan>(data, length);
}

namespace {

// Reads one value at the cursor and appends its repaired form. Whitespace,
// comments and stray bytes before it are dropped; a ']', '}' or ',' is left
// unconsumed and means "no value here". Inlined into the container loops, so
// only containers cost a call: that call is the recursion.
template <class Scan>
CORVANE_ALWAYS_INLINE ValueResult parse_value(Repairer& r, std::uint32_t depth, bool in_object_value) {
    Lexer& lx = r.lexer;
    for (;;) {
        skip_whitespace_and_comments<Scan>(lx);
        if (lx.at_end()) return ValueResult::nothing();
        const std::uint8_t byte = lx.peek();
        switch (byte) {
            case '"':
            case '\'':
                return repair_string<Scan>(r, in_object_value);
            case '[':
            case '{':
                // The bracket is not consumed when the limit refuses it.
                if (depth >= MAX_DEPTH) return ValueResult::fail(RepairError::DepthExceeded);
                return byte == '[' ? parse_array<Scan>(r, depth) : parse_object<Scan>(r, depth);
            case ']':
            case '}':
            case ',':
                return ValueResult::nothing();
            default:
                break;
        }
        if (has_class(byte, byte_class::NUMBER_START)) {
            write_number<Scan>(r);
            return ValueResult::wrote();
        }
        if (has_class(byte, byte_class::WORD_START)) {
            write_bareword(r);
            return ValueResult::wrote();
        }
        ++lx.pos;  // a stray byte: '#', ';', '=', a '/' that opens no comment, ...
    }
}

// Entered on '['. Writes the whole array, closed. Commas are never copied from
// the input: the loop writes its own before every element but the first, so
// missing, doubled and trailing commas all come out right. A '}' closes the
// array but is left for the enclosing object.
template <class Scan>
CORVANE_NOINLINE ValueResult parse_array(Repairer& r, std::uint32_t depth) {
    Lexer& lx = r.lexer;
    ++lx.pos;
    r.out.push('[');
    bool need_comma = false;
    for (;;) {
        skip_whitespace_and_comments<Scan>(lx);
        if (lx.at_end()) break;
        const std::uint8_t byte = lx.peek();
        if (byte == ']') {
            ++lx.pos;
            break;
        }
        if (byte == '}') break;
        if (!has_class(byte, byte_class::VALUE_START)) {
            ++lx.pos;  // ',', ':', ';' and other strays between elements
            continue;
        }
        if (need_comma) r.out.push(',');
        const ValueResult element = parse_value<Scan>(r, depth + 1, false);
        if (element.failed()) return element;
        need_comma = true;
    }
    r.out.push(']');
    return ValueResult::wrote();
}

// Entered on '{'. Writes the whole object, closed; every member gets exactly
// one ':' and a value ("null" when the input has none). A ']' closes the
// object but is left for the enclosing array.
template <class Scan>
CORVANE_NOINLINE ValueResult parse_object(Repairer& r, std::uint32_t depth) {
    Lexer& lx = r.lexer;
    ++lx.pos;
    r.out.push('{');
    bool need_comma = false;
    for (;;) {
        skip_whitespace_and_comments<Scan>(lx);
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

        if (need_comma) r.out.push(',');
        if (quoted) {
            const ValueResult key = repair_string<Scan>(r, false);
            if (key.failed()) return key;
        } else {
            // An unquoted key is written as it stands: no keyword or number rewriting.
            write_token_as_string(r, scan_bareword(lx));
        }

        skip_whitespace_and_comments<Scan>(lx);
        if (!lx.at_end() && lx.peek() == ':') ++lx.pos;
        r.out.push(':');

        const ValueResult value = parse_value<Scan>(r, depth + 1, true);
        if (value.failed()) return value;
        if (!value.wrote_value()) r.out.append_literal("null");
        need_comma = true;
    }
    r.out.push('}');
    return ValueResult::wrote();
}

inline bool is_digit(std::uint8_t byte) { return byte >= '0' && byte <= '9'; }

// Entered on '+', '-', '.' or a digit. Rewrites the token's text into a JSON
// number without computing its value (no rounding, no digit limit), or writes
// the whole token as a string when it is not a number.
template <class Scan>
void write_number(Repairer& r) {
    if constexpr (Scan::NUMBER_FAST_PATH) {
        if (copy_plain_number<Scan>(r)) return;
    }
    rewrite_number(r, scan_bareword(r.lexer));
}

// Copies a number that already has strict JSON form, the common case, with
// its exponent marker lower-cased: for such a token the general rewrite
// changes nothing else. Returns false, having consumed nothing, otherwise.
template <class Scan>
bool copy_plain_number(Repairer& r) {
    Lexer& lx = r.lexer;
    const std::uint8_t* data = lx.data;
    const std::size_t end = lx.end;
    std::size_t p = lx.pos;
    auto skip_digits = [&] {
        if (p >= end || !is_digit(data[p])) return false;
        p = Scan::skip_digits(data, p + 1, end);
        return true;
    };

    if (data[p] == '-') ++p;
    if (p < end && data[p] == '0') {
        ++p;
        if (p < end && is_digit(data[p])) return false;  // leading zeros are rewritten
    } else if (!skip_digits()) {
        return false;
    }
    if (p < end && data[p] == '.') {
        ++p;
        if (!skip_digits()) return false;
    }
    std::size_t marker = 0;
    if (p < end && (data[p] == 'e' || data[p] == 'E')) {
        marker = p;
        ++p;
        if (p < end && (data[p] == '+' || data[p] == '-')) ++p;
        if (!skip_digits()) return false;
    }
    // The token must end here, or it is not a number at all (12abc, 1/2).
    if (p < end) {
        const std::uint8_t next = data[p];
        const bool comment = next == '/' && p + 1 < end && (data[p + 1] == '/' || data[p + 1] == '*');
        if (!has_class(next, byte_class::DELIMITER) && !comment) return false;
    }

    if (marker == 0) {
        r.out.append(data + lx.pos, p - lx.pos);
    } else {
        r.out.append(data + lx.pos, marker - lx.pos);
        r.out.push('e');
        r.out.append(data + marker + 1, p - marker - 1);
    }
    lx.pos = p;
    return true;
}

// The general number rewrite: drops a '+' sign, strips leading zeros of the
// integer part, supplies missing digits as 0, lower-cases the exponent marker.
void rewrite_number(Repairer& r, std::string_view token) {
    std::string_view body = token;
    bool negative = false;
    if (body[0] == '+' || body[0] == '-') {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (body.empty()) {  // a sign alone
        r.out.push('0');
        return;
    }

    std::size_t marker = 0;
    while (marker < body.size() && body[marker] != 'e' && body[marker] != 'E') ++marker;
    const bool has_exponent = marker < body.size();
    const std::string_view mantissa = body.substr(0, marker);
    const std::string_view exponent = has_exponent ? body.substr(marker + 1) : std::string_view();

    bool is_number = marker != 0;
    std::size_t dot = std::string_view::npos;
    for (std::size_t i = 0; i < mantissa.size(); ++i) {
        if (mantissa[i] == '.') {
            if (dot != std::string_view::npos) is_number = false;
            dot = i;
        } else if (!is_digit(static_cast<std::uint8_t>(mantissa[i]))) {
            is_number = false;
        }
    }
    std::string_view exponent_digits = exponent;
    if (!exponent_digits.empty() && (exponent_digits[0] == '+' || exponent_digits[0] == '-')) {
        exponent_digits.remove_prefix(1);
    }
    for (const char c : exponent_digits) {
        if (!is_digit(static_cast<std::uint8_t>(c))) is_number = false;
    }
    if (!is_number) {
        write_token_as_string(r, token);
        return;
    }

    OutputBuffer& out = r.out;
    if (negative) out.push('-');
    std::string_view integer = mantissa.substr(0, dot);
    while (!integer.empty() && integer[0] == '0') integer.remove_prefix(1);
    if (integer.empty()) {
        out.push('0');
    } else {
        out.append(integer.data(), integer.size());
    }
    if (dot != std::string_view::npos) {
        const std::string_view fraction = mantissa.substr(dot + 1);
        out.push('.');
        if (fraction.empty()) {
            out.push('0');
        } else {
            out.append(fraction.data(), fraction.size());
        }
    }
    if (has_exponent) {
        out.push('e');
        out.append(exponent.data(), exponent.size());
        if (exponent_digits.empty()) out.push('0');
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
        r.out.append_literal("true");
    } else if (matches("false")) {
        r.out.append_literal("false");
    } else if (matches("null") || matches("none")) {
        r.out.append_literal("null");
    } else {
        write_token_as_string(r, token);
    }
}

// Writes a bareword or a failed number as a JSON string: plain runs are
// copied whole, the rest goes through write_escaped_byte.
void write_token_as_string(Repairer& r, std::string_view token) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(token.data());
    r.out.push('"');
    std::size_t i = 0;
    while (i < token.size()) {
        std::size_t run = i;
        while (run < token.size() && !is_string_special(bytes[run])) ++run;
        r.out.append(bytes + i, run - i);
        if (run == token.size()) break;
        write_escaped_byte(r, bytes[run]);
        i = run + 1;
    }
    r.out.push('"');
}

// Entered on the opening quote (either kind). Writes one double-quoted JSON
// string and leaves the cursor after the closing quote, or at the end of the
// input when the string is left open. In an object member's value the first
// unescaped quote of the opening kind must end the string: when the text
// after it does not read like the next member's key, the quote is an inner
// quote that cannot be told apart from the end, and the repair is refused.
template <class Scan>
ValueResult repair_string(Repairer& r, bool in_object_value) {
    Lexer& lx = r.lexer;
    if (lx.at_end()) return ValueResult::nothing();
    const std::uint8_t quote = lx.data[lx.pos++];
    r.out.push('"');
    const std::uint8_t* data = lx.data;
    const std::size_t end = lx.end;
    while (lx.pos < end) {
        // Plain content is copied in runs; only quotes, backslashes and
        // control bytes need a decision.
        const std::size_t stop = Scan::copy_string_run(data, lx.pos, end, quote, r.out);
        lx.pos = stop;
        if (stop == end) break;

        const std::uint8_t byte = data[lx.pos++];
        if (byte == quote) {
            if (!in_object_value) break;
            Lexer after = lx;
            skip_whitespace_and_comments<Scan>(after);
            if (after.at_end() || !is_key_start(after.peek())) break;
            if (key_follows<Scan>(lx)) break;
            return ValueResult::fail(RepairError::AmbiguousQuote);
        }
        if (byte == '\\') {
            write_escape(r);
        } else {
            write_escaped_byte(r, byte);
        }
    }
    r.out.push('"');
    return ValueResult::wrote();
}

// Does the text after a closing quote read like `b: ...`, the unquoted key of
// a next member whose comma is missing? Works on a copy of the cursor.
template <class Scan>
bool key_follows(const Lexer& lexer) {
    Lexer probe = lexer;
    skip_whitespace_and_comments<Scan>(probe);
    if (scan_bareword(probe).empty()) return false;
    skip_whitespace_and_comments<Scan>(probe);
    return !probe.at_end() && probe.peek() == ':';
}

// Entered just after a backslash inside a string. Keeps valid escapes,
// completes a cut-off \u with zeros, and drops the backslash of any other
// escape. A backslash at the very end becomes an escaped backslash.
void write_escape(Repairer& r) {
    Lexer& lx = r.lexer;
    OutputBuffer& out = r.out;
    if (lx.at_end()) {
        out.append_literal("\\\\");
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
            out.push('\\');
            out.push(static_cast<char>(escaped));
            return;
        case 'u':
            out.append_literal("\\u");
            // Missing digits are filled with '0'; the byte that stopped them
            // is read again as content.
            for (int i = 0; i < 4; ++i) {
                if (!lx.at_end() && is_hex_digit(lx.peek())) {
                    out.push(static_cast<char>(lx.data[lx.pos++]));
                } else {
                    out.push('0');
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
    OutputBuffer& out = r.out;
    switch (byte) {
        case '\t': out.append_literal("\\t"); return;
        case '\n': out.append_literal("\\n"); return;
        case '\r': out.append_literal("\\r"); return;
        case '"': out.append_literal("\\\""); return;
        case '\\': out.append_literal("\\\\"); return;
        default: break;
    }
    if (byte < 0x20) {
        out.append_literal("\\u00");
        out.push(HEX_DIGITS[byte >> 4]);
        out.push(HEX_DIGITS[byte & 0x0F]);
        return;
    }
    out.push(static_cast<char>(byte));
}

}  // namespace

}  // namespace corvane
