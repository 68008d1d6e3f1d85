// Shared helpers of the engine tests: the row type of the repair tables, byte
// builders for inputs that cannot be written as plain text, and the checks
// that every successful repair must pass.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "../../fuzz/checks.hpp"
#include "parser/repair.hpp"

namespace corvane_test {

using corvane::RepairError;

// Bytes that must never stand raw in a source file.
inline const std::string BOM = "\xEF\xBB\xBF";
inline const std::string FENCE(3, '\x60');
inline const std::string NUL(1, '\0');

// One byte given by value, for control bytes in the middle of an input.
inline std::string byte(unsigned char b) { return std::string(1, static_cast<char>(b)); }

std::string repeat(std::string_view text, std::size_t times);

// One row of a repair table: an input and either the exact output or the
// refusal it must produce.
struct Case {
    std::string input;
    std::string expected;
    std::optional<RepairError> error;
    corvane::Profile profile = corvane::Profile::Default;
};

inline Case repairs(std::string input, std::string expected) {
    return Case{std::move(input), std::move(expected), std::nullopt};
}
inline Case refuses(std::string input, RepairError error) {
    return Case{std::move(input), std::string(), error};
}
// Rows under the model profile's rules.
inline Case model_repairs(std::string input, std::string expected) {
    return Case{std::move(input), std::move(expected), std::nullopt, corvane::Profile::Model};
}
inline Case model_refuses(std::string input) {
    return Case{std::move(input), std::string(), RepairError::AmbiguousQuote, corvane::Profile::Model};
}

// Printable form of arbitrary bytes for failure messages, cut to `limit`.
std::string show(std::string_view bytes, std::size_t limit = 120);

// "text: <output>" or "refused: <kind>", so one comparison shows both sides.
std::string outcome(const corvane::RepairResult& result);
std::string expected_outcome(const Case& row);

// Runs every row of a table and reports each mismatch with its input.
void expect_table(const std::vector<Case>& table);

// The judges, shared with the fuzz targets: strict UTF-8 and JSON, the
// properties of every repair, and the one file reader.
using corvane::fuzz::compact_valid_json;
using corvane::fuzz::is_strict_json;
using corvane::fuzz::is_valid_utf8;
using corvane::fuzz::neutralise_lone_surrogates;
using corvane::fuzz::read_file;
using corvane::fuzz::shorten_digit_runs;

// Repairs `input` under both rule sets and checks what every result must
// satisfy (the judges' repair_violation: the engines agree, and the result
// has every property of a repair).
::testing::AssertionResult repairs_well_formed(std::string_view input);

std::filesystem::path test_data_dir();
std::filesystem::path bench_data_dir();

}  // namespace corvane_test
