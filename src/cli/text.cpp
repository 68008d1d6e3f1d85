#include "cli/text.hpp"

#include "lexer/scan.hpp"
#include "parser/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace corvane::cli {

namespace {

bool is_json_whitespace(unsigned char byte) noexcept {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

}  // namespace

std::size_t find_invalid_utf8(std::string_view text) noexcept {
    // Nearly every input is valid: let the engine's vectorised check say so,
    // and walk the bytes for the offset only when it does not.
    if (corvane::is_valid_utf8(text.data(), text.size())) return text.size();
    return corvane::find_invalid_utf8(text.data(), text.size());
}

bool is_blank(std::string_view text) noexcept {
    for (char c : text) {
        if (!corvane::is_whitespace(static_cast<std::uint8_t>(c))) return false;
    }
    return true;
}

bool equals_ignoring_whitespace(std::string_view text, std::string_view compact) noexcept {
    std::size_t j = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (!in_string && is_json_whitespace(byte)) continue;
        if (j >= compact.size() || compact[j] != text[i]) return false;
        ++j;
        if (in_string && byte == '\\') {
            // The escaped byte is content even when it is a quote.
            if (i + 1 >= text.size() || j >= compact.size() || compact[j] != text[i + 1]) return false;
            ++i;
            ++j;
        } else if (byte == '"') {
            in_string = !in_string;
        }
    }
    return j == compact.size();
}

namespace {

// Counts what a layout writes, so that the text can be made in a buffer of
// exactly its size: no regrowth, no spare room, for documents of gigabytes.
struct ByteCount {
    std::size_t size = 0;
    void push_back(char) { ++size; }
    void append(std::string_view bytes) { size += bytes.size(); }
    void append(std::size_t count, char) { size += count; }
};

template <class Out>
void lay_out(std::string_view compact, unsigned indent, Out& out) {
    unsigned depth = 0;
    auto new_line = [&] {
        out.push_back('\n');
        out.append(static_cast<std::size_t>(depth) * indent, ' ');
    };
    for (std::size_t i = 0; i < compact.size(); ++i) {
        const char c = compact[i];
        switch (c) {
        case '"': {
            // Copy the whole string, escapes included, untouched.
            std::size_t j = i + 1;
            while (j < compact.size() && compact[j] != '"') j += (compact[j] == '\\') ? 2 : 1;
            const std::size_t stop = j < compact.size() ? j + 1 : compact.size();
            out.append(compact.substr(i, stop - i));
            i = stop - 1;
            break;
        }
        case '{':
        case '[': {
            const char closer = c == '{' ? '}' : ']';
            if (i + 1 < compact.size() && compact[i + 1] == closer) {
                out.push_back(c);
                out.push_back(closer);
                ++i;
                break;
            }
            out.push_back(c);
            ++depth;
            new_line();
            break;
        }
        case '}':
        case ']':
            if (depth > 0) --depth;
            new_line();
            out.push_back(c);
            break;
        case ',':
            out.push_back(',');
            new_line();
            break;
        case ':':
            out.append(": ");
            break;
        default:
            out.push_back(c);
            break;
        }
    }
}

}  // namespace

std::string reindent(std::string_view compact, unsigned indent) {
    ByteCount count;
    lay_out(compact, indent, count);
    std::string out;
    out.reserve(count.size);
    lay_out(compact, indent, out);
    return out;
}

}  // namespace corvane::cli
