// The UTF-8 check on a processor without vectors: one sequence at a time.
#include "platform/platform.hpp"

#if !defined(CORVANE_SIMD_SSE2) && !defined(CORVANE_SIMD_NEON)
#include "lexer/utf8_scan.hpp"

namespace corvane::platform {

bool is_valid_utf8(const std::uint8_t* data, std::size_t length) noexcept {
    return find_invalid_sequence<ScalarScan>(data, length) == length;
}

}  // namespace corvane::platform
#endif
