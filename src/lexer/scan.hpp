// Byte-run scanners for the runs that dominate real JSON: whitespace
// (indentation), plain string content and digits, and for the ASCII stretches
// the output's UTF-8 check passes over. Each has a plain scalar form, the
// reference, and a vectorised form that must find exactly the same position;
// the engine is instantiated with either (see parser/reference.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "lexer/platform.hpp"
#include "lexer/vector.hpp"

namespace corvane {

// The bytes the engine treats as whitespace: tab, line feed, form feed,
// carriage return and space. 0x0B (vertical tab) is not one. Every
// whitespace test (the scalar one, the vector one, the command's) is made
// from this list.
inline constexpr std::uint8_t WHITESPACE_BYTES[] = {'\t', '\n', '\f', '\r', ' '};

namespace detail {
// Bit b - 9 set for each whitespace byte b: all of them lie in 9..32.
constexpr std::uint32_t whitespace_mask() {
    std::uint32_t mask = 0;
    for (const std::uint8_t byte : WHITESPACE_BYTES) mask |= 1u << (byte - 9u);
    return mask;
}
}  // namespace detail

// One range check and one bit test: byte - 9 indexes the mask above.
inline constexpr bool is_whitespace(std::uint8_t byte) {
    const unsigned index = static_cast<unsigned>(byte) - 9u;
    return index <= 23u && ((detail::whitespace_mask() >> index) & 1u) != 0;
}

// A byte that ends a run of plain string content: a control byte, '"' or
// '\\'. The opening quote of a single-quoted string is checked separately.
inline constexpr bool is_string_special(std::uint8_t byte) {
    return byte < 0x20 || byte == '"' || byte == '\\';
}

// The reference scanners: one byte at a time.
struct ScalarScan {
    // Index of the first byte at or after `i` that is not whitespace, or `end`.
    static std::size_t skip_whitespace_run(const std::uint8_t* data, std::size_t i, std::size_t end) {
        while (i < end && is_whitespace(data[i])) ++i;
        return i;
    }
    // Index of the first byte at or after `i` that is string-special or equal
    // to `quote`, or `end`.
    static std::size_t find_string_special(const std::uint8_t* data, std::size_t i, std::size_t end,
                                           std::uint8_t quote) {
        while (i < end && !is_string_special(data[i]) && data[i] != quote) ++i;
        return i;
    }
    // Index of the first byte at or after `i` that is not an ASCII digit, or `end`.
    static std::size_t skip_digits(const std::uint8_t* data, std::size_t i, std::size_t end) {
        while (i < end && data[i] >= '0' && data[i] <= '9') ++i;
        return i;
    }
    // Index of the first byte at or after `i` with the high bit set, or `end`.
    static std::size_t skip_ascii(const std::uint8_t* data, std::size_t i, std::size_t end) {
        while (i < end && data[i] < 0x80) ++i;
        return i;
    }
    // Appends the plain run that starts at `i` to `out` and returns where it
    // stops (as find_string_special).
    template <class Output>
    static std::size_t copy_string_run(const std::uint8_t* data, std::size_t i, std::size_t end,
                                       std::uint8_t quote, Output& out) {
        const std::size_t stop = find_string_special(data, i, end, quote);
        out.append(data + i, stop - i);
        return stop;
    }
    // Whether numbers in strict JSON form are copied without the general rewrite.
    static constexpr bool NUMBER_FAST_PATH = false;
    // The reference engine's scanners: every check it makes is scalar.
    static constexpr bool REFERENCE = true;
};

#ifdef CORVANE_HAVE_SIMD
// The lanes of `block` that hold one of WHITESPACE_BYTES.
CORVANE_ALWAYS_INLINE simd::Bytes whitespace_lanes(simd::Bytes block) {
    simd::Bytes any = simd::equal(block, simd::splat(WHITESPACE_BYTES[0]));
    for (std::size_t k = 1; k < sizeof WHITESPACE_BYTES; ++k) {
        any = any | simd::equal(block, simd::splat(WHITESPACE_BYTES[k]));
    }
    return any;
}

#ifdef CORVANE_HAVE_AVX2
namespace detail {
// A sixteen-entry table whose entry b & 15 is b exactly for the whitespace
// bytes (each has a low nibble of its own) and 0x80 elsewhere, which no
// byte below 0x80 equals; the lookup gives 0 for bytes of 0x80 and above.
// So lookup(table, block) == block finds whitespace in two instructions.
constexpr std::array<std::uint8_t, 16> whitespace_table() {
    std::array<std::uint8_t, 16> table{};
    for (auto& entry : table) entry = 0x80;
    for (const std::uint8_t byte : WHITESPACE_BYTES) {
        if (byte >= 0x80 || table[byte & 15] != 0x80) throw "whitespace bytes must differ in their low nibble";
        table[byte & 15] = byte;
    }
    return table;
}
inline constexpr std::array<std::uint8_t, 16> WHITESPACE_TABLE = whitespace_table();
}  // namespace detail

// Thirty-two bytes at a time, for long runs on processors with AVX2; the
// sixteen-byte scanners below hand such runs over after their first block.
// The tails shorter than a block go through the scalar loops.
struct Avx2Scan {
    CORVANE_TARGET_AVX2 static std::size_t skip_whitespace_run(const std::uint8_t* data, std::size_t i,
                                                               std::size_t end) {
        using namespace simd::wide;
        const Bytes table = splat16(detail::WHITESPACE_TABLE.data());
        while (end - i >= LANES) {
            const Bytes block = load(data + i);
            const Lanes other = ~lanes(equal(lookup(table, block), block));
            if (other.any()) return i + other.first();
            i += LANES;
        }
        return ScalarScan::skip_whitespace_run(data, i, end);
    }
    CORVANE_TARGET_AVX2 static std::size_t skip_digits(const std::uint8_t* data, std::size_t i, std::size_t end) {
        using namespace simd::wide;
        while (end - i >= LANES) {
            const Lanes other = ~lanes(in_range(load(data + i), '0', '9'));
            if (other.any()) return i + other.first();
            i += LANES;
        }
        return ScalarScan::skip_digits(data, i, end);
    }
    template <class Output>
    CORVANE_TARGET_AVX2 static std::size_t copy_string_run(const std::uint8_t* data, std::size_t i,
                                                           std::size_t end, std::uint8_t quote, Output& out) {
        using namespace simd::wide;
        const Bytes double_quote = splat('"');
        const Bytes backslash = splat('\\');
        const Bytes opening = splat(quote);
        const Bytes last_control = splat(0x1F);
        while (end - i >= LANES) {
            const Bytes block = load(data + i);
            store(out.room(LANES), block);
            const Bytes special = (at_most(block, last_control) | equal(block, double_quote)) |
                                  (equal(block, backslash) | equal(block, opening));
            const Lanes stops = lanes(special);
            if (stops.any()) {
                const std::size_t plain = stops.first();
                out.advance(plain);
                return i + plain;
            }
            out.advance(LANES);
            i += LANES;
        }
        return ScalarScan::copy_string_run(data, i, end, quote, out);
    }
};
#else
// Without AVX2, SimdScan::long_run() is always false and nothing is handed
// over; the name stays so that the scanners read the same on every target.
struct Avx2Scan : ScalarScan {};
#endif

// Sixteen bytes at a time (SSE2 on x86-64, NEON on 64-bit ARM: see
// vector.hpp); the tails shorter than a block go through the scalar loops.
// A run that outlasts the first block goes on in Avx2Scan where the
// processor has AVX2.
struct SimdScan {
    // Most runs end within two blocks (indentation, keys, short strings):
    // those are scanned inline. A longer run goes on out of line, in
    // Avx2Scan where the processor has AVX2, so the common case pays for
    // neither the call nor the test.
    static constexpr int INLINE_BLOCKS = 2;

