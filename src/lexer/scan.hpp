// Byte-run scanners for the two runs that dominate real JSON: whitespace
// (indentation) and plain string content. Each has a plain scalar form, the
// reference, and a vectorised form that must find exactly the same position;
// the engine is instantiated with either (see parser/reference.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define CORVANE_HAVE_SSE2 1
#endif

#if defined(__GNUC__)
#define CORVANE_ALWAYS_INLINE inline __attribute__((always_inline))
#define CORVANE_NOINLINE __attribute__((noinline))
#else
#define CORVANE_ALWAYS_INLINE inline
#define CORVANE_NOINLINE
#endif

namespace corvane {

// One range check and one bit test: byte - 9 indexes a 24-bit mask whose set
// bits are tab, line feed, form feed, carriage return and space. 0x0B (vertical
// tab) is not whitespace.
inline constexpr bool is_whitespace(std::uint8_t byte) {
    const unsigned index = static_cast<unsigned>(byte) - 9u;
    return index <= 23u && ((0x80001Bu >> index) & 1u) != 0;
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
};

#ifdef CORVANE_HAVE_SSE2
// Sixteen bytes at a time with SSE2, which every x86-64 processor has; the
// tails shorter than a block go through the scalar loop.
struct SimdScan {
    static std::size_t skip_whitespace_run(const std::uint8_t* data, std::size_t i, std::size_t end) {
        // Most runs are one space after ':' or ','; test that before loading a block.
        if (i < end && !is_whitespace(data[i])) return i;
        const __m128i space = _mm_set1_epi8(' ');
        const __m128i tab = _mm_set1_epi8('\t');
        const __m128i line_feed = _mm_set1_epi8('\n');
        const __m128i carriage_return = _mm_set1_epi8('\r');
        const __m128i form_feed = _mm_set1_epi8('\f');
        while (end - i >= 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            const __m128i ws = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(block, space), _mm_cmpeq_epi8(block, line_feed)),
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, tab), _mm_cmpeq_epi8(block, carriage_return)),
                             _mm_cmpeq_epi8(block, form_feed)));
            const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(ws)) & 0xFFFFu;
            if (other != 0) return i + static_cast<std::size_t>(__builtin_ctz(other));
            i += 16;
        }
        return ScalarScan::skip_whitespace_run(data, i, end);
    }
    // Coordinates and ids are long digit runs: test sixteen at a time.
    static std::size_t skip_digits(const std::uint8_t* data, std::size_t i, std::size_t end) {
        const __m128i below_zero = _mm_set1_epi8('0' - 1);
        const __m128i above_nine = _mm_set1_epi8('9' + 1);
        while (end - i >= 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            // Signed compares: bytes of 0x80 and above are negative, so not digits.
            const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(block, below_zero),
                                                _mm_cmplt_epi8(block, above_nine));
            const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(digit)) & 0xFFFFu;
            if (other != 0) return i + static_cast<std::size_t>(__builtin_ctz(other));
            i += 16;
        }
        return ScalarScan::skip_digits(data, i, end);
    }
    // Stores each whole block into the output and keeps only its plain
    // prefix, so scanning and copying are one pass.
    template <class Output>
    static std::size_t copy_string_run(const std::uint8_t* data, std::size_t i, std::size_t end,
                                       std::uint8_t quote, Output& out) {
        const __m128i double_quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i opening = _mm_set1_epi8(static_cast<char>(quote));
        const __m128i last_control = _mm_set1_epi8(0x1F);
        while (end - i >= 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out.room(16)), block);
            const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(block, last_control), block);
            const __m128i special = _mm_or_si128(
                _mm_or_si128(control, _mm_cmpeq_epi8(block, double_quote)),
                _mm_or_si128(_mm_cmpeq_epi8(block, backslash), _mm_cmpeq_epi8(block, opening)));
            const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(special));
            if (mask != 0) {
                const unsigned plain = static_cast<unsigned>(__builtin_ctz(mask));
                out.advance(plain);
                return i + plain;
            }
            out.advance(16);
            i += 16;
        }
        return ScalarScan::copy_string_run(data, i, end, quote, out);
    }
    static constexpr bool NUMBER_FAST_PATH = true;
};
using FastScan = SimdScan;
#else
// Without SSE2 only the number fast path differs from the reference.
struct FastScan : ScalarScan {
    static constexpr bool NUMBER_FAST_PATH = true;
};
#endif

}  // namespace corvane
