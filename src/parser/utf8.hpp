// UTF-8 validation: the last guard before a repaired text leaves the engine,
// and the one definition of well-formed UTF-8 that the command, the tests and
// the fuzz targets use too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

namespace platform {
// The check itself, in the platform layer (platform/platform.hpp).
bool is_valid_utf8(const std::uint8_t* data, std::size_t length) noexcept;
}  // namespace platform

// True when the bytes are well-formed UTF-8: no overlong forms, no encoded
// surrogates, nothing above U+10FFFF, no truncated sequence. Uses the
// vectorised check on 64-bit ARM and where an x86-64 processor has SSSE3
// (with ASCII passed over thirty-two bytes at a time where it has AVX2).
inline bool is_valid_utf8(const char* data, std::size_t length) noexcept {
    return platform::is_valid_utf8(reinterpret_cast<const std::uint8_t*>(data), length);
}

// The same answer one sequence at a time: the reference the vectorised check
// is tested against.
bool is_valid_utf8_reference(const char* data, std::size_t length) noexcept;

// Where the reference check stops: the offset of the first byte that does not
// start or continue a well-formed sequence (the lead of a cut-off or wrong
// sequence), or `length` when all of it is well-formed.
std::size_t find_invalid_utf8(const char* data, std::size_t length) noexcept;

}  // namespace corvane
