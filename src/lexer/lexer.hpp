// The cursor over the input bytes, and the byte-level rules every part of the
// engine shares: whitespace, comments, barewords, and where parsing starts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.hpp"
#include "lexer/scan.hpp"

namespace corvane {

// Byte classes, one bit each, looked up in a single 256-entry table built at
// compile time. Bytes 0x80 and above are never whitespace or delimiters: they
// begin barewords and keys, so UTF-8 text passes through untouched.
namespace byte_class {
inline constexpr std::uint8_t DELIMITER = 1 << 1;    // ends a bareword (whitespace too; '/' see below)
inline constexpr std::uint8_t KEY_START = 1 << 2;    // may begin an unquoted key
inline constexpr std::uint8_t NUMBER_START = 1 << 3; // + - . 0-9
inline constexpr std::uint8_t WORD_START = 1 << 4;   // letters _ $ and 0x80..0xFF
inline constexpr std::uint8_t VALUE_START = 1 << 5;  // begins a value in an array
}  // namespace byte_class

namespace detail {
constexpr std::array<std::uint8_t, 256> make_byte_classes() {
    using namespace byte_class;
    std::array<std::uint8_t, 256> t{};
    for (int b : WHITESPACE_BYTES) t[b] |= DELIMITER;
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

// The bytes JSON escapes as a backslash and that byte alone; \u is the
// only other escape it has.
inline constexpr bool is_short_escape(std::uint8_t byte) {
    switch (byte) {
        case '"':
        case '/':
        case '\\':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            return true;
        default:
            return false;
    }
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
    Lexer(const std::uint8_t* bytes, std::size_t bytes_length, std::size_t start, std::size_t stop)
        : data(bytes), length(bytes_length), pos(start), end(stop) {}

    bool at_end() const { return pos >= end; }
    std::uint8_t peek() const { return data[pos]; }
    // Calls `f` on each input position held here: a stream that drops input
    // moves them all (the same in the types below).
    template <class F>
    void each_position(F&& f) {
        f(pos);
        f(end);
    }
};

// A scan that reached the end of the input received so far, when more may
// follow, stops where it cannot decide and says what it waits for. A stream
// runs it again only once that has arrived, so a long comment or word that
// arrives a few bytes at a time is still read a bounded number of times.
enum class Need : std::uint8_t {
    Byte,     // any further byte (the scan keeps its own progress)
    Comment,  // the end of the comment, or of the '/' that may open one, at `at`
    Word,     // the end of the bareword at `at`
    Reach,    // input up to `at`: a look-ahead that read to the end undecided
              // waits for as much again, so that rereading stays linear
};
struct Pause {
    Need need;
    std::size_t at;
    template <class F>
    void each_position(F&& f) {
        f(at);
    }
};

// Where the significant input starts: after a byte-order mark, leading
// whitespace and an opening code fence with the rest of its line. Kept
// between calls while input arrives; `final` says no more will.
struct StartScan {
    enum class Phase : std::uint8_t { Mark, Space, Fence, FenceLine, FenceBreaks, Done };
    Phase phase = Phase::Mark;
    std::size_t pos = 0;
    bool fenced = false;  // an opening fence was skipped
    template <class F>
    void each_position(F&& f) {
        f(pos);
    }
};
// Advances `scan` over `data[0, length)`. True once the start is known.
bool scan_start(const std::uint8_t* data, std::size_t length, bool final, StartScan& scan);

// Where the significant input of `data[0, length)` ends, for input whose
// significant part starts at `start`: before trailing whitespace, and before
// a closing code fence that is the last text (with whitespace before it).
std::size_t significant_end(const std::uint8_t* data, std::size_t start, std::size_t length);

enum class CommentScan : std::uint8_t {
    None,       // no comment starts here
    Closed,     // `after` is just past it (a line comment stops before its line break)
    Unfinished, // it runs to `end` (`after`), or a '/' is the last byte
};
// Looks for a comment at `p`. A '/' at `end - 1` is Unfinished with `after`
// at `p`: only the next byte can say whether it opens one.
CommentScan skip_comment(const std::uint8_t* data, std::size_t p, std::size_t end, std::size_t& after);

// Moves pos over whitespace and comments. Called before every token, so the
// common cases (no whitespace, or a run of it) stay inline and comments go
// out of line. Returns false, with pos on the comment, when a comment (or a
// '/' that may open one) reaches `end` and more input may follow (`final`
// false): its end is not known yet.
template <class Scan = FastScan>
CORVANE_ALWAYS_INLINE bool skip_whitespace_and_comments(Lexer& lexer, bool final = true) {
    while (lexer.pos < lexer.end) {
        const std::uint8_t byte = lexer.data[lexer.pos];
        if (is_whitespace(byte)) {
            lexer.pos = Scan::skip_whitespace_run(lexer.data, lexer.pos + 1, lexer.end);
            continue;
        }
        if (byte != '/') return true;
        std::size_t after;
        const CommentScan comment = skip_comment(lexer.data, lexer.pos, lexer.end, after);
        if (comment == CommentScan::None) return true;
        if (comment == CommentScan::Unfinished && !final) return false;
        if (after == lexer.pos) return true;  // a '/' at the very end opens nothing
        lexer.pos = after;
    }
    return true;
}

// True when a bareword delimiter ends a word at `i`: a delimiter byte, or the
// "//" or "/*" that opens a comment (a lone '/' belongs to the word).
inline bool ends_word(const std::uint8_t* data, std::size_t i, std::size_t end) {
    const std::uint8_t byte = data[i];
    if (has_class(byte, byte_class::DELIMITER)) return true;
    return byte == '/' && i + 1 < end && (data[i + 1] == '/' || data[i + 1] == '*');
}

// A number in JSON's own form read from `begin`: an optional '-', then 0 or
// digits without a leading zero, an optional fraction and an optional
// exponent, each with at least one digit. `whole` when all of that is
// there; `end` is where it stops (no further than `stop`), `marker` the
// offset of its exponent's 'e' or 'E' (0 for none). `digits_end(p)` is the
// end of the run of digits at p, which may be p itself (the caller has a
// faster way to find it than a byte at a time). Needs begin < stop. The one
// definition of the form, for the pass's shortcut and the strict stretch's
// check.
struct NumberForm {
    bool whole;
    std::size_t end;
    std::size_t marker;
};
template <class DigitsEnd>
CORVANE_ALWAYS_INLINE NumberForm read_json_number(const std::uint8_t* bytes, std::size_t begin, std::size_t stop,
                                                  DigitsEnd digits_end) {
    std::size_t p = begin;
    // One or more digits from p.
    auto digits = [&] {
        const std::size_t after = p < stop ? digits_end(p) : p;
        if (after == p) return false;
        p = after;
        return true;
    };
    if (bytes[p] == '-') ++p;
    if (p < stop && bytes[p] == '0') {
        ++p;
    } else if (!digits()) {
        return {false, p, 0};
    }
    if (p < stop && bytes[p] == '.') {
        ++p;
        if (!digits()) return {false, p, 0};
    }
    std::size_t marker = 0;
    if (p < stop && (bytes[p] == 'e' || bytes[p] == 'E')) {
        marker = p;
        ++p;
        if (p < stop && (bytes[p] == '+' || bytes[p] == '-')) ++p;
        if (!digits()) return {false, p, 0};
    }
    return {true, p, marker};
}

// Moves pos to the first bareword delimiter (or `end`) and returns the span it
// passed, possibly empty.
inline std::string_view scan_bareword(Lexer& lexer) {
    const std::size_t start = lexer.pos;
    std::size_t i = start;
    while (i < lexer.end && !ends_word(lexer.data, i, lexer.end)) ++i;
    lexer.pos = i;
    return {reinterpret_cast<const char*>(lexer.data + start), i - start};
}

// What a search of a whole text that found no bracket learned, for searches
// that start later in the same text (the report reads value after value).
// A search started where this one was outside every quoted stretch and
// comment reads on exactly as this one did, so it finds no bracket either;
// without this, each value of a text of scalars would search to its end.
struct ProseMemo {
    const std::uint8_t* text = nullptr;  // the text the positions count from
    std::size_t from = 0;                // where the search that found nothing started
    std::size_t until = 0;               // and where its text ended
    bool known = false;                  // a search has found nothing
    // The quoted stretches and comments it passed over, in order: inside
    // (open, close) the search was not reading prose.
    std::vector<std::pair<std::size_t, std::size_t>> skipped;
    std::vector<std::pair<std::size_t, std::size_t>> recording;

    // Whether a search of `data[0, end)` (inside `text`) starting at `at`, a
    // byte that is not an apostrophe, is known to find nothing.
    bool finds_nothing(const std::uint8_t* data, std::size_t at, std::size_t end) const;
    // The search of `data[0, end)` from `start` has found nothing.
    void remember(const std::uint8_t* data, std::size_t start, std::size_t end);
};

// The search for the first '{' or '[' that stands outside quoted text and
// comments, so that prose in front of the JSON is never parsed. Kept between
// calls while input arrives.
struct ProseScan {
    bool leading = true;     // still skipping whitespace and comments before the prose
    std::size_t start = 0;   // the first significant byte: parsing starts here without a bracket
    std::size_t at = 0;
    std::uint8_t quote = 0;  // the quote of the quoted stretch `at` is in, or 0
    ProseMemo* memo = nullptr;  // whole texts only: consulted first, and filled when nothing is found
    template <class F>
    void each_position(F&& f) {
        f(start);
        f(at);
    }
};
enum class SeekResult : std::uint8_t { Found, NotFound, Paused };
// Found: lexer.pos is on the bracket. NotFound (only when `final`): lexer.pos
// is on the first significant byte. Paused: `pause` says what is awaited.
// Built for FastScan and ScalarScan (the reference engine's).
template <class Scan = FastScan>
SeekResult seek_container_start(Lexer& lexer, bool final, ProseScan& scan, Pause& pause);

}  // namespace corvane
