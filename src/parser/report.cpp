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

namespace {

// What reporting one value of a text learned that spares reporting the next:
// where the search for a bracket found none, and the next '/' (a position
// in the whole text). Without them, each value of a long text would search
// to its end.
struct Spared {
    ProseMemo prose;
    std::size_t slash = 0;
};

RepairReport report_with(const char* data, std::size_t length, Spared* spared, std::size_t position) {
    RepairReport report;
    // A reply with a few repairs grows the list once.
    report.edits.reserve(16);
    ReportState state(report, data, length);
    ProseMemo* prose_memo = nullptr;
    if (spared != nullptr) {
        prose_memo = &spared->prose;
        // Still the first '/' at or after any later gap, as gaps only move on.
        if (spared->slash >= position) state.slash = spared->slash - position;
    }
    // Without the strict stretch: it writes its commas and key quotes
    // itself, and the report would have to be told of them there too.
    RepairResult result =
        repair_whole_text<FastScan>(data, length, BlockKernel::None, false, ReportObserver(state), prose_memo);
    if (result) {
        report.text.assign(result.text());
    } else {
        report.error = result.error();
    }
    if (spared != nullptr) spared->slash = position + state.slash;
    return report;
}

}  // namespace

RepairReport report_text(const char* data, std::size_t length) { return report_with(data, length, nullptr, 0); }

std::vector<PlacedReport> report_every_value(const char* data, std::size_t length) {
    std::vector<PlacedReport> reports;
    Spared spared;
    std::size_t position = 0;
    for (;;) {
        RepairReport report = report_with(data + position, length - position, &spared, position);
        const bool refused = report.error.has_value();
        if (!refused && (!report.found || report.end <= report.start)) break;
        const std::size_t end = report.end;
        reports.push_back(PlacedReport{position, std::move(report)});
        if (refused) break;
        position += end;
    }
    return reports;
}

// Edits come in input order but for a few: a comma is known to be dropped
// only once the container goes on past it (and its gap's comments come
// first). Each goes after those that start where it does or before.
void ReportState::add(EditKind kind, std::size_t start, std::size_t end, std::string_view text) {
    std::vector<Edit>& edits = report.edits;
    auto at = edits.end();
    if (!edits.empty() && edits.back().start > start) {
        at = std::upper_bound(edits.begin(), edits.end(), start,
                              [](std::size_t s, const Edit& e) { return s < e.start; });
    }
    edits.insert(at, Edit{kind, start, end, std::string(text)});
}

// Whitespace the rebuild drops by itself; each comment is an edit.
void ReportState::add_comments(std::size_t start, std::size_t end) {
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

std::size_t ReportState::find_slash(std::size_t from) const {
    const void* found = std::memchr(data + from, '/', length - from);
    return found == nullptr ? length : static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - data);
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
