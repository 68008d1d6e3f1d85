// The report of a repair: what the repair did to the input and where, for
// callers who must decide whether to trust the result. The same pass as
// repair_text, with an observer that records each repair it makes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/errors.hpp"

namespace corvane {

// What one edit did. A closed set: each kind has one line in the README.
// Their order is their number; a new kind goes at the end.
enum class EditKind : std::uint8_t {
    QuoteReplaced,      // a string's ' became "
    KeyQuoted,          // an unquoted key became a string
    WordQuoted,         // a bare word, or a token that is no number, became a string
    KeywordRewritten,   // True, False, None and the like became true, false, null
    NumberRewritten,    // a number put in JSON's form (sign, zeros, digits, exponent)
    CharacterEscaped,   // a raw control byte, or a " inside a '-quoted string, escaped
    EscapeRepaired,     // an invalid or cut-off escape repaired
    CommaInserted,      // a missing comma supplied
    CommaDropped,       // a comma with nothing to separate (leading, doubled, trailing)
    ColonInserted,      // a key's missing ':' supplied
    ColonDropped,       // a ':' where none belongs
    ValueFilled,        // null for a missing value (or for a text with none)
    CommentDropped,     // a // or /* */ comment removed
    StrayDropped,       // a byte that belongs nowhere removed (#, ;, =, a bracket in key position, ...)
    ContainerClosed,    // a ] or } supplied: at the end of the input, or for the other bracket
    StringClosed,       // the closing quote supplied at the end of the input
};
inline constexpr std::size_t EDIT_KIND_COUNT = 16;

// The name users see for a kind (a Python attribute value, a word of
// `corvane --explain`).
std::string_view edit_kind_name(EditKind kind) noexcept;

// Input bytes [start, end) became `text` in the output: an insertion has
// start == end, a removal an empty text. Offsets are bytes of the input.
struct Edit {
    EditKind kind;
    std::size_t start;
    std::size_t end;
    std::string text;
};

// Offsets are bytes of the input given to report_text.
struct RepairReport {
    // The repaired text, or empty when refused.
    std::string text;
    // The refusal, and the byte that decided it.
    std::optional<RepairError> error;
    std::size_t error_offset = 0;
    // False when the input holds no value ("null" stands in for it).
    bool found = false;
    // Where the value began (after a byte-order mark, a fence, prose) and
    // just past the last byte the repair read.
    std::size_t start = 0;
    std::size_t end = 0;
    // False when the end of the input cut the value off.
    bool complete = true;
    // In input order. Applying them to input[start, end) and dropping the
    // whitespace outside strings gives `text`.
    std::vector<Edit> edits;
};

// Repairs `length` bytes at `data` exactly as repair_text does (same text,
// same refusals, same preconditions) and reports what the repair did.
RepairReport report_text(const char* data, std::size_t length);

// A report of the text that starts `base` bytes into a longer one; its
// offsets count from there.
struct PlacedReport {
    std::size_t base;
    RepairReport report;
};

// Every value of a text in turn, each reported as report_text reports the
// text from where the one before it ended. A report that finds nothing ends
// the list and is left out; a refusal ends it too, included, since where
// its value would end is not known. A found value that read nothing would
// be read again forever: it ends the list as well, left out. Linear in the
// text: what one search for a bracket learned spares the next.
std::vector<PlacedReport> report_every_value(const char* data, std::size_t length);

}  // namespace corvane
