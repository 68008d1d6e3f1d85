#include "support.hpp"

#include <cstdint>
#include <cstdio>

namespace corvane_test {

namespace {

// Says how many inputs the report's rebuild was judged on (every input
// repairs_well_formed and the differential judge see).
class ReportCount : public ::testing::Environment {
    void TearDown() override {
        std::printf("the report rebuilt the text of %zu inputs\n", corvane::fuzz::reports_judged());
    }
};
[[maybe_unused]] ::testing::Environment* const report_count = ::testing::AddGlobalTestEnvironment(new ReportCount);

}  // namespace

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
        EXPECT_EQ(outcome(corvane::repair_text(row.input.data(), row.input.size(), row.profile)),
                  expected_outcome(row));
    }
}

::testing::AssertionResult repairs_well_formed(std::string_view input) {
    for (const corvane::Profile profile : {corvane::Profile::Default, corvane::Profile::Model}) {
        const std::string broken = corvane::fuzz::repair_violation(input, profile);
        if (broken.empty()) continue;
        return ::testing::AssertionFailure() << (profile == corvane::Profile::Model ? "model profile: " : "")
                                             << broken << "\n  input: " << show(input);
    }
    return ::testing::AssertionSuccess();
}

std::filesystem::path test_data_dir() { return CORVANE_TEST_DATA_DIR; }
std::filesystem::path bench_data_dir() { return CORVANE_BENCH_DATA_DIR; }

}  // namespace corvane_test
