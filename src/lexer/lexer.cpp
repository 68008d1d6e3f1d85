#include "lexer/lexer.hpp"

#include <algorithm>
#include <iterator>

namespace corvane {

namespace {

bool is_backquote_triple(const std::uint8_t* at) {
    return at[0] == '`' && at[1] == '`' && at[2] == '`';
}

bool is_line_break(std::uint8_t byte) { return byte == '\n' || byte == '\r'; }

constexpr std::uint8_t BYTE_ORDER_MARK[] = {0xEF, 0xBB, 0xBF};

// The first `length` bytes (three at most) are those of a byte-order mark.
bool matches_mark(const std::uint8_t* data, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (data[i] != BYTE_ORDER_MARK[i]) return false;
    }
    return true;
}

// Fewer than three bytes that are all backquotes: the start of a fence, or not.
bool may_open_fence(const std::uint8_t* data, std::size_t pos, std::size_t length) {
    for (std::size_t i = pos; i < length; ++i) {
        if (data[i] != '`') return false;
    }
    return true;
}

}  // namespace

Lexer::Lexer(const char* input, std::size_t input_length)
    : data(reinterpret_cast<const std::uint8_t*>(input)), length(input_length), pos(0), end(0) {
    StartScan start;
    scan_start(data, length, true, start);
    pos = start.pos;
    end = significant_end(data, pos, length);
}

bool scan_start(const std::uint8_t* data, std::size_t length, bool final, StartScan& scan) {
    using Phase = StartScan::Phase;
    std::size_t& pos = scan.pos;
    // Skips the bytes that `belongs` takes; false when the run reaches the
    // end of what has arrived, so that more of it may follow.
    auto skip_run = [&](auto belongs) {
        while (pos < length && belongs(data[pos])) ++pos;
        return pos < length || final;
    };
    switch (scan.phase) {
        case Phase::Mark:
            // Only one mark, and only at the very first byte. Decided as soon
            // as a byte differs from it: `{}` alone is complete at once.
            if (length < 3 && !final && matches_mark(data, length)) return false;
            if (length >= 3 && matches_mark(data, 3)) pos = 3;
            scan.phase = Phase::Space;
            [[fallthrough]];
        case Phase::Space:
            if (!skip_run([](std::uint8_t byte) { return is_whitespace(byte); })) return false;
            scan.phase = Phase::Fence;
            [[fallthrough]];
        case Phase::Fence:
            if (length - pos < 3) {
                if (!final && may_open_fence(data, pos, length)) return false;
                scan.phase = Phase::Done;
                return true;
            }
            if (!is_backquote_triple(data + pos)) {
                scan.phase = Phase::Done;
                return true;
            }
            // An opening fence swallows the rest of its line (the language
            // tag) and the line breaks after it. A fence line without a line
            // break runs to the end, so nothing after it is significant.
            pos += 3;
            scan.fenced = true;
            scan.phase = Phase::FenceLine;
            [[fallthrough]];
        case Phase::FenceLine:
            if (!skip_run([](std::uint8_t byte) { return !is_line_break(byte); })) return false;
            scan.phase = Phase::FenceBreaks;
            [[fallthrough]];
        case Phase::FenceBreaks:
            if (!skip_run([](std::uint8_t byte) { return is_line_break(byte); })) return false;
            scan.phase = Phase::Done;
            [[fallthrough]];
        case Phase::Done:
            return true;
    }
    return true;
}

std::size_t significant_end(const std::uint8_t* data, std::size_t start, std::size_t length) {
    std::size_t end = length;
    if (start < length) {
        while (end > start && is_whitespace(data[end - 1])) --end;
    }
    // A closing fence is removed only when it is the last text of the input.
    if (end - start >= 3 && is_backquote_triple(data + end - 3)) {
        end -= 3;
        while (end > start && is_whitespace(data[end - 1])) --end;
    }
    return end;
}

CommentScan skip_comment(const std::uint8_t* data, std::size_t p, std::size_t end, std::size_t& after) {
    after = p;
    if (data[p] != '/') return CommentScan::None;
    if (p + 1 >= end) return CommentScan::Unfinished;
    const std::uint8_t kind = data[p + 1];
    if (kind == '/') {
        std::size_t i = p + 2;
        while (i < end && !is_line_break(data[i])) ++i;
        after = i;
        return i < end ? CommentScan::Closed : CommentScan::Unfinished;
    }
    if (kind != '*') return CommentScan::None;
    // The opener's '*' is at p + 1, so the search for "*/" begins at p + 2:
    // "/*/" does not close itself.
    for (std::size_t j = p + 2; j + 1 < end; ++j) {
        if (data[j] == '*' && data[j + 1] == '/') {
            after = j + 2;
            return CommentScan::Closed;
        }
    }
    after = end;
    return CommentScan::Unfinished;
}

