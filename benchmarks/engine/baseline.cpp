// Compiled against the baseline revision's headers, with its namespace
// renamed (see CMakeLists.txt), or without one: then there is no baseline.
#include "baseline.hpp"

#ifdef CORVANE_BENCH_BASELINE
#include "parser/repair.hpp"
#endif

namespace corvane_bench {

#ifdef CORVANE_BENCH_BASELINE
bool has_baseline() { return true; }

bool baseline_repair(const char* data, std::size_t length, std::size_t& size) {
    const auto result = corvane::repair_text(data, length);
    size = result.ok() ? result.text().size() : 0;
    return result.ok();
}
#else
bool has_baseline() { return false; }

bool baseline_repair(const char*, std::size_t, std::size_t& size) {
    size = 0;
    return false;
}
#endif

}  // namespace corvane_bench
