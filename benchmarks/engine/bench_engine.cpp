// Throughput of the engine alone: repair_text over every JSON file of a
// benchmark folder, as it is and deliberately broken, and simdjson's DOM parse
// of the same valid files as the yardstick of a fast reader on those bytes.
//
// Usage: corvane_engine_bench [Google Benchmark flags] [--growth=MB,MB,...] BENCH_DIR
// Each benchmark also reports a "min" aggregate when run with
// --benchmark_repetitions, so the best and the median run can be compared.
// Besides the files: the fixed cost of one call on two small texts, and
// dense repairs (a repair every few bytes) at 1 MB. --growth adds
// pathological inputs at the given sizes (in MB), next to a plain copy into
// a fresh buffer of the same size: a repair that is linear keeps its time
// per MB as flat as the copy's. Built with a baseline (run.sh --baseline),
// every repair is also timed with the baseline engine in the same run.
// report_text, the repair with the report of its edits, is timed on the
// files and the small calls beside repair_text.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "baseline.hpp"
#include "parser/repair.hpp"
#include "parser/report.hpp"

namespace {

struct Input {
    std::string file;
    std::string variant;  // "valid" or "broken"
    std::string bytes;
};

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The broken variant, identical to the one bench.py makes: every ',' that is
// followed by a space or a line feed goes, then the last hundredth of the
// characters (code points, not bytes) is cut off. That gives the two faults
// generated JSON shows most: missing commas and a text that stops mid-value.
std::string make_broken(const std::string& valid) {
    std::string out;
    out.reserve(valid.size());
    for (std::size_t i = 0; i < valid.size(); ++i) {
        const bool comma_before_space = valid[i] == ',' && i + 1 < valid.size() &&
                                        (valid[i + 1] == ' ' || valid[i + 1] == '\n');
        if (!comma_before_space) out.push_back(valid[i]);
    }
    auto is_continuation = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
    std::size_t chars = 0;
    for (char c : out) chars += !is_continuation(c);
    const std::size_t keep = chars - chars / 100;
    std::size_t seen = 0;
    std::size_t cut = 0;
    while (cut < out.size()) {
        if (!is_continuation(out[cut])) {
            if (seen == keep) break;
            ++seen;
        }
        ++cut;
    }
    out.resize(cut);
    return out;
}

double min_of(const std::vector<double>& values) {
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

void bench_repair(benchmark::State& state, const Input* input) {
    const corvane::RepairResult first = corvane::repair_text(input->bytes.data(), input->bytes.size());
    if (!first.ok()) {
        state.SkipWithError(std::string(corvane::error_message(first.error())).c_str());
        return;
    }
    for (auto _ : state) {
        corvane::RepairResult result = corvane::repair_text(input->bytes.data(), input->bytes.size());
        benchmark::DoNotOptimize(result.text().data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(input->bytes.size()));
    state.counters["input_bytes"] = static_cast<double>(input->bytes.size());
}

void bench_report(benchmark::State& state, const Input* input) {
    for (auto _ : state) {
        corvane::RepairReport report = corvane::report_text(input->bytes.data(), input->bytes.size());
        benchmark::DoNotOptimize(report.text.data());
        benchmark::DoNotOptimize(report.edits.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(input->bytes.size()));
    state.counters["input_bytes"] = static_cast<double>(input->bytes.size());
}

void bench_baseline(benchmark::State& state, const Input* input) {
    std::size_t size = 0;
    if (!corvane_bench::baseline_repair(input->bytes.data(), input->bytes.size(), size)) {
        state.SkipWithError("the baseline refuses this input");
        return;
    }
    for (auto _ : state) {
        const bool ok = corvane_bench::baseline_repair(input->bytes.data(), input->bytes.size(), size);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(size);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(input->bytes.size()));
    state.counters["input_bytes"] = static_cast<double>(input->bytes.size());
}

void bench_simdjson(benchmark::State& state, const Input* input) {
    const simdjson::padded_string padded(input->bytes);
    simdjson::dom::parser parser;
    if (parser.parse(padded).error() != simdjson::SUCCESS) {
        state.SkipWithError("simdjson rejects this input");
        return;
    }
    for (auto _ : state) {
        simdjson::dom::element doc;
        auto error = parser.parse(padded).get(doc);
        benchmark::DoNotOptimize(error);
        benchmark::DoNotOptimize(doc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(input->bytes.size()));
    state.counters["input_bytes"] = static_cast<double>(input->bytes.size());
}

// Shapes that a repair which looks back or rescans would turn quadratic: a
// prefix and a unit repeated up to the wanted size. The same as bench.py's.
struct Family {
    const char* slug;
    std::string prefix;
    std::string unit;
};

std::vector<Family> growth_families() {
    return {
        {"open_string", "{\"a\": \"", "fragment,"},
        {"x_brace_repeated", "", "\"x}\""},
        {"missing_commas", "{", "\"k\":1 "},
        {"look_ahead", "{", "\"a\":\"x\" b:1 "},
        {"stray_bytes", "[", ":,;!"},
        {"block_comment", "[1 /*", "* / /* "},
        {"nesting_127", "[", std::string(126, '[') + std::string(126, ']')},
        {"prose_no_bracket", "", "it's \"q\" /* c */ "},
        {"unquoted_keys", "{", "key: 1, "},
        {"short_escapes", "[\"", "ab\\u12 "},
    };
}

// The families where a repair comes every few bytes, timed at 1 MB.
bool is_dense(const Family& family) {
    const std::string slug = family.slug;
    return slug == "missing_commas" || slug == "look_ahead" || slug == "nesting_127" ||
           slug == "unquoted_keys" || slug == "short_escapes";
}

// The fixed cost of a call: a small valid object, and a model's short
// broken reply (prose, a fence, single quotes, a missing comma, keywords,
// a number without its leading digit, nothing closed).
std::vector<Input> small_calls() {
    return {
        {"object_82", "call", R"({"id": 12345, "name": "Ann Lee", "tags": ["a", "b"], "active": true, "score": 0.5})"},
        {"reply_105", "call",
         "Here it is:\n```json\n{'name': 'Ann', age: 31, tags: [\"a\" \"b\",], active: True, note: None, "
         "\"score\": .5, n:7"},
    };
}

std::string growth_input(const Family& family, std::size_t size) {
    std::string text = family.prefix;
    const std::size_t room = size > text.size() ? size - text.size() : 0;
    const std::size_t count = std::max<std::size_t>(1, room / family.unit.size());
    text.reserve(text.size() + count * family.unit.size());
    for (std::size_t i = 0; i < count; ++i) text += family.unit;
    return text;
}

// What a buffer of the input's size costs here with no repair at all:
// reserve it fresh, as repair_text does, and copy the input in.
void bench_copy(benchmark::State& state, const Input* input) {
    for (auto _ : state) {
        std::string out;
        out.reserve(input->bytes.size() + 16);
        out.append(input->bytes);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(input->bytes.size()));
    state.counters["input_bytes"] = static_cast<double>(input->bytes.size());
}

// Registers growth/<family>/<bytes> and growth/copy/<bytes> for every size;
// the growth inputs are appended to `inputs`. CPU time, three repetitions:
// the sizes run far apart, and other processes' load must not fake a growth.
void register_growth(const std::vector<double>& sizes_mb, std::deque<Input>& inputs) {
    const auto families = growth_families();
    for (double mb : sizes_mb) {
        const auto size = static_cast<std::size_t>(mb * 1e6);
        const Input* largest = nullptr;
        for (const Family& family : families) {
            inputs.push_back({family.slug, "growth", growth_input(family, size)});
            const Input* input = &inputs.back();
            if (largest == nullptr || input->bytes.size() > largest->bytes.size()) largest = input;
            const std::string name = "growth/" + std::string(family.slug) + "/" + std::to_string(size);
            benchmark::RegisterBenchmark(name.c_str(), bench_repair, input)
                ->Unit(benchmark::kMillisecond)
                ->Repetitions(3)
                ->ComputeStatistics("min", min_of);
        }
        benchmark::RegisterBenchmark(("growth/copy/" + std::to_string(size)).c_str(), bench_copy, largest)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(3)
            ->ComputeStatistics("min", min_of);
    }
}

// "1,4,16" -> {1, 4, 16}; an empty or malformed list gives nothing.
std::vector<double> parse_sizes(const std::string& list) {
    std::vector<double> sizes;
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        try {
            const double mb = std::stod(list.substr(start, comma - start));
            if (mb > 0) sizes.push_back(mb);
        } catch (const std::exception&) {
            return {};
        }
        start = comma + 1;
    }
    return sizes;
}

// repair/<variant>/<name>, baseline/<variant>/<name> when there is a
// baseline, report/<variant>/<name> for the files and calls, and
// simdjson/valid/<name> for the valid files.
void register_all(const std::deque<Input>& inputs) {
    for (const Input& input : inputs) {
        const std::string suffix = "/" + input.variant + "/" + input.file;
        const benchmark::TimeUnit unit = input.variant == "call" ? benchmark::kNanosecond : benchmark::kMillisecond;
        benchmark::RegisterBenchmark(("repair" + suffix).c_str(), bench_repair, &input)
            ->Unit(unit)
            ->UseRealTime()
            ->ComputeStatistics("min", min_of);
        if (input.variant != "dense") {
            benchmark::RegisterBenchmark(("report" + suffix).c_str(), bench_report, &input)
                ->Unit(unit)
                ->UseRealTime()
                ->ComputeStatistics("min", min_of);
        }
        if (corvane_bench::has_baseline()) {
            benchmark::RegisterBenchmark(("baseline" + suffix).c_str(), bench_baseline, &input)
                ->Unit(unit)
                ->UseRealTime()
                ->ComputeStatistics("min", min_of);
        }
        if (input.variant == "valid") {
            benchmark::RegisterBenchmark(("simdjson" + suffix).c_str(), bench_simdjson, &input)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->ComputeStatistics("min", min_of);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::string dir_arg;
    std::vector<double> growth_sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--growth=", 0) == 0) {
            growth_sizes = parse_sizes(arg.substr(9));
            if (growth_sizes.empty()) {
                std::fprintf(stderr, "--growth wants sizes in MB, such as --growth=1,4,16,64\n");
                return 2;
            }
        } else if (dir_arg.empty() && arg.rfind("--", 0) != 0) {
            dir_arg = arg;
        } else {
            std::fprintf(stderr, "usage: %s [benchmark flags] [--growth=MB,...] BENCH_DIR\n", argv[0]);
            return 2;
        }
    }
    if (dir_arg.empty()) {
        std::fprintf(stderr, "usage: %s [benchmark flags] [--growth=MB,...] BENCH_DIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir = dir_arg;
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (entry.is_regular_file() && entry.path().extension() == ".json") files.push_back(entry.path());
    }
    if (files.empty()) {
        std::fprintf(stderr, "no .json files in %s: nothing to measure\n", dir.string().c_str());
        return 3;
    }
    std::sort(files.begin(), files.end());

    // A deque keeps every Input where it is while the benchmarks hold pointers.
    std::deque<Input> inputs;
    for (const auto& path : files) {
        std::string valid = read_file(path);
        std::string broken = make_broken(valid);
        inputs.push_back({path.filename().string(), "valid", std::move(valid)});
        inputs.push_back({path.filename().string(), "broken", std::move(broken)});
    }
    for (Input& call : small_calls()) inputs.push_back(std::move(call));
    for (const Family& family : growth_families()) {
        if (is_dense(family)) inputs.push_back({family.slug, "dense", growth_input(family, 1'000'000)});
    }
    register_all(inputs);
    if (!growth_sizes.empty()) register_growth(growth_sizes, inputs);
    // Which simdjson kernel ran decides what the reference figure means.
    benchmark::AddCustomContext("simdjson_kernel", simdjson::get_active_implementation()->name());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
