// The repair engine's public face: bytes in, repaired JSON text or a refusal
// out. Knows nothing of Python. Every front-end (module, command, tests,
// fuzz targets, benchmarks) includes this header, and stream.hpp for text
// that is still arriving, and links the engine library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parser/errors.hpp"

namespace corvane {

// Repairs `length` bytes at `data` into one compact JSON text. Precondition:
// the bytes are valid UTF-8 (a NUL is ordinary content); the output is checked
// before it is handed out, so input that is not UTF-8 ends in InternalFault,
// never in invalid output. Front-ends check their input first (the module's
// str is UTF-8 by construction, the command checks files). Reads exactly one
// value, the first; input without a value gives "null". Throws std::bad_alloc
// when memory runs out and InternalFault on a broken invariant; refusals are
// returned, not thrown.
RepairResult repair_text(const char* data, std::size_t length);

// The rule sets a repair may follow: the default rules, and the model
// profile, which adds rules for what language models write around and
// inside JSON (reasoning blocks, Python and JavaScript literals, curly
// quotes, barewords, quotes inside strings). Valid JSON is kept by both.
enum class Profile : std::uint8_t { Default, Model };

// repair_text under the rules of `profile` (Default: exactly repair_text).
RepairResult repair_text(const char* data, std::size_t length, Profile profile);

inline RepairResult repair_text(std::string_view input) {
    return repair_text(input.data(), input.size());
}

}  // namespace corvane
