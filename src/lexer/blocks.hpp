// A 64-byte block of input classified into bit masks, one bit per byte (the
// block's first byte in the lowest bit): what the strict stretch reads its
// tokens from. The scalar classifier and copier here are the twin that the
// vector kernels of the platform layer (platform/platform.hpp) are held to.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lexer/scan.hpp"

namespace corvane {

inline constexpr std::size_t BLOCK = 64;

// The bytes that stand between tokens of strict JSON.
inline constexpr std::uint8_t STRUCTURAL_BYTES[] = {'{', '}', '[', ']', ',', ':'};

constexpr bool is_structural(std::uint8_t byte) {
    for (const std::uint8_t structural : STRUCTURAL_BYTES) {
        if (byte == structural) return true;
    }
    return false;
}

// One block's bytes of each kind.
struct BlockBits {
    std::uint64_t whitespace = 0;
    std::uint64_t quote = 0;       // '"'
    std::uint64_t backslash = 0;
    std::uint64_t structural = 0;  // { } [ ] , :
    std::uint64_t control = 0;     // below 0x20
    std::uint64_t upper_e = 0;     // 'E'
    std::uint64_t digit = 0;       // 0 to 9
    std::uint64_t word_stop = 0;   // ' and /, which end a key without quotes
};

// The scalar twin: one byte at a time.
struct ScalarKernel {
    static BlockBits classify(const std::uint8_t* block) {
        BlockBits bits;
        for (std::size_t i = 0; i < BLOCK; ++i) {
            const std::uint8_t byte = block[i];
            const std::uint64_t bit = std::uint64_t(1) << i;
            if (is_whitespace(byte)) bits.whitespace |= bit;
            if (byte == '"') bits.quote |= bit;
            if (byte == '\\') bits.backslash |= bit;
            if (is_structural(byte)) bits.structural |= bit;
            if (byte < 0x20) bits.control |= bit;
            if (byte == 'E') bits.upper_e |= bit;
            if (byte >= '0' && byte <= '9') bits.digit |= bit;
            if (byte == '\'' || byte == '/') bits.word_stop |= bit;
        }
        return bits;
    }
    // The last `count` bytes of the input as a block, spaces after them.
    static void pad(std::uint8_t* tail, const std::uint8_t* bytes, std::size_t count) {
        std::memset(tail, ' ', BLOCK);
        std::memcpy(tail, bytes, count);
    }
    // Writes the block's bytes whose bit is set in `keep`, in order, to
    // `out`, which has room for 64 + 8; returns the number written.
    static std::size_t compress(const std::uint8_t* block, std::uint64_t keep, char* out) {
        std::size_t count = 0;
        for (; keep != 0; keep &= keep - 1) out[count++] = static_cast<char>(block[std::countr_zero(keep)]);
        return count;
    }
};

}  // namespace corvane
