// Another revision of the engine, built beside this one so that a single run
// times both on the same inputs (run.sh --baseline REV). Its namespace is
// renamed at compile time, so the two never share a symbol.
#pragma once

#include <cstddef>

namespace corvane_bench {

// Whether a baseline engine was built into this benchmark.
bool has_baseline();

// Repairs with the baseline engine; returns whether it repaired (not refused)
// and the size of its output, which the caller keeps alive through `sink`.
bool baseline_repair(const char* data, std::size_t length, std::size_t& size);

}  // namespace corvane_bench
