// Properties that hold for every input, checked over the table inputs, the
// conformance suite, the benchmark documents and truncations of all of them:
// a result is strict, compact JSON that repairs to itself, and valid JSON
// keeps its value.
#include <algorithm>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "cases.hpp"

namespace corvane_test {
namespace {

namespace fs = std::filesystem;

struct NamedInput {
    std::string name;
    std::string bytes;
};

std::vector<NamedInput> read_json_files(const fs::path& dir) {
    std::vector<NamedInput> files;
    if (!fs::is_directory(dir)) return files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".json") continue;
        auto bytes = read_file(entry.path());
        if (bytes) files.push_back({entry.path().filename().string(), std::move(*bytes)});
    }
    std::sort(files.begin(), files.end(),
              [](const NamedInput& a, const NamedInput& b) { return a.name < b.name; });
    return files;
}

const std::vector<NamedInput>& conformance_files() {
    static const std::vector<NamedInput> files =
        read_json_files(test_data_dir() / "jsontestsuite" / "test_parsing");
    return files;
}

// The deepest nesting of a valid JSON text.
std::size_t nesting_depth(std::string_view valid_json) {
    std::size_t depth = 0;
    compact_valid_json(valid_json, depth);
    return depth;
}

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Cut points into `bytes`: all of them up to `all_below` bytes, else `spread`
// evenly spaced ones. A UTF-8 input is only cut between characters, so every
// truncation is itself UTF-8 and must not fault.
std::vector<std::size_t> cut_points(std::string_view bytes, std::size_t all_below,
                                    std::size_t spread) {
    const bool utf8 = is_valid_utf8(bytes);
    std::vector<std::size_t> cuts;
    auto add = [&](std::size_t cut) {
        while (utf8 && cut > 0 && cut < bytes.size() && is_continuation_byte(bytes[cut])) --cut;
        if (cuts.empty() || cuts.back() != cut) cuts.push_back(cut);
    };
    if (bytes.size() < all_below) {
        for (std::size_t cut = 0; cut < bytes.size(); ++cut) add(cut);
    } else {
        for (std::size_t k = 0; k < spread; ++k) add(bytes.size() * k / spread);
    }
    return cuts;
}

// Checks a whole input and its truncations.
void check_with_truncations(const std::string& name, std::string_view bytes,
                            std::size_t all_below, std::size_t spread) {
    EXPECT_TRUE(repairs_well_formed(bytes)) << "whole " << name;
    for (std::size_t cut : cut_points(bytes, all_below, spread)) {
        EXPECT_TRUE(repairs_well_formed(bytes.substr(0, cut))) << name << " cut at " << cut;
    }
}

// Valid JSON nested within the limit must repair to the same value.
::testing::AssertionResult keeps_value(std::string_view original) {
    const corvane::RepairResult result = corvane::repair_text(original);
    if (!result.ok()) return ::testing::AssertionFailure() << "refused: " << outcome(result);
    const nlohmann::json before = nlohmann::json::parse(neutralise_lone_surrogates(original));
    const std::string repaired = neutralise_lone_surrogates(result.text());
    if (!is_strict_json(result.text())) {
        return ::testing::AssertionFailure() << "not JSON: " << show(result.text());
    }
    if (nlohmann::json::parse(repaired) != before) {
        return ::testing::AssertionFailure() << "value changed: " << show(result.text());
    }
    return ::testing::AssertionSuccess();
}

TEST(Invariants, TableInputsAndEveryTruncation) {
    for (const std::vector<Case>* table : all_tables()) {
        for (const Case& row : *table) {
            check_with_truncations(show(row.input, 40), row.input, 4096, 64);
        }
    }
}

TEST(Invariants, ConformanceSuiteAndTruncations) {
    const auto& files = conformance_files();
    ASSERT_EQ(files.size(), 318u) << "conformance suite missing under " << test_data_dir();
    for (const NamedInput& file : files) check_with_truncations(file.name, file.bytes, 4096, 64);
}

TEST(Invariants, AcceptedConformanceFilesKeepTheirValue) {
    std::size_t compared = 0;
    for (const NamedInput& file : conformance_files()) {
        if (file.name.rfind("y_", 0) != 0) continue;
        if (nesting_depth(file.bytes) > corvane::MAX_DEPTH) continue;
        EXPECT_TRUE(keeps_value(file.bytes)) << file.name;
        ++compared;
    }
    EXPECT_EQ(compared, 95u);
}

TEST(Invariants, BenchDocumentsAndTruncations) {
    const fs::path dir = bench_data_dir();
    const auto files = read_json_files(dir);
    if (files.empty()) {
        GTEST_SKIP() << "no benchmark documents at " << dir.string()
                     << " (see benchmarks/data-path.txt); skipped";
    }
    for (const NamedInput& file : files) {
        if (nesting_depth(file.bytes) <= corvane::MAX_DEPTH) {
            EXPECT_TRUE(keeps_value(file.bytes)) << file.name;
        }
        check_with_truncations(file.name, file.bytes, 0, 64);
    }
}

}  // namespace
}  // namespace corvane_test
