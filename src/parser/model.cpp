#include "parser/model.hpp"

#include <algorithm>
#include <cstring>

#include "lexer/lexer.hpp"
#include "platform/platform.hpp"

namespace corvane::model {

namespace {

// “ ” ‘ ’ are E2 80 9C, 9D, 98, 99 in UTF-8.
constexpr std::uint8_t LEFT_DOUBLE = 0x9C;
constexpr std::uint8_t RIGHT_DOUBLE = 0x9D;
constexpr std::uint8_t LEFT_SINGLE = 0x98;
constexpr std::uint8_t RIGHT_SINGLE = 0x99;

// The last byte of the curly quote at p, or 0.
std::uint8_t curly_at(const std::uint8_t* data, std::size_t p, std::size_t end) {
    if (p + 3 > end || data[p] != 0xE2 || data[p + 1] != 0x80) return 0;
    const std::uint8_t last = data[p + 2];
    return last >= LEFT_SINGLE && last <= RIGHT_DOUBLE ? last : 0;
}

std::size_t fullwidth(const std::uint8_t* data, std::size_t p, std::size_t end, std::uint8_t last) {
    return p + 3 <= end && data[p] == 0xEF && data[p + 1] == 0xBC && data[p + 2] == last ? 3 : 0;
}

bool is_line_break(std::uint8_t byte) { return byte == '\n' || byte == '\r'; }

// Whitespace, '//' and '/* */' comments and '#' line comments from p. `open`
// when a comment (or a '/' that may open one) runs into `end`.
std::size_t skip_gap(const std::uint8_t* data, std::size_t p, std::size_t end, bool& open) {
    open = false;
    while (p < end) {
        if (is_whitespace(data[p])) {
            ++p;
        } else if (data[p] == '#') {
            p = skip_hash_comment(data, p, end, open);
            if (open) return p;
        } else if (data[p] == '/') {
            std::size_t after;
            const CommentScan comment = skip_comment(data, p, end, after);
            if (comment == CommentScan::None) return p;
            if (comment == CommentScan::Unfinished) {
                open = true;
                return after;
            }
            p = after;
        } else {
            return p;
        }
    }
    return p;
}

bool is_keyword(std::string_view word) {
    for (const std::string_view keyword : {"true", "false", "null", "none", "undefined"}) {
        if (word.size() != keyword.size()) continue;
        if (word.substr(1) != keyword.substr(1)) continue;
        if (word[0] == keyword[0] || word[0] == keyword[0] - ('a' - 'A')) return true;
    }
    return false;
}

// Where the word of an unquoted value at p ends. Inside a value a ':' not
// followed by a space (https://x, 12:30) and an apostrophe between letters
// (don't) belong to the word; '#' after a space opens a comment, inside a
// word it is content (C#). `wait` when the end of the input so far decides.
std::size_t value_word_end(const std::uint8_t* data, std::size_t p, std::size_t end, bool final, bool& wait) {
    for (std::size_t i = p; i < end; ++i) {
        const std::uint8_t byte = data[i];
        if (byte >= 0x80) {
            if (i > p && (fullwidth_comma(data, i, end) || fullwidth_colon(data, i, end) || curly_at(data, i, end))) {
                return i;
            }
            continue;
        }
        switch (byte) {
            case ':':
                if (i + 1 >= end) {
                    wait = wait || !final;
                    return i;
                }
                if (is_whitespace(data[i + 1]) || data[i + 1] == ',') return i;
                // A scheme's "://" is the word's, not a comment.
                if (i + 2 < end && data[i + 1] == '/' && data[i + 2] == '/') i += 2;
                continue;
            case '\'':
                if (i + 1 >= end && !final) wait = true;
                if (i > p && i + 1 < end && is_ascii_alnum(data[i - 1]) && is_ascii_alnum(data[i + 1])) continue;
                return i;
            case '(':
            case ')':
            case '`':
                return i;
            default:
                break;
        }
        if (byte == '/' && i + 1 >= end && !final) wait = true;
        if (ends_word(data, i, end)) return i;
    }
    wait = wait || !final;
    return end;
}

}  // namespace

Quote opening_quote(const std::uint8_t* data, std::size_t p, std::size_t end) {
    const std::uint8_t byte = data[p];
    if (byte == '"' || byte == '\'' || byte == '`') return {byte, 1};
    const std::uint8_t curly = curly_at(data, p, end);
    if (curly == LEFT_DOUBLE) return {CURLY_DOUBLE, 3};
    if (curly == LEFT_SINGLE) return {CURLY_SINGLE, 3};
    return {0, 0};
}

std::size_t closing_quote(std::uint8_t kind, const std::uint8_t* data, std::size_t p, std::size_t end) {
    if (!is_curly(kind)) return p < end && data[p] == kind ? 1 : 0;
    return curly_at(data, p, end) == (kind == CURLY_DOUBLE ? RIGHT_DOUBLE : RIGHT_SINGLE) ? 3 : 0;
}

std::size_t fullwidth_comma(const std::uint8_t* data, std::size_t p, std::size_t end) {
    return fullwidth(data, p, end, 0x8C);
}
std::size_t fullwidth_colon(const std::uint8_t* data, std::size_t p, std::size_t end) {
    return fullwidth(data, p, end, 0x9A);
}

std::size_t string_prefix(const std::uint8_t* data, std::size_t p, std::size_t end) {
    auto is_prefix_letter = [](std::uint8_t byte) {
        switch (byte | 0x20) {
            case 'b':
            case 'r':
            case 'u':
            case 'f':
                return true;
            default:
                return false;
        }
    };
    for (std::size_t n = 1; n <= 2 && p + n < end; ++n) {
        if (!is_prefix_letter(data[p + n - 1])) return 0;
        if (data[p + n] == '"' || data[p + n] == '\'') return n;
    }
    return 0;
}

std::size_t skip_hash_comment(const std::uint8_t* data, std::size_t p, std::size_t end, bool& open) {
    std::size_t i = p + 1;
    while (i < end && !is_line_break(data[i])) ++i;
    open = i >= end;
    return i;
}

std::size_t key_word_end(const std::uint8_t* data, std::size_t p, std::size_t end) {
    std::size_t i = p;
    while (i < end && !ends_word(data, i, end) &&
           (i == p || (!fullwidth_colon(data, i, end) && !fullwidth_comma(data, i, end) && !curly_at(data, i, end)))) {
        ++i;
    }
    return i;
}

Run scan_value_run(const std::uint8_t* data, std::size_t p, std::size_t end, bool final, RunScan& scan) {
    bool wait = false;
    std::size_t first_end;
    std::size_t run_end;
    bool all_simple;
    bool words;
    if (scan.valid && scan.at == p) {
        // Where the last look at this run stopped: the words before are settled.
        first_end = scan.first_end;
        run_end = scan.run_end;
        all_simple = scan.simple;
        words = scan.words;
    } else {
        first_end = value_word_end(data, p, end, final, wait);
        if (wait) return {end, false, true};
        if (first_end == p) ++first_end;  // a lone byte no word takes: a value of its own
        run_end = first_end;
        all_simple = is_keyword({reinterpret_cast<const char*>(data + p), first_end - p}) ||
                     has_class(data[p], byte_class::NUMBER_START);
        words = false;
    }
    // One space, then a word: the run goes on unless that word is a key.
    while (run_end + 1 < end && data[run_end] == ' ') {
        const std::size_t next = run_end + 1;
        const std::uint8_t byte = data[next];
        // Any word goes on the run (Home & Garden); not what ends or opens something.
        if (is_whitespace(byte) || byte == '#' || byte == ':' || opening_quote(data, next, end).kind != 0) break;
        if (byte < 0x80 && byte != '/' && has_class(byte, byte_class::DELIMITER)) break;
        if (byte == '(' || byte == ')' || ends_word(data, next, end)) break;
        if (fullwidth_comma(data, next, end) || fullwidth_colon(data, next, end) || curly_at(data, next, end)) break;
        const std::size_t next_end = value_word_end(data, next, end, final, wait);
        if (wait) break;
        bool open;
        const std::size_t after = skip_gap(data, next_end, end, open);
        if ((open || after >= end) && !final) {
            wait = true;
            break;
        }
        if (after < end && (data[after] == ':' || fullwidth_colon(data, after, end))) break;
        all_simple = all_simple && (is_keyword({reinterpret_cast<const char*>(data + next), next_end - next}) ||
                                    has_class(byte, byte_class::NUMBER_START));
        words = true;
        run_end = next_end;
    }
    // A single space at the end of the input so far may be followed by a word.
    if (!final && (run_end >= end || (data[run_end] == ' ' && run_end + 1 >= end))) wait = true;
    scan = {wait, p, first_end, run_end, all_simple, words};
    if (words && all_simple) return {first_end, false, wait};
    return {run_end, words, wait};
}

namespace {

// Where the string opened by `quote` at p ends (past its closing quote),
// backslashes passing over the byte after them; `end` when it does not close.
// A string that closes exactly at `end` reads as open too: what follows it
// decides both callers, and nothing follows yet.
std::size_t quoted_end(const Quote& quote, const std::uint8_t* data, std::size_t p, std::size_t end) {
    for (std::size_t i = p + quote.length; i < end; ++i) {
        if (data[i] == '\\') {
            ++i;
            continue;
        }
        if (const std::size_t length = closing_quote(quote.kind, data, i, end)) return i + length;
    }
    return end;
}

}  // namespace

Verdict brace_is_set(const std::uint8_t* data, std::size_t p, std::size_t end, bool final) {
    const Verdict unknown = final ? Verdict::No : Verdict::Wait;
    bool open;
    std::size_t i = skip_gap(data, p + 1, end, open);
    if (open || i >= end) return unknown;
    const Quote quote = opening_quote(data, i, end);
    if (quote.kind != 0) {
        i = quoted_end(quote, data, i, end);
        if (i >= end) return unknown;
    } else if (has_class(data[i], byte_class::NUMBER_START) || has_class(data[i], byte_class::WORD_START)) {
        // Read as a key would be ({a:1} is an object), not as a value (12:30).
        i = key_word_end(data, i, end);
        if (i >= end) return unknown;
    } else {
        return Verdict::No;  // an empty object, or a member that is itself a container
    }
    i = skip_gap(data, i, end, open);
    if (open || i >= end) return unknown;
    return data[i] == ',' || data[i] == '}' || fullwidth_comma(data, i, end) ? Verdict::Yes : Verdict::No;
}

namespace {

// Whether a key (a quoted string or a word, then ':') begins at p.
Verdict key_at(const std::uint8_t* data, std::size_t p, std::size_t end, bool final) {
    const Verdict unknown = final ? Verdict::No : Verdict::Wait;
    const Quote quote = opening_quote(data, p, end);
    std::size_t i = p;
    if (quote.kind != 0) {
        i = quoted_end(quote, data, p, end);
        if (i >= end) return unknown;
    } else if (is_key_start(data[p]) && !fullwidth_comma(data, p, end) && !fullwidth_colon(data, p, end)) {
        i = key_word_end(data, p, end);
        if (i >= end) return unknown;
    } else {
        return Verdict::No;
    }
    bool open;
    i = skip_gap(data, i, end, open);
    if (open || i >= end) return unknown;
    return data[i] == ':' || fullwidth_colon(data, i, end) ? Verdict::Yes : Verdict::No;
}

bool is_closer(std::uint8_t byte) { return byte == '}' || byte == ']' || byte == ')'; }

QuoteMeaning from_key(Verdict key) {
    switch (key) {
        case Verdict::Yes: return QuoteMeaning::CloseIfPaired;
        case Verdict::No: return QuoteMeaning::Content;
        case Verdict::Wait: break;
    }
    return QuoteMeaning::Wait;
}

}  // namespace

QuoteMeaning judge_quote(const std::uint8_t* data, std::size_t q, std::size_t after, std::size_t end, bool final,
                         bool in_object, std::uint8_t kind) {
    (void)q;
    const QuoteMeaning at_end = final ? QuoteMeaning::Close : QuoteMeaning::Wait;
    bool open;
    std::size_t p = skip_gap(data, after, end, open);
    if (open || p >= end) return at_end;
    const bool spaced = p > after;
    const std::uint8_t byte = data[p];
    if (byte == ',' || fullwidth_comma(data, p, end)) {
        std::size_t next = skip_gap(data, p + (byte == ',' ? 1 : 3), end, open);
        if (open || next >= end) return at_end;
        // A trailing or doubled comma: the container goes on all the same.
        if (is_closer(data[next]) || data[next] == ',' || fullwidth_comma(data, next, end)) return QuoteMeaning::Close;
        if (in_object) return from_key(key_at(data, next, end, final));
        const std::uint8_t first = data[next];
        const bool value = opening_quote(data, next, end).kind != 0 || first == '[' || first == '{' || first == '(' ||
                           (has_class(first, byte_class::VALUE_START) && !fullwidth_colon(data, next, end));
        return value ? QuoteMeaning::CloseIfPaired : QuoteMeaning::Content;
    }
    if (byte == '}' || byte == ']' || (byte == ')' && !in_object)) {
        // The container closes, unless the same quote follows at once
        // ("token "}" at"): then the bracket is the string's content.
        if (p + 1 >= end) return at_end;
        return closing_quote(kind, data, p + 1, end) || data[p + 1] == stop_byte(kind) ? QuoteMeaning::Content
                                                                                        : QuoteMeaning::Close;
    }
    if (!spaced) return QuoteMeaning::Content;
    // After whitespace, a comma left out: the next key, or the next element.
    if (in_object) return from_key(key_at(data, p, end, final));
    if (opening_quote(data, p, end).kind != 0 || byte == '[' || byte == '{') return QuoteMeaning::CloseIfPaired;
    return QuoteMeaning::Content;
}

bool stretch_holds(const std::uint8_t* data, std::size_t from, std::size_t stop, std::size_t end, bool final,
                   bool in_object) {
    bool value_end = false;  // the last significant byte ended a value
    std::uint8_t last = 0;   // the last significant byte outside strings
    std::size_t last_quote = 0;
    for (std::size_t i = from; i < stop;) {
        const std::uint8_t byte = data[i];
        if (is_whitespace(byte)) {
            i = FastScan::skip_whitespace_run(data, i + 1, stop);
            continue;
        }
        if (byte == '"') {
            if (value_end) return false;
            // The stretch read it as strict: it ends at the next quote with
            // an even run of backslashes before it.
            std::size_t close = i + 1;
            for (;;) {
                const void* found = std::memchr(data + close, '"', stop - close);
                if (found == nullptr) return false;
                close = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - data);
                std::size_t backslashes = 0;
                while (data[close - 1 - backslashes] == '\\') ++backslashes;
                if (backslashes % 2 == 0) break;
                ++close;
            }
            last_quote = close;
            value_end = true;
            last = '"';
            i = close + 1;
            continue;
        }
        if (byte >= 0x80) return false;  // only inside an unquoted key, outside strings
        if (has_class(byte, byte_class::NUMBER_START) || has_class(byte, byte_class::WORD_START)) {
            if (value_end) return false;
            while (i < stop && (has_class(data[i], byte_class::NUMBER_START) || has_class(data[i], byte_class::WORD_START))) {
                if (data[i] >= 0x80) return false;
                ++i;
            }
            value_end = true;
            last = data[i - 1];
            continue;
        }
        if ((byte == '[' || byte == '{') && value_end) return false;
        value_end = byte == ']' || byte == '}';
        last = byte;
        ++i;
    }
    if (stop >= end) return final || (!value_end && last != '{' && last != ',');
    if (last == '{') return false;
    // A number or word the stretch ended may go on over a space (rule 6).
    const bool scalar_end = value_end && last != '"' && last != ']' && last != '}';
    if (scalar_end && data[stop] != ',' && data[stop] != ']' && data[stop] != '}') return false;
    std::size_t after = stop;
    while (after < end && is_whitespace(data[after])) ++after;
    if (after >= end) return final || !value_end;
    const std::uint8_t next = data[after];
    if (value_end && (next == '"' || next == '[' || next == '{' || has_class(next, byte_class::VALUE_START))) {
        return false;
    }
    // A string just before where the stretch stopped: rule 7 judges its end
    // by what follows (a ',' and then no key, a stray byte, ...).
    if (last == '"') {
        const QuoteMeaning meaning = judge_quote(data, last_quote, last_quote + 1, end, final, in_object, '"');
        return meaning == QuoteMeaning::Close || meaning == QuoteMeaning::CloseIfPaired;
    }
    return true;
}

