// Byte-run scanners for the runs that dominate real JSON: whitespace
// (indentation), plain string content and digits, and for the ASCII stretches
// the output's UTF-8 check passes over. Each has a plain scalar form, the
// reference, and a vectorised form that must find exactly the same position;
// the engine is instantiated with either (see parser/reference.hpp).
#pragma once

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

// Sixteen bytes at a time (SSE2 on x86-64, NEON on 64-bit ARM: see
// vector.hpp); the tails shorter than a block go through the scalar loops.
struct SimdScan {
    static std::size_t skip_whitespace_run(const std::uint8_t* data, std::size_t i, std::size_t end) {
        using namespace simd;
        // Most runs are one space after ':' or ','; test that before loading a block.
        if (i < end && !is_whitespace(data[i])) return i;
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
        while (end - i >= LANES) {
            const Lanes other = ~lanes(in_range(load(data + i), '0', '9'));
            if (other.any()) return i + other.first();
            i += LANES;
        }
        return ScalarScan::skip_digits(data, i, end);
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
        using namespace simd;
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
