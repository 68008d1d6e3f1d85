#include "support.hpp"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <new>
#include <sstream>

#include <nlohmann/json.hpp>

namespace corvane_test {

std::string repeat(std::string_view text, std::size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (std::size_t i = 0; i < times; ++i) out.append(text);
    return out;
}

std::string show(std::string_view bytes, std::size_t limit) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            out += static_cast<char>(b);
        } else {
            out += "\\x";
            out += HEX[b >> 4];
            out += HEX[b & 0x0F];
        }
    }
    if (bytes.size() > limit) out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

static std::string error_name(RepairError error) {
    switch (error) {
        case RepairError::DepthExceeded: return "DepthExceeded";
        case RepairError::AmbiguousQuote: return "AmbiguousQuote";
    }
    return "unknown RepairError " + std::to_string(static_cast<int>(error));
}

std::string outcome(const corvane::RepairResult& result) {
    if (result.ok()) return "text: " + std::string(result.text());
    return "refused: " + error_name(result.error());
}

std::string expected_outcome(const Case& row) {
    if (row.error) return "refused: " + error_name(*row.error);
    return "text: " + row.expected;
}

void expect_table(const std::vector<Case>& table) {
    ASSERT_FALSE(table.empty());
    for (const Case& row : table) {
        SCOPED_TRACE("input: " + show(row.input));
        EXPECT_EQ(outcome(corvane::repair_text(row.input)), expected_outcome(row));
    }
}

bool is_valid_utf8(std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        std::uint32_t cp;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            extra = 1;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            extra = 2;
            cp = b0 & 0x0F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            extra = 3;
            cp = b0 & 0x07;
        } else {
            return false;  // continuation byte, C0/C1 overlong lead, or F5..FF
        }
        if (n - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(bytes[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return false;
        if (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) return false;
        i += extra + 1;
    }
    return true;
}

// Value of the four hex digits at `at`, or -1 when they are not all there.
static long hex4(std::string_view s, std::size_t at) {
    if (at + 4 > s.size()) return -1;
    long v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        const char c = s[at + k];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return -1;
        v = v * 16 + d;
    }
    return v;
}

std::string neutralise_lone_surrogates(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    bool in_string = false;
    std::size_t i = 0;
    while (i < json.size()) {
        const char c = json[i];
        if (!in_string) {
            if (c == '"') in_string = true;
            out += c;
            ++i;
            continue;
        }
        if (c == '"') {
            in_string = false;
            out += c;
            ++i;
            continue;
        }
        if (c != '\\' || i + 1 >= json.size()) {
            out += c;
            ++i;
            continue;
        }
        if (json[i + 1] != 'u') {
            // Any two-byte escape, \\ included, is copied whole so that an
            // escaped backslash never looks like the start of a \u escape.
            out.append(json.substr(i, 2));
            i += 2;
            continue;
        }
        const long unit = hex4(json, i + 2);
        if (unit < 0 || unit < 0xD800 || unit > 0xDFFF) {
            out.append(json.substr(i, 2));
            i += 2;
            continue;
        }
        if (unit <= 0xDBFF && i + 8 <= json.size() && json[i + 6] == '\\' && json[i + 7] == 'u') {
            const long low = hex4(json, i + 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out.append(json.substr(i, 12));
                i += 12;
                continue;
            }
        }
        out += "\\u0000";
        i += 6;
    }
    return out;
}

std::string shorten_digit_runs(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    bool in_string = false;
    std::size_t run = 0;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (in_string) {
            out += c;
            if (c == '\\' && i + 1 < json.size()) out += json[++i];
            else if (c == '"') in_string = false;
            continue;
        }
        if (c >= '0' && c <= '9') {
            if (++run <= 2) out += c;
            continue;
        }
        run = 0;
        if (c == '"') in_string = true;
        out += c;
    }
    return out;
}

bool has_whitespace_outside_strings(std::string_view json) {
    bool in_string = false;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            return true;
        }
    }
    return false;
}

std::size_t nesting_depth(std::string_view json) {
    bool in_string = false;
    std::size_t depth = 0, deepest = 0;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

bool is_strict_json(std::string_view json) {
    return nlohmann::json::accept(shorten_digit_runs(neutralise_lone_surrogates(json)));
}

::testing::AssertionResult repairs_well_formed(std::string_view input) {
    const bool input_utf8 = is_valid_utf8(input);
    std::optional<corvane::RepairResult> result;
    try {
        result.emplace(corvane::repair_text(input));
    } catch (const corvane::InternalFault& fault) {
        if (!input_utf8) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "internal fault (" << fault.what() << ") on UTF-8 input " << show(input);
    } catch (const std::bad_alloc&) {
        return ::testing::AssertionFailure() << "out of memory on input " << show(input);
    }
    if (!result->ok()) {
        const RepairError kind = result->error();
        if (kind == RepairError::DepthExceeded || kind == RepairError::AmbiguousQuote) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "unknown refusal " << static_cast<int>(kind) << " for input " << show(input);
    }
    const std::string text(result->text());
    auto failure = [&](const char* what) {
        return ::testing::AssertionFailure()
               << what << "\n  input:  " << show(input) << "\n  output: " << show(text);
    };
    if (!is_valid_utf8(text)) return failure("output is not valid UTF-8");
    if (!is_strict_json(text)) return failure("output is not strict JSON");
    if (has_whitespace_outside_strings(text)) return failure("output holds whitespace");
    const corvane::RepairResult again = corvane::repair_text(text);
    if (!again.ok()) return failure("repairing the output again is refused");
    if (again.text() != text) {
        return failure("repairing the output again changes it")
               << "\n  again:  " << show(again.text());
    }
    return ::testing::AssertionSuccess();
}

std::optional<std::string> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::filesystem::path test_data_dir() { return CORVANE_TEST_DATA_DIR; }
std::filesystem::path bench_data_dir() { return CORVANE_BENCH_DATA_DIR; }

}  // namespace corvane_test
