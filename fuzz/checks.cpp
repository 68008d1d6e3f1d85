#include "checks.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>

#include <nlohmann/json.hpp>

#include "parser/repair.hpp"
#include "parser/stream.hpp"

namespace corvane::fuzz {

namespace {

constexpr std::string_view DEPTH_MESSAGE = "JSON nesting exceeds the limit of 128 containers";
constexpr std::string_view QUOTE_MESSAGE =
    "Ambiguous unescaped quote in object value; escape inner quotes before repair";

// nlohmann's number-overflow error: the token passed the grammar, only its
// value does not fit a double.
constexpr int NUMBER_OVERFLOW = 406;

bool is_hex(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned hex_value(unsigned char c) {
    if (c <= '9') return c - '0';
    if (c <= 'F') return c - 'A' + 10;
    return c - 'a' + 10;
}

// The code unit of a `\uXXXX` escape starting at `i`, or -1 when there is none.
long escape_unit(std::string_view text, std::size_t i) {
    if (i + 6 > text.size() || text[i] != '\\' || text[i + 1] != 'u') return -1;
    unsigned unit = 0;
    for (std::size_t k = i + 2; k < i + 6; ++k) {
        auto c = static_cast<unsigned char>(text[k]);
        if (!is_hex(c)) return -1;
        unit = unit * 16 + hex_value(c);
    }
    return static_cast<long>(unit);
}

// Accepts every event; records the first error and stops there.
struct StrictSax {
    int error_id = 0;
    std::size_t position = 0;
    std::string token;

    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool number_integer(nlohmann::json::number_integer_t) { return true; }
    bool number_unsigned(nlohmann::json::number_unsigned_t) { return true; }
    bool number_float(nlohmann::json::number_float_t, const std::string&) { return true; }
    bool string(std::string&) { return true; }
    bool binary(nlohmann::json::binary_t&) { return true; }
    bool start_object(std::size_t) { return true; }
    bool key(std::string&) { return true; }
    bool end_object() { return true; }
    bool start_array(std::size_t) { return true; }
    bool end_array() { return true; }
    bool parse_error(std::size_t at, const std::string& last_token,
                     const nlohmann::detail::exception& ex) {
        error_id = ex.id;
        position = at;
        token = last_token;
        return false;
    }
};

std::string printable(std::string_view bytes, std::size_t limit = 600) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    if (bytes.size() > limit) out += "...";
    return out;
}

RepairResult run_repair(std::string_view input, bool input_is_utf8) {
    try {
        return repair_text(input.data(), input.size());
    } catch (const InternalFault& fault) {
        // The engine refuses to hand out invalid UTF-8; with invalid input
        // that is its documented way out, with valid input it is a bug.
        if (input_is_utf8) fail("internal fault on valid UTF-8 input", input, fault.what());
        throw;
    } catch (const std::exception& e) {
        fail("unexpected exception", input, e.what());
    }
}

}  // namespace

void fail(std::string_view what, std::string_view input, std::string_view detail) {
    std::fprintf(stderr, "\n*** repair property broken: %.*s\n", static_cast<int>(what.size()),
                 what.data());
    if (!detail.empty()) std::fprintf(stderr, "    detail: %s\n", printable(detail).c_str());
    std::fprintf(stderr, "    input (%zu bytes): %s\n", input.size(), printable(input).c_str());
    std::abort();
}

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        unsigned lo = 0x80, hi = 0xBF;  // bounds of the first continuation byte
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        auto first = static_cast<unsigned char>(text[i + 1]);
        if (first < lo || first > hi) return false;
        for (std::size_t k = 2; k <= extra; ++k) {
            auto b = static_cast<unsigned char>(text[i + k]);
            if (b < 0x80 || b > 0xBF) return false;
        }
        i += extra + 1;
    }
    return true;
}

std::string neutralise_lone_surrogates(std::string_view text) {
    std::string out(text);
    std::size_t i = 0;
    while (i < out.size()) {
        if (out[i] != '\\') {
            ++i;
            continue;
        }
        long unit = escape_unit(out, i);
        if (unit < 0) {
            i += 2;  // any other escape: its second byte is never a backslash to look at
            continue;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            long next = escape_unit(out, i + 6);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                i += 12;
                continue;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) out.replace(i + 2, 4, "0041");
        i += 6;
    }
    return out;
}

