// Runs a fuzz target over files and directories without libFuzzer, so a
// corpus and the saved regressions replay as an ordinary test under any
// compiler. A target that finds a broken property aborts the run.
#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

std::string current_input;

// A broken property aborts; name the input that broke it on the way out.
extern "C" void report_current_input(int signal_number) {
    std::fprintf(stderr, "replay: failing input: %s\n", current_input.c_str());
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            for (const auto& entry : fs::recursive_directory_iterator(arg)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
        } else if (fs::is_regular_file(arg, ec)) {
            files.push_back(arg);
        } else {
            std::fprintf(stderr, "replay: no such file or directory: %s\n", argv[i]);
            return 2;
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "replay: no inputs given\n");
        return 2;
    }
    std::signal(SIGABRT, report_current_input);
    std::signal(SIGSEGV, report_current_input);
    for (const auto& path : files) {
        const std::string bytes = corvane::fuzz::read_file(path).value_or(std::string());
        current_input = path.string();
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("replayed %zu inputs, all properties held (the report's on %zu)\n", files.size(),
                corvane::fuzz::reports_judged());
    return 0;
}
