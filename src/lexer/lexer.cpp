#include "lexer/lexer.hpp"

namespace corvane {

namespace {

bool is_backquote_triple(const std::uint8_t* at) {
    return at[0] == '`' && at[1] == '`' && at[2] == '`';
}

bool is_line_break(std::uint8_t byte) { return byte == '\n' || byte == '\r'; }

}  // namespace

Lexer::Lexer(const char* input, std::size_t input_length)
    : data(reinterpret_cast<const std::uint8_t*>(input)), length(input_length), pos(0), end(0) {
    // Only one mark, and only at the very first byte.
    if (length >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
        data += 3;
        length -= 3;
    }
    while (pos < length && is_whitespace(data[pos])) ++pos;

    // An opening fence swallows the rest of its line (the language tag) and
    // the line breaks after it. A fence line without a line break runs to the
    // end, so nothing after it is significant.
    if (length - pos >= 3 && is_backquote_triple(data + pos)) {
        pos += 3;
        while (pos < length && !is_line_break(data[pos])) ++pos;
        while (pos < length && is_line_break(data[pos])) ++pos;
    }

    end = length;
    if (pos < length) {
        while (end > pos && is_whitespace(data[end - 1])) --end;
    }
    // A closing fence is removed only when it is the last text of the input.
    if (end - pos >= 3 && is_backquote_triple(data + end - 3)) {
        end -= 3;
        while (end > pos && is_whitespace(data[end - 1])) --end;
    }
}

bool skip_comment(const std::uint8_t* data, std::size_t p, std::size_t end, std::size_t& after) {
    after = p;
    if (p + 1 >= end || data[p] != '/') return false;
    const std::uint8_t kind = data[p + 1];
    if (kind == '/') {
        std::size_t i = p + 2;
        while (i < end && data[i] != '\n' && data[i] != '\r') ++i;
        after = i;
        return true;
    }
    if (kind != '*') return false;
    after = end;
    if (p + 3 >= end) return true;
    // The opener's '*' is at p + 1, so the search for "*/" begins at p + 2:
    // "/*/" does not close itself.
    for (std::size_t j = p + 2; j + 1 < end; ++j) {
        if (data[j] == '*' && data[j + 1] == '/') {
            after = j + 2;
            return true;
        }
    }
    return true;
}


void seek_container_start(Lexer& lexer) {
    skip_whitespace_and_comments(lexer);
    const std::size_t start = lexer.pos;
    const std::size_t end = lexer.end;
    const std::uint8_t* data = lexer.data;

    std::size_t i = start;
    while (i < end) {
        const std::uint8_t byte = data[i];
        if (byte == '{' || byte == '[') {
            lexer.pos = i;
            return;
        }
        if (byte == '"' || byte == '\'') {
            // An apostrophe inside a word (don't, 5'6) is prose, not a quote.
            const bool inside_word = byte == '\'' && i > start && i + 1 < end &&
                                     is_ascii_alnum(data[i - 1]) && is_ascii_alnum(data[i + 1]);
            if (inside_word) {
                ++i;
                continue;
            }
            // Skip the quoted stretch; brackets and comment openers in it mean nothing.
            ++i;
            while (i < end) {
                const std::uint8_t inner = data[i];
                if (inner == '\\') {
                    i = (end - i >= 2) ? i + 2 : end;
                } else if (inner == byte) {
                    ++i;
                    break;
                } else {
                    ++i;
                }
            }
            continue;
        }
        std::size_t after;
        if (byte == '/' && skip_comment(data, i, end, after)) {
            i = after;
            continue;
        }
        ++i;
    }
    // No bracket outside quotes and comments: parse from the first significant byte.
}

}  // namespace corvane