template <class Scan>
SeekResult seek_container_start(Lexer& lexer, bool final, ProseScan& scan, Pause& pause) {
    const std::uint8_t* data = lexer.data;
    const std::size_t end = lexer.end;
    if (scan.leading) {
        if (!skip_whitespace_and_comments<Scan>(lexer, final)) {
            pause = {Need::Comment, lexer.pos};
            return SeekResult::Paused;
        }
        if (lexer.at_end() && !final) {
            pause = {Need::Byte, lexer.pos};
            return SeekResult::Paused;
        }
        scan.leading = false;
        scan.start = scan.at = lexer.pos;
    }
    const std::size_t start = scan.start;
    ProseMemo* const memo = scan.memo;
    if (memo != nullptr) {
        if (start < end && data[start] != '\'' && memo->finds_nothing(data, start, end)) {
            lexer.pos = start;
            return SeekResult::NotFound;
        }
        memo->recording.clear();
    }
    std::size_t opened = 0;  // where the quoted stretch being read began
    // The scan's position and quote live in locals while it runs (a store
    // per byte through `scan` would be the loop's bottleneck), and are kept
    // in `scan` whenever it stops.
    std::size_t i = scan.at;
    std::uint8_t quote = scan.quote;
    auto keep = [&] {
        scan.at = i;
        scan.quote = quote;
    };
    for (;;) {
        const bool quoted = quote != 0;
        // Inside a quoted stretch, brackets and comment openers mean nothing.
        while (quote != 0 && i < end) {
            const std::uint8_t inner = data[i];
            if (inner == '\\') {
                if (end - i < 2 && !final) break;
                i = end - i >= 2 ? i + 2 : end;
            } else {
                ++i;
                if (inner == quote) quote = 0;
            }
        }
        // The end, or a backslash or apostrophe whose next byte has not arrived.
        if (quoted && quote == 0 && memo != nullptr) memo->recording.emplace_back(opened, i);
        if (i >= end || quote != 0) break;

        const std::uint8_t byte = data[i];
        if (byte == '{' || byte == '[') {
            lexer.pos = i;
            keep();
            return SeekResult::Found;
        }
        if (byte == '"' || byte == '\'') {
            // An apostrophe inside a word (don't, 5'6) is prose, not a quote.
            const bool after_letter = byte == '\'' && i > start && is_ascii_alnum(data[i - 1]);
            if (after_letter && i + 1 >= end && !final) break;
            if (after_letter && i + 1 < end && is_ascii_alnum(data[i + 1])) {
                ++i;
                continue;
            }
            quote = byte;
            opened = i;
            ++i;
            continue;
        }
        if (byte == '/') {
            std::size_t after;
            const CommentScan comment = skip_comment(data, i, end, after);
            if (comment == CommentScan::Unfinished && !final) {
                pause = {Need::Comment, i};
                keep();
                return SeekResult::Paused;
            }
            if (comment != CommentScan::None && after > i) {
                if (memo != nullptr) memo->recording.emplace_back(i, after);
                i = after;
                continue;
            }
        }
        ++i;
    }
    keep();
    if (!final) {
        pause = {Need::Byte, i};
        return SeekResult::Paused;
    }
    // No bracket outside quotes and comments: parse from the first significant byte.
    if (memo != nullptr) {
        // A stretch still open at the end runs past every later start.
        if (quote != 0) memo->recording.emplace_back(opened, static_cast<std::size_t>(-1));
        memo->remember(data, start, end);
    }
    lexer.pos = start;
    return SeekResult::NotFound;
}

void ProseMemo::remember(const std::uint8_t* data, std::size_t start, std::size_t end) {
    // Positions count from the first text searched: later searches start
    // further into the same text.
    if (text == nullptr) text = data;
    const std::size_t base = static_cast<std::size_t>(data - text);
    for (auto& stretch : recording) {
        stretch.first += base;
        if (stretch.second != static_cast<std::size_t>(-1)) stretch.second += base;
    }
    skipped.swap(recording);
    from = base + start;
    until = base + end;
    known = true;
}

bool ProseMemo::finds_nothing(const std::uint8_t* data, std::size_t at, std::size_t end) const {
    if (!known) return false;
    const std::size_t base = static_cast<std::size_t>(data - text);
    const std::size_t here = base + at;
    // A fence can end a search early: one that reads further learns nothing here.
    if (here < from || base + end > until) return false;
    // The last stretch opened before `here` decides: inside it, the search
    // from `from` was not reading prose there.
    auto after = std::upper_bound(skipped.begin(), skipped.end(), here,
                                  [](std::size_t p, const auto& stretch) { return p <= stretch.first; });
    return after == skipped.begin() || here >= std::prev(after)->second;
}

template SeekResult seek_container_start<FastScan>(Lexer&, bool, ProseScan&, Pause&);
template SeekResult seek_container_start<ScalarScan>(Lexer&, bool, ProseScan&, Pause&);

}  // namespace corvane
