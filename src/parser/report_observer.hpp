// The observer the report runs the pass with: the steps tell it of each
// repair at the point they make it, and it records the repair as an Edit.
// A handle to state kept elsewhere, so that it is passed by value like the
// silent observer (parser/pass.hpp has the calls it must answer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "parser/output.hpp"
#include "parser/report.hpp"

namespace corvane {

struct Repairer;

// What a run of the report keeps beside the pass.
struct ReportState {
    static constexpr std::size_t NONE = static_cast<std::size_t>(-1);

    ReportState(RepairReport& into, const char* input, std::size_t input_length)
        : report(into), data(reinterpret_cast<const std::uint8_t*>(input)), length(input_length) {}

    RepairReport& report;
    const std::uint8_t* data;
    std::size_t length;
    // The first '/' at or after the last gap's start (or `length`): a gap
    // before it holds no comment, and most gaps are told so by this alone.
    std::size_t slash = 0;
    // A comma the input has where the container's next element may need
    // one: the comma the loop writes there is then this one, not an edit.
    std::size_t comma = NONE;
    bool refused = false;

    void add(EditKind kind, std::size_t start, std::size_t end, std::string_view text);
    // Records output [written, out.size()) as the text of input [start, end)
    // when they differ (inline: most tokens are written as they stand).
    void add_if_changed(EditKind kind, std::size_t start, std::size_t end, const OutputBuffer& out,
                        std::size_t written) {
        const std::string_view text(out.data() + written, out.size() - written);
        if (text.size() == end - start && std::memcmp(text.data(), data + start, text.size()) == 0) return;
        add(kind, start, end, text);
    }
    void add_comments(std::size_t start, std::size_t end);
    std::size_t find_slash(std::size_t from) const;
    void add_stray(std::size_t at);
    void end_of_pass(const Repairer& r);
};

class ReportObserver {
public:
    explicit ReportObserver(ReportState& state) : s(&state) {}

    // The value begins at `at`, after what was skipped in front of it.
    void began(std::size_t at) const { s->report.start = at; }
    // The pass has stopped for good (finished or refused).
    void finished(const Repairer& r) const { s->end_of_pass(r); }
    void refused(std::size_t at) const {
        s->refused = true;
        s->report.error_offset = at;
    }

    void edit(EditKind kind, std::size_t start, std::size_t end, std::string_view text) const {
        s->add(kind, start, end, text);
    }
    void wrote(EditKind kind, std::size_t start, std::size_t end, const OutputBuffer& out,
               std::size_t written) const {
        s->add_if_changed(kind, start, end, out, written);
    }
    // A number or bare word read as a value at [start, end), written from `written`.
    void token(std::size_t start, std::size_t end, const OutputBuffer& out, std::size_t written) const;

    // Whitespace and comments skipped; only comments are edits.
    void gap(std::size_t start, std::size_t end) const {
        if (s->slash < start) s->slash = s->find_slash(start);
        if (s->slash < end) s->add_comments(start, end);
    }
    // A byte that is no part of the value, skipped at `at` (commas and
    // colons among them).
    void stray(std::size_t at) const { s->add_stray(at); }
    // The container's next element begins at `at`; `needs_comma` when the
    // pass writes a comma before it.
    void comma(bool needs_comma, std::size_t at) const {
        if (needs_comma) {
            if (s->comma == ReportState::NONE) s->add(EditKind::CommaInserted, at, at, ",");
        } else if (s->comma != ReportState::NONE) {
            s->add(EditKind::CommaDropped, s->comma, s->comma + 1, "");
        }
        s->comma = ReportState::NONE;
    }
    // A container closes: a comma before its end separates nothing.
    void container_end() const { comma(false, 0); }

private:
    ReportState* s;
};

inline void ReportObserver::token(std::size_t start, std::size_t end, const OutputBuffer& out,
                                  std::size_t written) const {
    const char first = out.data()[written];
    const EditKind kind = first == '"'                                      ? EditKind::WordQuoted
                          : first == 't' || first == 'f' || first == 'n' ? EditKind::KeywordRewritten
                                                                          : EditKind::NumberRewritten;
    s->add_if_changed(kind, start, end, out, written);
}

}  // namespace corvane
