#include "parser/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace corvane {

bool is_valid_utf8(const char* text, std::size_t length) noexcept {
    const auto* data = reinterpret_cast<const std::uint8_t*>(text);
    std::size_t i = 0;
    while (i < length) {
        // Most JSON is ASCII: test eight bytes at a time for a high bit.
        if (length - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, data + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const std::uint8_t lead = data[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t size;
        std::uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            size = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            size = 3;
            if (lead == 0xE0) low = 0xA0;       // overlong
            if (lead == 0xED) high = 0x9F;      // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            size = 4;
            if (lead == 0xF0) low = 0x90;       // overlong
            if (lead == 0xF4) high = 0x8F;      // above U+10FFFF
        } else {
            return false;
        }
        if (length - i < size) return false;
        if (data[i + 1] < low || data[i + 1] > high) return false;
        for (std::size_t k = 2; k < size; ++k) {
            if ((data[i + k] & 0xC0) != 0x80) return false;
        }
        i += size;
    }
    return true;
}

}  // namespace corvane
