#include "support.hpp"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <new>
#include <sstream>

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
