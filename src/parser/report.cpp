// The repair report: the observer that records each repair the pass makes
// (parser/report_observer.hpp), and report_text, the whole-text repair run
// with it.
#include "parser/report.hpp"

#include <algorithm>
#include <cstring>

#include "lexer/lexer.hpp"
#include "parser/pass.hpp"
#include "parser/report_observer.hpp"

namespace corvane {

RepairReport report_text(const char* data, std::size_t length) {
    RepairReport report;
    ReportState state(report, data);
    // Without the strict stretch: it writes its commas and key quotes
    // itself, and the report would have to be told of them there too.
    RepairResult result =
        repair_whole_text<FastScan>(data, length, BlockKernel::None, false, ReportObserver(state));
    if (result) {
        report.text.assign(result.text());
    } else {
        report.error = result.error();
    }
    return report;
}

void ReportState::add(EditKind kind, std::size_t start, std::size_t end, std::string_view text) {
    report.edits.push_back(Edit{kind, start, end, std::string(text)});
}

void ReportState::add_if_changed(EditKind kind, std::size_t start, std::size_t end, const OutputBuffer& out,
                                 std::size_t written) {
    const std::string_view text(out.data() + written, out.size() - written);
    if (text.size() == end - start && std::memcmp(text.data(), data + start, text.size()) == 0) return;
    add(kind, start, end, text);
}

// Whitespace the rebuild drops by itself; each comment is an edit.
void ReportState::add_comments(std::size_t start, std::size_t end) {
    if (std::memchr(data + start, '/', end - start) == nullptr) return;
    std::size_t p = start;
    while (p < end) {
        if (is_whitespace(data[p])) {
            ++p;
            continue;
        }
        std::size_t after;
        skip_comment(data, p, end, after);
        if (after <= p) throw InternalFault("a gap holds only whitespace and comments");
        add(EditKind::CommentDropped, p, after, "");
        p = after;
    }
}

void ReportState::add_stray(std::size_t at) {
    switch (data[at]) {
        case ',':
            // The first comma may be the one the next element needs.
            if (comma == NONE) {
                comma = at;
            } else {
                add(EditKind::CommaDropped, at, at + 1, "");
            }
            return;
        case ':': add(EditKind::ColonDropped, at, at + 1, ""); return;
        default: add(EditKind::StrayDropped, at, at + 1, ""); return;
    }
}

void ReportState::end_of_pass(const Repairer& r) {
    std::vector<Edit>& edits = report.edits;
    report.end = r.lexer.pos;
    report.found = r.wrote || refused;  // a refusal comes only inside a container
    if (refused) {
        edits.clear();
        return;
    }
    if (!r.wrote) add(EditKind::ValueFilled, report.end, report.end, "null");
    // A comma is known to be dropped only once the container goes on past
    // it, and the look-ahead after a quote reads gaps before the quote's
    // edit is known: the rest come in input order.
    auto by_start = [](const Edit& a, const Edit& b) { return a.start < b.start; };
    if (!std::is_sorted(edits.begin(), edits.end(), by_start)) {
        std::stable_sort(edits.begin(), edits.end(), by_start);
    }
    // Only the input's end closes a string, or a container where it stands.
    const std::size_t cut = r.lexer.end;
    report.complete = std::none_of(edits.begin(), edits.end(), [cut](const Edit& e) {
        return e.start == cut && (e.kind == EditKind::StringClosed || e.kind == EditKind::ContainerClosed);
    });
}

std::string_view edit_kind_name(EditKind kind) noexcept {
    switch (kind) {
        case EditKind::QuoteReplaced: return "quote_replaced";
        case EditKind::KeyQuoted: return "key_quoted";
        case EditKind::WordQuoted: return "word_quoted";
        case EditKind::KeywordRewritten: return "keyword_rewritten";
        case EditKind::NumberRewritten: return "number_rewritten";
        case EditKind::CharacterEscaped: return "character_escaped";
        case EditKind::EscapeRepaired: return "escape_repaired";
        case EditKind::CommaInserted: return "comma_inserted";
        case EditKind::CommaDropped: return "comma_dropped";
        case EditKind::ColonInserted: return "colon_inserted";
        case EditKind::ColonDropped: return "colon_dropped";
        case EditKind::ValueFilled: return "value_filled";
        case EditKind::CommentDropped: return "comment_dropped";
        case EditKind::StrayDropped: return "stray_dropped";
        case EditKind::ContainerClosed: return "container_closed";
        case EditKind::StringClosed: return "string_closed";
    }
    return "";
}

}  // namespace corvane