namespace {

// The reasoning tags, lower case, without their '<' and '>'.
constexpr std::string_view REASONING_TAGS[] = {"think", "thinking", "reasoning"};

// The tag name at p (after '<' or '</'), any case, with its '>': its length
// up to and including '>', 0 when none, or `wait` when the input so far is
// a prefix of one.
std::size_t tag_at(const std::uint8_t* data, std::size_t p, std::size_t end, bool final, bool& wait) {
    for (const std::string_view tag : REASONING_TAGS) {
        std::size_t i = 0;
        while (i < tag.size() && p + i < end && (data[p + i] | 0x20) == static_cast<std::uint8_t>(tag[i])) ++i;
        if (i < tag.size()) {
            if (p + i >= end && !final) wait = true;
            continue;
        }
        if (p + i >= end) {
            if (!final) wait = true;
            continue;
        }
        if (data[p + i] == '>') return i + 1;
    }
    return 0;
}

bool is_backquote_triple(const std::uint8_t* data, std::size_t p, std::size_t end) {
    return p + 3 <= end && data[p] == '`' && data[p + 1] == '`' && data[p + 2] == '`';
}

}  // namespace

Start start_at(std::size_t from, bool fenced) {
    Start start;
    start.pos = start.search = from;
    if (fenced) {
        start.phase = Start::Phase::Done;
        start.fenced = true;
        start.fence_at = from;
    }
    return start;
}