    static std::size_t skip_whitespace_run(const std::uint8_t* data, std::size_t i, std::size_t end) {
        using namespace simd;
        // Most runs are one space after ':' or ','; test that before loading a block.
        if (i < end && !is_whitespace(data[i])) return i;
        for (int k = 0; k < INLINE_BLOCKS; ++k) {
            if (end - i < LANES) return ScalarScan::skip_whitespace_run(data, i, end);
            const Lanes other = ~lanes(whitespace_lanes(load(data + i)));
            if (other.any()) return i + other.first();
            i += LANES;
        }
        return skip_long_whitespace_run(data, i, end);
    }
    CORVANE_NOINLINE static std::size_t skip_long_whitespace_run(const std::uint8_t* data, std::size_t i,
                                                                 std::size_t end) {
        using namespace simd;
        if (wide_blocks(i, end)) return Avx2Scan::skip_whitespace_run(data, i, end);
        while (end - i >= LANES) {
            const Lanes other = ~lanes(whitespace_lanes(load(data + i)));
            if (other.any()) return i + other.first();
            i += LANES;
        }
        return ScalarScan::skip_whitespace_run(data, i, end);
    }
    // Coordinates and ids are long digit runs: test sixteen at a time.
    static std::size_t skip_digits(const std::uint8_t* data, std::size_t i, std::size_t end) {
        using namespace simd;
        for (int k = 0; k < INLINE_BLOCKS; ++k) {
            if (end - i < LANES) return ScalarScan::skip_digits(data, i, end);
            const Lanes other = ~lanes(in_range(load(data + i), '0', '9'));
            if (other.any()) return i + other.first();
            i += LANES;
        }
        return skip_long_digits(data, i, end);
    }
    CORVANE_NOINLINE static std::size_t skip_long_digits(const std::uint8_t* data, std::size_t i, std::size_t end) {
        using namespace simd;
        if (wide_blocks(i, end)) return Avx2Scan::skip_digits(data, i, end);
        while (end - i >= LANES) {
            const Lanes other = ~lanes(in_range(load(data + i), '0', '9'));
            if (other.any()) return i + other.first();
            i += LANES;
        }
        return ScalarScan::skip_digits(data, i, end);
    }
    // Whether a long run that goes on at `i` continues in Avx2Scan: there
    // must be room for a wide block, and the processor must have AVX2.
    static bool wide_blocks([[maybe_unused]] std::size_t i, [[maybe_unused]] std::size_t end) {
#ifdef CORVANE_HAVE_AVX2
        return end - i >= simd::wide::LANES && HAS_AVX2;
#else
        return false;
#endif
    }
    // Where the processor lacks the vector UTF-8 check, the scalar one
    // passes over ASCII with this.
    static std::size_t skip_ascii(const std::uint8_t* data, std::size_t i, std::size_t end) {
        using namespace simd;
        while (end - i >= LANES) {
            const Lanes high = high_bit_lanes(load(data + i));
            if (high.any()) return i + high.first();
            i += LANES;
        }
        return ScalarScan::skip_ascii(data, i, end);
    }
    // Stores each whole block into the output and keeps only its plain
    // prefix, so scanning and copying are one pass.
    template <class Output>
    static std::size_t copy_string_run(const std::uint8_t* data, std::size_t i, std::size_t end,
                                       std::uint8_t quote, Output& out) {
        for (int k = 0; k < INLINE_BLOCKS; ++k) {
            if (end - i < simd::LANES) return ScalarScan::copy_string_run(data, i, end, quote, out);
            if (const std::size_t plain = copy_string_block(data, i, quote, out); plain < simd::LANES) {
                return i + plain;
            }
            i += simd::LANES;
        }
        return copy_long_string_run(data, i, end, quote, out);
    }
    template <class Output>
    CORVANE_NOINLINE static std::size_t copy_long_string_run(const std::uint8_t* data, std::size_t i,
                                                             std::size_t end, std::uint8_t quote, Output& out) {
        if (wide_blocks(i, end)) return Avx2Scan::copy_string_run(data, i, end, quote, out);
        while (end - i >= simd::LANES) {
            if (const std::size_t plain = copy_string_block(data, i, quote, out); plain < simd::LANES) {
                return i + plain;
            }
            i += simd::LANES;
        }
        return ScalarScan::copy_string_run(data, i, end, quote, out);
    }
    // Copies the block at `i` and keeps its plain prefix; returns the
    // prefix's length (LANES when the whole block is plain).
    template <class Output>
    CORVANE_ALWAYS_INLINE static std::size_t copy_string_block(const std::uint8_t* data, std::size_t i,
                                                               std::uint8_t quote, Output& out) {
        using namespace simd;
        const Bytes block = load(data + i);
        store(out.room(LANES), block);
        const Bytes special = (at_most(block, splat(0x1F)) | equal(block, splat('"'))) |
                              (equal(block, splat('\\')) | equal(block, splat(quote)));
        const Lanes stops = lanes(special);
        const std::size_t plain = stops.any() ? stops.first() : LANES;
        out.advance(plain);
        return plain;
    }
    static constexpr bool NUMBER_FAST_PATH = true;
    static constexpr bool REFERENCE = false;
};
using FastScan = SimdScan;
#else
// Without vectors only the number fast path differs from the reference.
struct FastScan : ScalarScan {
    static constexpr bool NUMBER_FAST_PATH = true;
    static constexpr bool REFERENCE = false;
};
#endif

}  // namespace corvane
