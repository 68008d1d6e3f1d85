// The model profile's reading of the input: what it looks at before it
// decides, and never writes. Where the value begins (reasoning blocks,
// fences), how far an unquoted value runs, whether a brace holds a set,
// and whether a quote inside a string ends it. The pass (pass.cpp) calls
// these from its steps under ModelRules and writes what they decide.
//
// Every look-ahead here stops at `end`; when it needs a byte at or past it
// and more input may follow (`final` false), it says so rather than guess,
// and the stream waits for more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvane::model {

// The kinds of string quote: the straight ones are their own byte; the curly
// ones open with U+201C or U+2018 and close with U+201D or U+2019.
inline constexpr std::uint8_t CURLY_DOUBLE = 1;
inline constexpr std::uint8_t CURLY_SINGLE = 2;
inline constexpr bool is_curly(std::uint8_t kind) { return kind == CURLY_DOUBLE || kind == CURLY_SINGLE; }
// The byte the string copier stops at for a quote kind: the lead byte 0xE2
// of every curly quote, which the step then checks whole.
inline constexpr std::uint8_t stop_byte(std::uint8_t kind) { return is_curly(kind) ? 0xE2 : kind; }

struct Quote {
    std::uint8_t kind;    // 0: no quote opens here
    std::uint8_t length;  // its bytes in the input
};
// The quote that opens a string at `p`: ", ', `, “ or ‘.
Quote opening_quote(const std::uint8_t* data, std::size_t p, std::size_t end);
// The length of the closing quote of `kind` at `p` (0 when there is none).
std::size_t closing_quote(std::uint8_t kind, const std::uint8_t* data, std::size_t p, std::size_t end);

// Full-width punctuation of CJK text, read as ',' and ':' outside strings:
// the length of the one at `p` (3), or 0.
std::size_t fullwidth_comma(const std::uint8_t* data, std::size_t p, std::size_t end);
std::size_t fullwidth_colon(const std::uint8_t* data, std::size_t p, std::size_t end);

// The letters of a Python string prefix (b, r, u, f, two at most) directly
// before a straight quote at `p`: their count, or 0.
std::size_t string_prefix(const std::uint8_t* data, std::size_t p, std::size_t end);

// Where a `#` line comment at `p` ends (before its line break), or `end`
// with `open` set when no line break has come.
std::size_t skip_hash_comment(const std::uint8_t* data, std::size_t p, std::size_t end, bool& open);

// What a look-ahead concluded.
enum class Verdict : std::uint8_t { No, Yes, Wait };

// An unquoted value (rule 6): it runs over single spaces to the next ',',
// '}', ']', ')' or line end, and stops before a word that is followed by ':'
// (the next key). A run of several words that are all numbers or keywords
// ([1 2 3], [True False]) is not joined: only its first word is the value.
struct Run {
    std::size_t end;  // where the value's text ends
    bool words;       // several words: the value is a string of the whole run
    bool wait;        // the input so far cannot say where it ends
};
// What a stream keeps of a run it waits on, so that each word of it is
// read once however the run arrives.
// Left uninitialised: the default rules never touch it (their repair pays
// nothing for it), the profile's entries set `valid` false.
struct RunScan {
    bool valid;
    std::size_t at;
    std::size_t first_end;
    std::size_t run_end;
    bool simple;
    bool words;
    template <class F>
    void each_position(F&& f) {
        f(at);
        f(first_end);
        f(run_end);
    }
};
Run scan_value_run(const std::uint8_t* data, std::size_t p, std::size_t end, bool final, RunScan& scan);

// An unquoted key ends where a word ends, and at full-width punctuation and
// curly quotes too.
std::size_t key_word_end(const std::uint8_t* data, std::size_t p, std::size_t end);

// Whether the brace at `p` holds a set (its first member has no ':' after
// it): Yes for a set, No for an object.
Verdict brace_is_set(const std::uint8_t* data, std::size_t p, std::size_t end, bool final);

// What a quote of the string's own kind, at [q, after), means in an object
// value or an array element (rule 7).
enum class QuoteMeaning : std::uint8_t {
    Content,        // an inner quote: JSON cannot go on after it
    Close,          // the end of the string
    CloseIfPaired,  // the end, unless the inner quotes before it are unpaired (two readings)
    Wait,           // the input so far cannot say
};
QuoteMeaning judge_quote(const std::uint8_t* data, std::size_t q, std::size_t after, std::size_t end, bool final,
                         bool in_object, std::uint8_t kind);

// Whether what the strict stretch read in data[from, stop) (and committed
// at `stop`) is what the profile reads too. It is not where the stretch
// wrote a comma between two values (the profile may join them, or read a
// quote as content), took an unquoted key with bytes of 0x80 and above
// (curly quotes, full-width colons), committed inside a brace (it may be a
// set), or closed a string before a ',' that rule 7 would not close at.
// `in_object`: the container open at `stop` is an object.
bool stretch_holds(const std::uint8_t* data, std::size_t from, std::size_t stop, std::size_t end, bool final,
                   bool in_object);

// Where the value's text begins (rules 1 and 2): after reasoning blocks, in
// a fence's body when prose stands in front of one. Kept between calls while
// input arrives.
struct Start {
    enum class Phase : std::uint8_t { Blocks, Prose, Done };
    Phase phase = Phase::Blocks;
    std::size_t pos = 0;     // the first byte not yet passed; the value's start once Done
    std::size_t search = 0;  // where the current search goes on
    bool fenced = false;     // the value is a fence's body: it ends at the closing fence
    bool fence_closed = false;
    std::size_t fence_at = 0;  // the closing fence, once found; before that, where its search goes on
    template <class F>
    void each_position(F&& f) {
        f(pos);
        f(search);
        f(fence_at);
    }
};
// Starts at `from`; `fenced` when the text opened with a fence already
// skipped (its body is the value). True once the start is known.
Start start_at(std::size_t from, bool fenced);
bool scan_start(const std::uint8_t* data, std::size_t end, bool final, Start& start);
// For a fenced value: looks for the closing fence in data[.., end). True
// once found; `value_end` is then where the value's text ends.
bool find_closing_fence(const std::uint8_t* data, std::size_t end, Start& start, std::size_t& value_end);

}  // namespace corvane::model
