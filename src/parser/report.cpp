// The repair report: the observer that records each repair the pass makes
// (parser/report_observer.hpp), and report_text, the whole-text repair run
// with it.
#include "parser/report.hpp"

namespace corvane {

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
