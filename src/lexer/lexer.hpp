// The cursor over the input bytes, and the byte-level rules every part of the
// engine shares: whitespace, comments, barewords, and where parsing starts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "lexer/platform.hpp"
#include "lexer/scan.hpp"

namespace corvane {

// Byte classes, one bit each, looked up in a single 256-entry table built at
// compile time. Bytes 0x80 and above are never whitespace or delimiters: they
// begin barewords and keys, so UTF-8 text passes through untouched.
namespace byte_class {
inline constexpr std::uint8_t WHITESPACE = 1 << 0;   // 09 0A 0C 0D 20, never 0B
inline constexpr std::uint8_t DELIMITER = 1 << 1;    // ends a bareword (but '/' see below)
inline constexpr std::uint8_t KEY_START = 1 << 2;    // may begin an unquoted key
inline constexpr std::uint8_t NUMBER_START = 1 << 3; // + - . 0-9
inline constexpr std::uint8_t WORD_START = 1 << 4;   // letters _ $ and 0x80..0xFF
inline constexpr std::uint8_t VALUE_START = 1 << 5;  // begins a value in an array
}  // namespace byte_class

namespace detail {
constexpr std::array<std::uint8_t, 256> make_byte_classes() {
    using namespace byte_class;
    std::array<std::uint8_t, 256> t{};
    for (int b : {0x09, 0x0A, 0x0C, 0x0D, 0x20}) t[b] |= WHITESPACE | DELIMITER;
    for (int b : {'"', '\'', ',', ':', '[', ']', '{', '}'}) t[b] |= DELIMITER;
    for (int b = 'A'; b <= 'Z'; ++b) t[b] |= KEY_START | WORD_START;
    for (int b = 'a'; b <= 'z'; ++b) t[b] |= KEY_START | WORD_START;
    for (int b = 0x80; b <= 0xFF; ++b) t[b] |= KEY_START | WORD_START;
    for (int b : {'_', '$'}) t[b] |= KEY_START | WORD_START;
    for (int b = '0'; b <= '9'; ++b) t[b] |= KEY_START | NUMBER_START;
    t['-'] |= KEY_START | NUMBER_START;
    t['+'] |= NUMBER_START;
    t['.'] |= NUMBER_START;
    for (int b = 0; b < 256; ++b) {
        if (t[b] & (NUMBER_START | WORD_START)) t[b] |= VALUE_START;
    }
    for (int b : {'"', '\'', '[', '{'}) t[b] |= VALUE_START;
    return t;
}
inline constexpr std::array<std::uint8_t, 256> BYTE_CLASSES = make_byte_classes();
}  // namespace detail

inline constexpr bool has_class(std::uint8_t byte, std::uint8_t cls) {
    return (detail::BYTE_CLASSES[byte] & cls) != 0;
}

inline constexpr bool is_key_start(std::uint8_t byte) {
    return has_class(byte, byte_class::KEY_START);
}

inline constexpr bool is_ascii_alnum(std::uint8_t byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
           (byte >= 'A' && byte <= 'Z');
}

inline constexpr bool is_hex_digit(std::uint8_t byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'f') ||
           (byte >= 'A' && byte <= 'F');
}

// The input cursor. Invariant: pos <= end <= length. Every scan stops at
// `end`, the end of the significant input; `length` only bounds the bytes.
// Copied by value for look-aheads that must not move the real cursor.
struct Lexer {
    const std::uint8_t* data;
    std::size_t length;
    std::size_t pos;
    std::size_t end;

    // Drops a byte-order mark, leading whitespace and an opening code fence,
    // and sets `end` before trailing whitespace and a closing code fence.
    Lexer(const char* input, std::size_t input_length);

    bool at_end() const { return pos >= end; }
    std::uint8_t peek() const { return data[pos]; }
};

// Looks for a comment at `p`. Returns true and stores in `after` the position
// just past it (a line comment stops before its line break; an unterminated
// comment runs to `end`); returns false and leaves `after` at `p` otherwise.
bool skip_comment(const std::uint8_t* data, std::size_t p, std::size_t end, std::size_t& after);

// Moves pos over whitespace and comments. Called before every token, so the
// common cases (no whitespace, or a run of it) stay inline and comments go
// out of line.
template <class Scan = FastScan>
CORVANE_ALWAYS_INLINE void skip_whitespace_and_comments(Lexer& lexer) {
    while (lexer.pos < lexer.end) {
        const std::uint8_t byte = lexer.data[lexer.pos];
        if (is_whitespace(byte)) {
            lexer.pos = Scan::skip_whitespace_run(lexer.data, lexer.pos + 1, lexer.end);
            continue;
        }
        if (byte != '/') return;
        std::size_t after;
        if (!skip_comment(lexer.data, lexer.pos, lexer.end, after)) return;
        lexer.pos = after;
    }
}

// Moves pos to the first bareword delimiter (or `end`) and returns the span it
// passed, possibly empty. A lone '/' is part of the word; only "//" and "/*"
// end it, since they open comments.
inline std::string_view scan_bareword(Lexer& lexer) {
    const std::size_t start = lexer.pos;
    std::size_t i = start;
    const std::size_t end = lexer.end;
    while (i < end) {
        const std::uint8_t byte = lexer.data[i];
        if (has_class(byte, byte_class::DELIMITER)) break;
        if (byte == '/' && i + 1 < end && (lexer.data[i + 1] == '/' || lexer.data[i + 1] == '*')) break;
        ++i;
    }
    lexer.pos = i;
    return {reinterpret_cast<const char*>(lexer.data + start), i - start};
}

// Skips whitespace and comments, then moves pos to the first '{' or '[' that
// stands outside quoted text and comments, so prose in front of the JSON is
// never parsed. Without such a bracket pos stays at the first significant byte.
void seek_container_start(Lexer& lexer);

}  // namespace corvane
