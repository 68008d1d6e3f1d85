// UTF-8 validation of the engine's output: the last guard before a repaired
// text leaves the engine.
#pragma once

#include <cstddef>

namespace corvane {

// True when the bytes are well-formed UTF-8: no overlong forms, no encoded
// surrogates, nothing above U+10FFFF, no truncated sequence. Uses the
// vectorised check on 64-bit ARM and where an x86-64 processor has SSSE3.
bool is_valid_utf8(const char* data, std::size_t length) noexcept;

// The same answer one sequence at a time: the reference the vectorised check
// is tested against.
bool is_valid_utf8_reference(const char* data, std::size_t length) noexcept;

}  // namespace corvane