bool is_strict_json(std::string_view text) {
    // nlohmann's lexer takes a NUL byte for the end of the input; in JSON it
    // is never valid raw, in a string or outside one.
    if (text.find('\0') != std::string_view::npos) return false;
    std::string work = neutralise_lone_surrogates(text);
    for (;;) {
        StrictSax sax;
        bool ok = nlohmann::json::sax_parse(work, &sax, nlohmann::json::input_format_t::json,
                                            /*strict=*/true, /*ignore_comments=*/false);
        if (ok) return true;
        if (sax.error_id != NUMBER_OVERFLOW) return false;
        // The lexer has read exactly the number token when it reports this;
        // swap it for a small number padded with whitespace, same length.
        if (sax.token.empty() || sax.position < sax.token.size()) return false;
        std::size_t start = sax.position - sax.token.size();
        if (work.compare(start, sax.token.size(), sax.token) != 0) return false;
        std::string small(sax.token.size(), ' ');
        small[0] = '0';
        work.replace(start, small.size(), small);
    }
}

std::string compact_valid_json(std::string_view text, std::size_t& depth) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
    std::size_t open = 0;
    depth = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '"') {
            std::size_t j = i + 1;
            while (j < text.size() && text[j] != '"') j += text[j] == '\\' ? 2 : 1;
            out.append(text.substr(i, j + 1 - i));
            i = j + 1;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '[' || c == '{') {
            ++open;
            if (open > depth) depth = open;
        } else if (c == ']' || c == '}') {
            --open;
        }
        out += c == 'E' ? 'e' : c;
        ++i;
    }
    return out;
}

void check_repair(std::string_view input) {
    const bool input_is_utf8 = is_valid_utf8(input);
    std::optional<RepairResult> result;
    try {
        result.emplace(run_repair(input, input_is_utf8));
    } catch (const InternalFault&) {
        return;
    }
    const bool input_is_json = input_is_utf8 && is_strict_json(input);
    std::size_t depth = 0;
    std::string expected;
    if (input_is_json) expected = compact_valid_json(input, depth);

    if (!result->ok()) {
        RepairError kind = result->error();
        std::string_view message = error_message(kind);
        if (kind == RepairError::DepthExceeded) {
            if (message != DEPTH_MESSAGE) fail("wrong nesting message", input, message);
        } else if (kind == RepairError::AmbiguousQuote) {
            if (message != QUOTE_MESSAGE) fail("wrong quote message", input, message);
            if (input_is_json) fail("valid JSON refused as ambiguous", input);
        } else {
            fail("refusal of an unknown kind", input);
        }
        if (input_is_json && depth <= MAX_DEPTH) fail("valid JSON within the limit refused", input);
        return;
    }

    const std::string text(result->text());
    if (!is_valid_utf8(text)) fail("output is not valid UTF-8", input, text);
    if (!is_strict_json(text)) fail("output is not valid JSON", input, text);
    std::size_t output_depth = 0;
    if (compact_valid_json(text, output_depth) != text) fail("output is not compact", input, text);
    if (output_depth > MAX_DEPTH) fail("output nested past the limit", input, text);
    if (input_is_json) {
        if (depth > MAX_DEPTH) fail("valid JSON past the limit was not refused", input, text);
        if (text != expected) fail("valid JSON did not keep its text", input, text);
    }

    RepairResult again = run_repair(text, true);
    if (!again.ok()) fail("repairing the output is refused", input, text);
    if (again.text() != text) fail("repairing the output changes it", input, again.text());
}

namespace {

// Walks one compact JSON value of the engine's output at `i` (never any
// whitespace) and returns where it ends.
std::size_t value_end(std::string_view text, std::size_t i) {
    if (i >= text.size()) return i;
    const char c = text[i];
    if (c == '"') {
        std::size_t j = i + 1;
        while (j < text.size() && text[j] != '"') j += text[j] == '\\' ? 2 : 1;
        return j + 1;
    }
    if (c == '[' || c == '{') {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == ']' || text[j] == '}')) return j + 1;
        for (;;) {
            if (c == '{') j = value_end(text, j) + 1;  // the key and its ':'
            j = value_end(text, j);
            if (j >= text.size() || text[j] != ',') return j + 1;
            ++j;
        }
    }
    std::size_t j = i;
    while (j < text.size() && text[j] != ',' && text[j] != ']' && text[j] != '}' && text[j] != ':') ++j;
    return j;
}

