#include "parser/utf8.hpp"

#include <cstdint>
#include <cstring>

#include "lexer/scan.hpp"

namespace corvane {

namespace {

// Index of the first byte at or after `i` with the high bit set, or `length`.
std::size_t skip_ascii(const std::uint8_t* data, std::size_t i, std::size_t length) {
#ifdef CORVANE_HAVE_SSE2
    while (length - i >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(block));
        if (high != 0) return i + static_cast<std::size_t>(__builtin_ctz(high));
        i += 16;
    }
#endif
    while (i < length && data[i] < 0x80) ++i;
    return i;
}

}  // namespace

bool is_valid_utf8(const char* text, std::size_t length) noexcept {
    const auto* data = reinterpret_cast<const std::uint8_t*>(text);
    std::size_t i = 0;
    for (;;) {
        i = skip_ascii(data, i, length);
        // Validate the run of multi-byte sequences that starts here.
        while (i < length && data[i] >= 0x80) {
            const std::uint8_t lead = data[i];
            std::size_t size;
            std::uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
            if (lead >= 0xC2 && lead <= 0xDF) {
                size = 2;
            } else if (lead >= 0xE0 && lead <= 0xEF) {
                size = 3;
                if (lead == 0xE0) low = 0xA0;   // overlong
                if (lead == 0xED) high = 0x9F;  // surrogates
            } else if (lead >= 0xF0 && lead <= 0xF4) {
                size = 4;
                if (lead == 0xF0) low = 0x90;   // overlong
                if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
            } else {
                return false;
            }
            if (length - i < size) return false;
            if (data[i + 1] < low || data[i + 1] > high) return false;
            if (size >= 3 && (data[i + 2] & 0xC0) != 0x80) return false;
            if (size == 4 && (data[i + 3] & 0xC0) != 0x80) return false;
            i += size;
        }
        if (i >= length) return true;
    }
}

}  // namespace corvane
