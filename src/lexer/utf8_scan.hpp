// Well-formed UTF-8, one sequence at a time: the definition the vector
// checks of the platform layer are held to, and their fallback.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

// One sequence at a time, with `Scan::skip_ascii` over the ASCII between
// them: the reference with the scalar scanner, the fallback of x86-64
// processors without SSSE3 with the vector one. Returns the offset of the
// lead byte of the first sequence that is not well-formed, or `length`.
template <class Scan>
inline std::size_t find_invalid_sequence(const std::uint8_t* data, std::size_t length) {
    std::size_t i = 0;
    for (;;) {
        i = Scan::skip_ascii(data, i, length);
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
                return i;
            }
            if (length - i < size) return i;
            if (data[i + 1] < low || data[i + 1] > high) return i;
            if (size >= 3 && (data[i + 2] & 0xC0) != 0x80) return i;
            if (size == 4 && (data[i + 3] & 0xC0) != 0x80) return i;
            i += size;
        }
        if (i >= length) return length;
    }
}

}  // namespace corvane