// The elements (or key and value pairs, flattened) of the container at `i`.
std::vector<std::string_view> parts(std::string_view value) {
    std::vector<std::string_view> out;
    std::size_t j = 1;
    while (j + 1 < value.size()) {
        const std::size_t stop = value_end(value, j);
        out.push_back(value.substr(j, stop - j));
        j = stop + 1;  // past ',' or ':'
    }
    return out;
}

}  // namespace

bool grows_into(std::string_view before, std::string_view after) {
    if (before.empty() || after.empty() || before[0] != after[0]) return false;
    switch (before[0]) {
        case '"':
            return before.size() <= after.size() &&
                   after.substr(0, before.size() - 1) == before.substr(0, before.size() - 1);
        case '[':
        case '{': {
            const auto old_parts = parts(before);
            const auto new_parts = parts(after);
            if (old_parts.size() > new_parts.size()) return false;
            for (std::size_t k = 0; k < old_parts.size(); ++k) {
                const bool key = before[0] == '{' && k % 2 == 0;
                if (key ? old_parts[k] != new_parts[k] : !grows_into(old_parts[k], new_parts[k])) return false;
            }
            return true;
        }
        default:
            return before == after;
    }
}

std::string stream_violation(std::string_view input, const std::vector<std::size_t>& cuts,
                             std::size_t snapshot_every) {
    std::optional<RepairResult> whole;
    try {
        whole.emplace(repair_text(input.data(), input.size()));
    } catch (const std::exception& e) {
        return std::string("repair_text failed: ") + e.what();
    }
    auto same_refusal = [&](RepairError error) { return !whole->ok() && whole->error() == error; };

    RepairStream stream;
    std::optional<std::string> last;
    std::size_t done = 0;
    for (std::size_t k = 0; k <= cuts.size(); ++k) {
        const std::size_t stop = k < cuts.size() ? std::min(cuts[k], input.size()) : input.size();
        if (stop < done) continue;
        const std::optional<RepairError> refused = stream.feed(input.substr(done, stop - done));
        done = stop;
        if (refused) {
            if (!same_refusal(*refused)) return "feed refused what repair_text does not: " + std::string(error_message(*refused));
            return {};
        }
        if ((k + 1) % snapshot_every != 0) continue;
        const std::optional<std::string> snapshot = stream.snapshot();
        if (!snapshot) {
            if (last) return "a snapshot disappeared after " + std::to_string(done) + " bytes";
            continue;
        }
        if (!is_strict_json(*snapshot)) return "snapshot is not JSON: " + printable(*snapshot);
        std::size_t depth = 0;
        if (compact_valid_json(*snapshot, depth) != *snapshot) return "snapshot is not compact: " + printable(*snapshot);
        const RepairResult again = repair_text(snapshot->data(), snapshot->size());
        if (!again.ok() || again.text() != *snapshot) return "snapshot does not repair to itself: " + printable(*snapshot);
        if (last && !grows_into(*last, *snapshot)) {
            return "snapshot after " + std::to_string(done) + " bytes shrank: " + printable(*last) + " -> " +
                   printable(*snapshot);
        }
        if (stream.complete() && whole->ok() && *snapshot != whole->text()) {
            return "complete, but the snapshot is not the result: " + printable(*snapshot);
        }
        last = snapshot;
    }
    const RepairResult closed = stream.close();
    if (closed.ok() != whole->ok()) return closed.ok() ? "close repaired what repair_text refuses" : "close refused";
    if (!closed.ok()) {
        if (closed.error() != whole->error()) return "close refused for another reason";
        return {};
    }
    if (closed.text() != whole->text()) {
        return "close gave " + printable(closed.text()) + " instead of " + printable(whole->text());
    }
    if (last && !grows_into(*last, closed.text())) return "the last snapshot does not grow into the result";
    return {};
}

}  // namespace corvane::fuzz