bool scan_start(const std::uint8_t* data, std::size_t end, bool final, Start& s) {
    while (s.phase == Start::Phase::Blocks) {
        std::size_t p = s.pos;
        while (p < end && is_whitespace(data[p])) ++p;
        if (p >= end) {
            if (!final) return false;
            s.phase = Start::Phase::Done;
            return true;
        }
        bool wait = false;
        const std::size_t open_tag = data[p] == '<' ? tag_at(data, p + 1, end, final, wait) : 0;
        if (open_tag == 0) {
            if (wait) return false;
            s.phase = Start::Phase::Prose;
            s.pos = s.search = p;
            break;
        }
        // A block is skipped to its closing tag (any of the three names);
        // one that never closes holds the rest of the text.
        std::size_t i = std::max(s.search, p + 1 + open_tag);
        std::size_t close_tag = 0;
        for (; i < end; ++i) {
            if (data[i] != '<') continue;
            if (i + 1 >= end) break;
            if (data[i + 1] != '/') continue;
            bool partial = false;
            close_tag = tag_at(data, i + 2, end, final, partial);
            if (close_tag != 0 || partial) break;
        }
        if (close_tag == 0) {
            if (!final) {
                s.search = i;  // a '<' that may begin the closing tag, or the end
                s.pos = p;
                return false;
            }
            s.pos = s.search = end;
            s.phase = Start::Phase::Done;
            return true;
        }
        s.pos = s.search = i + 2 + close_tag;
    }
    if (s.phase == Start::Phase::Prose) {
        const std::size_t p = s.pos;
        if (p < end && data[p] == '`' && !final && end - p < 3) return false;
        // A fence right after the reasoning: its body is the value.
        if (is_backquote_triple(data, p, end)) {
            std::size_t i = p + 3;
            while (i < end && !is_line_break(data[i])) ++i;
            while (i < end && is_whitespace(data[i])) ++i;
            if (i >= end && !final) return false;
            s.pos = s.fence_at = i;
            s.fenced = true;
            s.phase = Start::Phase::Done;
            return true;
        }
        // Text that is itself a value (or starts one) has no prose in front.
        const std::uint8_t first = data[p];
        if (first == '{' || first == '[' || first == '"' || first == '-' || (first >= '0' && first <= '9')) {
            s.phase = Start::Phase::Done;
            return true;
        }
        // Prose: a fence whose body begins with a bracket is read in
        // preference to any bracket in the prose before it.
        for (std::size_t i = s.search; i < end; ++i) {
            if (!is_backquote_triple(data, i, end)) {
                if (data[i] == '`' && !final && end - i < 3) {
                    s.search = i;
                    return false;
                }
                continue;
            }
            std::size_t body = i + 3;
            while (body < end && !is_line_break(data[body])) ++body;
            while (body < end && is_whitespace(data[body])) ++body;
            if (body >= end) {
                if (!final) {
                    s.search = i;
                    return false;
                }
                break;
            }
            if (data[body] == '{' || data[body] == '[') {
                s.pos = s.fence_at = body;
                s.fenced = true;
                s.phase = Start::Phase::Done;
                return true;
            }
            i = body - 1;
        }
        if (!final) {
            s.search = std::max(s.search, end);
            return false;
        }
        s.phase = Start::Phase::Done;
    }
    return true;
}

bool find_closing_fence(const std::uint8_t* data, std::size_t end, Start& s, std::size_t& value_end) {
    if (!s.fence_closed) {
        std::size_t i = s.fence_at;
        while (i < end && !is_backquote_triple(data, i, end)) ++i;
        if (i >= end) {
            // Backquotes at the end of what has arrived may begin the fence.
            s.fence_at = std::max(s.fence_at, end >= 2 ? end - 2 : 0);
            return false;
        }
        s.fence_at = i;
        s.fence_closed = true;
    }
    std::size_t stop = s.fence_at;
    while (stop > s.pos && is_whitespace(data[stop - 1])) --stop;
    value_end = stop;
    return true;
}

}  // namespace corvane::model
