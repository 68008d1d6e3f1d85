#include "cli/explain.hpp"

#include "cli/text.hpp"
#include "parser/report.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace corvane::cli {

namespace {

// Lines and columns of byte offsets of one text, asked for in increasing
// order: one walk over the text in all.
class Positions {
public:
    Positions(std::string_view text, std::size_t first_line) noexcept : text_(text), line_(first_line) {}

    // "LINE:COLUMN" of the character that starts at `offset`.
    std::string at(std::size_t offset) {
        for (; byte_ < offset; ++byte_) {
            const auto byte = static_cast<unsigned char>(text_[byte_]);
            if (byte == '\n') {
                ++line_;
                column_ = 1;
            } else if ((byte & 0xC0) != 0x80) {
                ++column_;
            }
        }
        return std::to_string(line_) + ":" + std::to_string(column_);
    }

private:
    std::string_view text_;
    std::size_t byte_ = 0;
    std::size_t line_;
    std::size_t column_ = 1;
};

std::size_t characters(std::string_view text) noexcept {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// `text` between single quotes, with the backslash, the quote and the
// control characters escaped, so that every edit stays on its one line.
std::string quoted(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\'': out += "\\'"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char escape[5];
                std::snprintf(escape, sizeof escape, "\\x%02x", byte);
                out += escape;
            } else {
                out += c;
            }
        }
    }
    out += "'";
    return out;
}

// Explains one value: the whole text, or one line of it (`line` its number,
// which then heads the lines about the whole value too). Returns the status
// --check gives it.
int explain_value(std::string_view name, std::string_view text, std::size_t first_line, bool line,
                  std::string& out) {
    const RepairReport report = report_text(text.data(), text.size());
    Positions positions(text, first_line);
    const std::string prefix = std::string(name) + ":";
    const std::string summary = line ? prefix + std::to_string(first_line) + ":" : prefix;
    for (const Edit& edit : report.edits) {
        out += prefix + positions.at(edit.start) + ": " + std::string(edit_kind_name(edit.kind)) + ": " +
               quoted(text.substr(edit.start, edit.end - edit.start)) + " -> " + quoted(edit.text) + "\n";
    }
    if (report.error) {
        out += prefix + positions.at(report.error_offset) + ": refused: " +
               std::string(error_message(*report.error)) + "\n";
        return 1;
    }
    if (!report.complete) {
        out += prefix + positions.at(report.end) + ": cut off: the input ended before the value did\n";
    }
    if (!report.found) {
        out += summary + " no value found: the repair is null\n";
    } else {
        const std::string_view before = text.substr(0, report.start);
        const std::string_view after = text.substr(report.end);
        if (!is_blank(before) || !is_blank(after)) {
            out += summary + " dropped " + std::to_string(characters(before)) + " characters before the value and " +
                   std::to_string(characters(after)) + " after\n";
        }
    }
    return equals_ignoring_whitespace(text, report.text) ? 0 : 1;
}

}  // namespace

int explain(std::string_view name, std::string_view text, bool lines, OutputSink& out) {
    std::string explanation;
    if (!lines) {
        const int status = explain_value(name, text, 1, false, explanation);
        out.write(explanation);
        return status;
    }
    int status = 0;
    std::size_t start = 0;
    for (std::size_t number = 1; start < text.size(); ++number) {
        const char* newline = static_cast<const char*>(std::memchr(text.data() + start, '\n', text.size() - start));
        const std::size_t stop = newline ? static_cast<std::size_t>(newline - text.data()) : text.size();
        const std::string_view line = text.substr(start, stop - start);
        start = stop + 1;
        if (is_blank(line)) continue;
        explanation.clear();
        status = std::max(status, explain_value(name, line, number, true, explanation));
        out.write(explanation);
    }
    return status;
}

}  // namespace corvane::cli
