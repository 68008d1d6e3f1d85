#include "cli/text.hpp"

#include "parser/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace corvane::cli {

namespace {

bool is_engine_whitespace(unsigned char byte) noexcept {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r' || byte == '\f';
}

bool is_json_whitespace(unsigned char byte) noexcept {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

}  // namespace

std::size_t find_invalid_utf8(std::string_view text) noexcept {
    // Nearly every input is valid: let the engine's vectorised check say so,
    // and walk the bytes for the offset only when it does not.
    if (corvane::is_valid_utf8(text.data(), text.size())) return text.size();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        // Most JSON is ASCII: step over it eight bytes at a time.
        while (i + 8 <= size) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, sizeof word);
            if (word & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= size) break;
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The second byte's range depends on the lead byte: this is where
        // overlong forms, surrogates and values past U+10FFFF are refused.
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return i;
        }
        if (i + 1 >= size || bytes[i + 1] < low || bytes[i + 1] > high) return i;
        for (std::size_t k = 2; k < length; ++k) {
            if (i + k >= size || !is_continuation(bytes[i + k])) return i;
        }
        i += length;
    }
    return size;
}

bool is_blank(std::string_view text) noexcept {
    for (char c : text) {
        if (!is_engine_whitespace(static_cast<unsigned char>(c))) return false;
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
