// The UTF-8 check on x86-64: thirty-two bytes at a time with AVX2, sixteen
// with SSSE3, and without either the sequence check with SSE2's ASCII skip.
#include "platform/platform.hpp"

#if defined(CORVANE_SIMD_SSE2)
#include "lexer/utf8_scan.hpp"
#include "platform/utf8_vector.hpp"

namespace corvane::platform {

bool is_valid_utf8(const std::uint8_t* data, std::size_t length) noexcept {
#if defined(CORVANE_HAVE_AVX2)
    if (HAS_AVX2) return check_wide_blocks(data, length);
#endif
    static const bool has_ssse3 = cpu_has_ssse3();
    if (has_ssse3) return check_blocks(data, length);
    return find_invalid_sequence<FastScan>(data, length) == length;
}

}  // namespace corvane::platform
#endif
