// The stream against the whole-text repair: every input of the tables and the
// corpora, cut into pieces of every kind (one byte at a time, a few bytes,
// random sizes), must close with repair_text's result under either rule set
// while every snapshot stays valid and only grows.
#include <algorithm>
#include <random>

#include "parser/stream.hpp"

#include "../../fuzz/checks.hpp"
#include "cases.hpp"

namespace corvane_test {
namespace {

std::vector<std::size_t> every(std::size_t step, std::size_t size) {
    std::vector<std::size_t> cuts;
    for (std::size_t cut = step; cut < size; cut += step) cuts.push_back(cut);
    return cuts;
}

std::vector<std::size_t> random_cuts(std::string_view input, std::mt19937& rng, std::size_t mean) {
    std::vector<std::size_t> cuts;
    std::uniform_int_distribution<std::size_t> gap(1, 2 * mean);
    for (std::size_t cut = gap(rng); cut < input.size(); cut += gap(rng)) cuts.push_back(cut);
    return cuts;
}

// Cut between bytes, not inside characters: a piece from Python is text.
std::vector<std::size_t> between_characters(std::string_view input, std::vector<std::size_t> cuts) {
    for (std::size_t& cut : cuts) {
        while (cut > 0 && cut < input.size() && (static_cast<unsigned char>(input[cut]) & 0xC0) == 0x80) --cut;
    }
    return cuts;
}

void expect_streams_like_the_whole(const std::string& name, std::string_view input, std::mt19937& rng) {
    if (!is_valid_utf8(input)) return;
    // Small inputs: a snapshot after every piece. Large ones: 64 snapshots
    // whatever the pieces, which still come a few bytes at a time.
    const bool large = input.size() >= 4096;
    const std::size_t small = large ? input.size() / 64 : 1;
    for (const std::vector<std::size_t>& cuts :
         {every(small, input.size()), every(small + 2, input.size()), random_cuts(input, rng, small * 8),
          between_characters(input, random_cuts(input, rng, 3))}) {
        const std::size_t snapshot_every = large ? cuts.size() / 64 + 1 : 1;
        for (const corvane::Profile profile : {corvane::Profile::Default, corvane::Profile::Model}) {
            const std::string broken = corvane::fuzz::stream_violation(input, cuts, snapshot_every, profile);
            EXPECT_EQ(broken, "") << name << " in " << cuts.size() + 1 << " pieces"
                                  << (profile == corvane::Profile::Model ? ", model profile" : "");
            if (!broken.empty()) return;
        }
    }
}

TEST(Stream, TableInputs) {
    std::mt19937 rng(5);
    for (const std::vector<Case>* table : all_tables()) {
        for (const Case& row : *table) expect_streams_like_the_whole(show(row.input, 40), row.input, rng);
    }
    // What a snapshot must hold back, inside a container so that it is shown:
    // whitespace and a fence that the end may cut off, a number, keyword or
    // word, an escape, a quote waiting for its look-ahead, a comment.
    const std::string held_back[] = {
        "{\"a\": \"abc   ", "[\"x  " + FENCE, "[\"x" + FENCE + "y", "[1, 2", "[tr", "{\"a\": nul",
        "{\"k\": 12 , \"l\": -0.5e", "[\"\\u12", "[\"a\\", "{\"a\": \"x\" /* c */ b /* d */ : 1}",
        "{\"a\": \"x\"  b", "Here: {\"a\": [1, {\"b\": \"c", "{\"a\": 1 // note\n, b: \"\u00e9\"}",
        "{'a': 'it's'}", "[" + repeat("[", 130),
        // Strict JSON long enough for the strict stretch to run inside each
        // piece and hand back after a member's ':'.
        "{" + repeat("\"key\": [1, {\"a\": \"b\"}], \"k2\": ", 200) + "0}",
    };
    for (const std::string& input : held_back) expect_streams_like_the_whole(show(input, 40), input, rng);
}

TEST(Stream, ConformanceSuiteAndBenchDocuments) {
    std::mt19937 rng(6);
    std::size_t files = 0;
    for (const auto& dir : {test_data_dir() / "jsontestsuite" / "test_parsing", bench_data_dir()}) {
        if (!std::filesystem::is_directory(dir)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            const auto bytes = read_file(entry.path());
            if (!bytes) continue;
            expect_streams_like_the_whole(entry.path().filename().string(), *bytes, rng);
            // Cut-off documents end inside strings, numbers and comments.
            expect_streams_like_the_whole(entry.path().filename().string() + " cut", bytes->substr(0, bytes->size() * 2 / 3), rng);
            ++files;
        }
    }
    EXPECT_GE(files, 318u);
}

// Megabytes of one construct arriving a few bytes at a time: the stream keeps
// only what is not settled, and closes with the whole text's repair. A
// string, a comment or missing commas settle as they pass; a word or number
// is kept whole until it ends; whitespace until something firm follows (at
// the end it would be cut off); and prose until a bracket is found (without
// one, the text from its start is the value).
TEST(Stream, LongConstructsInSmallPieces) {
    const std::size_t units = 1 << 19;
    const std::size_t settled = 8192;
    const std::string prose = repeat("it's \"q\" /* c */ ", units);
    const std::string blanks = repeat(" \t\r\n", units);
    const struct {
        const char* name;
        std::string text;
        std::size_t keeps_at_most;
        corvane::Profile profile = corvane::Profile::Default;
    } rows[] = {
        {"open string", "{\"a\": \"" + repeat("fragment,", units), settled},
        {"string with escapes", "[\"" + repeat("a\\n\\u00e9 ", units) + "\"]", settled},
        {"open block comment", "[1 /*" + repeat("* / /* ", units), settled},
        {"block comment closed", "{\"a\": 1 /*" + repeat("** /", units) + "*/, \"b\": 2}", settled},
        {"line comments", "[1" + repeat(" // note\n", units) + "]", settled},
        {"open line comment", "[1, //" + repeat("x", 4 * units), settled},
        {"line comment in a quote's look-ahead", "{\"a\": \"x\" //" + repeat("x", 4 * units), settled},
        {"line comment before the value", "//" + repeat("x", 4 * units) + "\n[1]", settled},
        {"block comment before the value", "/*" + repeat("x", 4 * units) + "*/[1]", settled},
        {"missing commas", "{" + repeat("\"k\":1 ", units), settled},
        {"long number", "[1" + repeat("0", 4 * units) + "]", 4 * units + settled},
        {"long bareword", "[a" + repeat("b", 4 * units) + "]", 4 * units + settled},
        {"whitespace", "[1" + blanks + ", 2]", blanks.size() + settled},
        {"prose before the value", prose + "[1]", prose.size() + settled},
        // Under the model profile: inner quotes settle as they pass; a run
        // of words is kept until it ends; a reasoning block until it closes;
        // a quote or a brace whose look-ahead runs into a long key or first
        // member until that ends (read again a bounded number of times).
        {"model: inner quotes", "{\"a\": \"" + repeat("say \"hi\" ", units), settled, corvane::Profile::Model},
        {"model: quoted key after a quote", "{\"a\": \"x\" \"" + repeat("k", 4 * units) + "\": 1}",
         4 * units + settled, corvane::Profile::Model},
        {"model: word key after a quote", "{\"a\": \"x\" " + repeat("k", 4 * units) + ": 1}", 4 * units + settled,
         corvane::Profile::Model},
        {"model: a brace's first member", "[{\"" + repeat("k", 4 * units) + "\", 1}]", 4 * units + settled,
         corvane::Profile::Model},
        {"model: run of words", "[" + repeat("ab ", units) + "]", 3 * units + settled, corvane::Profile::Model},
        {"model: reasoning", "<think>" + repeat("a [b] ", units) + "</think>[1]", 6 * units + settled,
         corvane::Profile::Model},
    };
    for (const auto& row : rows) {
        corvane::RepairStream stream(row.profile);
        std::size_t most = 0;
        std::optional<corvane::RepairError> refused;
        for (std::size_t at = 0; at < row.text.size() && !refused; at += 7) {
            refused = stream.feed(std::string_view(row.text).substr(at, 7));
            most = std::max(most, stream.retained());
        }
        EXPECT_FALSE(refused) << row.name;
        EXPECT_LE(most, row.keeps_at_most) << row.name;
        corvane::RepairResult whole = corvane::repair_text(row.text.data(), row.text.size(), row.profile);
        corvane::RepairResult streamed = stream.close();
        ASSERT_TRUE(whole && streamed) << row.name;
        EXPECT_TRUE(whole.text() == streamed.text()) << row.name;
    }
}

TEST(Stream, GrowsIntoIsStrict) {
    const struct {
        const char* before;
        const char* after;
        bool grows;
    } rows[] = {
        {"\"ab\"", "\"abc\"", true},   {"\"ab\"", "\"a\"", false},     {"\"ab\"", "\"xb\"", false},
        {"[1]", "[1,2]", true},        {"[1,2]", "[1]", false},        {"[\"a\"]", "[\"ab\",1]", true},
        {"{\"a\":1}", "{\"a\":1,\"b\":2}", true}, {"{\"a\":1}", "{\"b\":1}", false},
        {"{\"a\":[]}", "{\"a\":[{}]}", true},     {"{\"a\":\"x\"}", "{\"a\":null}", false},
        {"1", "10", false},            {"null", "\"null\"", false},   {"{\"a\":1,\"a\":2}", "{\"a\":1,\"a\":2}", true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(corvane::fuzz::grows_into(row.before, row.after), row.grows) << row.before << " -> " << row.after;
    }
}

}  // namespace
}  // namespace corvane_test
