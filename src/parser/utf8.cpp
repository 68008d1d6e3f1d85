#include "parser/utf8.hpp"

#include <cstdint>
#include <cstring>

#include "lexer/scan.hpp"

#if defined(CORVANE_HAVE_SSE2) && defined(__GNUC__)
#include <tmmintrin.h>
#define CORVANE_HAVE_SSSE3_DISPATCH 1
#endif

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

#ifdef CORVANE_HAVE_SSSE3_DISPATCH
// Sixteen bytes at a time by table lookup on the high and low nibbles of each
// byte pair: every way a pair can be wrong sets a bit in all three lookups.
// Continuation bytes that a three- or four-byte lead asks for are expected,
// not errors, and are cancelled by the lead two or three bytes back.
namespace bits {
constexpr std::uint8_t TOO_SHORT = 1 << 0;   // lead or ASCII, then a lead or ASCII where a continuation was due
constexpr std::uint8_t TOO_LONG = 1 << 1;    // ASCII, then a continuation
constexpr std::uint8_t OVERLONG_3 = 1 << 2;  // E0, then 80..9F
constexpr std::uint8_t TOO_LARGE = 1 << 3;   // F4 then 90..BF, or F5..FF
constexpr std::uint8_t SURROGATE = 1 << 4;   // ED, then A0..BF
constexpr std::uint8_t OVERLONG_2 = 1 << 5;  // C0 or C1
constexpr std::uint8_t TOO_LARGE_1000 = 1 << 6;  // F5..FF, then 80..8F
constexpr std::uint8_t OVERLONG_4 = 1 << 6;  // F0, then 80..8F
constexpr std::uint8_t TWO_CONTS = 1 << 7;   // two continuations in a row
constexpr std::uint8_t CARRY = TOO_SHORT | TOO_LONG | TWO_CONTS;
}  // namespace bits

__attribute__((target("ssse3"))) inline __m128i high_nibbles(__m128i v) {
    return _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F));
}

__attribute__((target("ssse3"))) inline __m128i block_errors(__m128i input, __m128i previous) {
    using namespace bits;
    auto c = [](unsigned v) { return static_cast<char>(v); };
    const __m128i first_high = _mm_setr_epi8(
        c(TOO_LONG), c(TOO_LONG), c(TOO_LONG), c(TOO_LONG), c(TOO_LONG), c(TOO_LONG), c(TOO_LONG),
        c(TOO_LONG), c(TWO_CONTS), c(TWO_CONTS), c(TWO_CONTS), c(TWO_CONTS), c(TOO_SHORT | OVERLONG_2),
        c(TOO_SHORT), c(TOO_SHORT | OVERLONG_3 | SURROGATE),
        c(TOO_SHORT | TOO_LARGE | TOO_LARGE_1000 | OVERLONG_4));
    const unsigned large = CARRY | TOO_LARGE | TOO_LARGE_1000;
    const __m128i first_low = _mm_setr_epi8(
        c(CARRY | OVERLONG_3 | OVERLONG_2 | OVERLONG_4), c(CARRY | OVERLONG_2), c(CARRY), c(CARRY),
        c(CARRY | TOO_LARGE), c(large), c(large), c(large), c(large), c(large), c(large), c(large),
        c(large), c(large | SURROGATE), c(large), c(large));
    const unsigned continuation_80 = TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE_1000 | OVERLONG_4;
    const unsigned continuation_90 = TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE;
    const unsigned continuation_a0 = TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE | TOO_LARGE;
    const __m128i second_high = _mm_setr_epi8(
        c(TOO_SHORT), c(TOO_SHORT), c(TOO_SHORT), c(TOO_SHORT), c(TOO_SHORT), c(TOO_SHORT), c(TOO_SHORT),
        c(TOO_SHORT), c(continuation_80), c(continuation_90), c(continuation_a0), c(continuation_a0),
        c(TOO_SHORT), c(TOO_SHORT), c(TOO_SHORT), c(TOO_SHORT));

    const __m128i prev1 = _mm_alignr_epi8(input, previous, 15);
    const __m128i special = _mm_and_si128(
        _mm_and_si128(_mm_shuffle_epi8(first_high, high_nibbles(prev1)),
                      _mm_shuffle_epi8(first_low, _mm_and_si128(prev1, _mm_set1_epi8(0x0F)))),
        _mm_shuffle_epi8(second_high, high_nibbles(input)));
    // Bytes two after a three-byte lead, or three after a four-byte lead,
    // must be continuations: there TWO_CONTS is expected and cancels.
    const __m128i prev2 = _mm_alignr_epi8(input, previous, 14);
    const __m128i prev3 = _mm_alignr_epi8(input, previous, 13);
    const __m128i third = _mm_subs_epu8(prev2, _mm_set1_epi8(c(0xE0 - 0x80)));
    const __m128i fourth = _mm_subs_epu8(prev3, _mm_set1_epi8(c(0xF0 - 0x80)));
    const __m128i expected = _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(c(0x80)));
    return _mm_xor_si128(expected, special);
}

__attribute__((target("ssse3"))) bool is_valid_utf8_ssse3(const std::uint8_t* data, std::size_t length) {
    // A block that ends inside a sequence: the lead bytes that need more
    // bytes than the block has left.
    const __m128i last_complete = _mm_setr_epi8(
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xEF),
        static_cast<char>(0xDF), static_cast<char>(0xBF));
    __m128i previous = _mm_setzero_si128();
    __m128i errors = _mm_setzero_si128();
    __m128i incomplete = _mm_setzero_si128();
    std::size_t i = 0;
    auto check = [&](__m128i input) {
        if (_mm_movemask_epi8(input) == 0) {
            errors = _mm_or_si128(errors, incomplete);
            incomplete = _mm_setzero_si128();
        } else {
            errors = _mm_or_si128(errors, block_errors(input, previous));
            incomplete = _mm_subs_epu8(input, last_complete);
        }
        previous = input;
    };
    for (; length - i >= 16; i += 16) {
        check(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)));
    }
    if (i < length) {
        // The tail, padded with ASCII zeros: a sequence cut off by the end
        // then meets ASCII and reads as too short.
        alignas(16) std::uint8_t tail[16] = {};
        std::memcpy(tail, data + i, length - i);
        check(_mm_load_si128(reinterpret_cast<const __m128i*>(tail)));
    }
    errors = _mm_or_si128(errors, incomplete);
    return _mm_movemask_epi8(_mm_cmpeq_epi8(errors, _mm_setzero_si128())) == 0xFFFF;
}
#endif

}  // namespace

bool is_valid_utf8_reference(const char* text, std::size_t length) noexcept {
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

bool is_valid_utf8(const char* text, std::size_t length) noexcept {
#ifdef CORVANE_HAVE_SSSE3_DISPATCH
    static const bool has_ssse3 = __builtin_cpu_supports("ssse3");
    if (has_ssse3) return is_valid_utf8_ssse3(reinterpret_cast<const std::uint8_t*>(text), length);
#endif
    return is_valid_utf8_reference(text, length);
}

}  // namespace corvane
