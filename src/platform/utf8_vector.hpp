// The UTF-8 check over vectors, written once over the operations of
// vector.hpp for every target that has them; included by their .cpp files
// only. Held to lexer/utf8_scan.hpp by the tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/platform.hpp"

namespace corvane::platform {
namespace {

// Sixteen bytes at a time by table lookup on the high and low nibbles of each
// byte pair: every way a pair can be wrong sets a bit in all three lookups.
// Continuation bytes that a three- or four-byte lead asks for are expected,
// not errors, and are cancelled by the lead two or three bytes back. On
// x86-64 the lookups need SSSE3; NEON always has them.
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

using Table = std::array<std::uint8_t, simd::LANES>;

// Indexed by the high nibble of the first byte of a pair.
constexpr Table FIRST_HIGH = [] {
    using namespace bits;
    Table t{};
    for (int n = 0x0; n <= 0x7; ++n) t[n] = TOO_LONG;
    for (int n = 0x8; n <= 0xB; ++n) t[n] = TWO_CONTS;
    t[0xC] = TOO_SHORT | OVERLONG_2;
    t[0xD] = TOO_SHORT;
    t[0xE] = TOO_SHORT | OVERLONG_3 | SURROGATE;
    t[0xF] = TOO_SHORT | TOO_LARGE | TOO_LARGE_1000 | OVERLONG_4;
    return t;
}();

// Indexed by the low nibble of the first byte.
constexpr Table FIRST_LOW = [] {
    using namespace bits;
    Table t{};
    t[0x0] = CARRY | OVERLONG_3 | OVERLONG_2 | OVERLONG_4;
    t[0x1] = CARRY | OVERLONG_2;
    t[0x2] = CARRY;
    t[0x3] = CARRY;
    t[0x4] = CARRY | TOO_LARGE;
    for (int n = 0x5; n <= 0xF; ++n) t[n] = CARRY | TOO_LARGE | TOO_LARGE_1000;
    t[0xD] |= SURROGATE;
    return t;
}();

// Indexed by the high nibble of the second byte.
constexpr Table SECOND_HIGH = [] {
    using namespace bits;
    Table t{};
    for (auto& entry : t) entry = TOO_SHORT;
    t[0x8] = TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE_1000 | OVERLONG_4;
    t[0x9] = TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE;
    t[0xA] = TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE | TOO_LARGE;
    t[0xB] = t[0xA];
    return t;
}();

// A block that ends inside a sequence: the lead bytes that need more bytes
// than the block has left.
constexpr Table LAST_COMPLETE = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xDF, 0xBF};

CORVANE_TARGET_SSSE3 CORVANE_ALWAYS_INLINE simd::Bytes block_errors(simd::Bytes input, simd::Bytes previous) {
    using namespace simd;
    const Bytes prev1 = shifted_in<1>(input, previous);
    const Bytes special = lookup(load(FIRST_HIGH.data()), high_nibbles(prev1)) &
                          lookup(load(FIRST_LOW.data()), prev1 & splat(0x0F)) &
                          lookup(load(SECOND_HIGH.data()), high_nibbles(input));
    // Bytes two after a three-byte lead, or three after a four-byte lead,
    // must be continuations: there TWO_CONTS is expected and cancels.
    const Bytes third = saturating_sub(shifted_in<2>(input, previous), splat(0xE0 - 0x80));
    const Bytes fourth = saturating_sub(shifted_in<3>(input, previous), splat(0xF0 - 0x80));
    const Bytes expected = (third | fourth) & splat(0x80);
    return expected ^ special;
}

// What one block hands to the next: the block itself, the errors so far,
// and the sequences left open at its end.
struct BlockState {
    simd::Bytes previous;
    simd::Bytes errors;
    simd::Bytes incomplete;

    CORVANE_TARGET_SSSE3 CORVANE_ALWAYS_INLINE void check(simd::Bytes input) {
        using namespace simd;
        if (is_ascii(input)) {
            errors = errors | incomplete;
            incomplete = zero();
        } else {
            errors = errors | block_errors(input, previous);
            incomplete = saturating_sub(input, load(LAST_COMPLETE.data()));
        }
        previous = input;
    }

    // Checks the blocks of `data[i, length)` and says whether all was valid.
    CORVANE_TARGET_SSSE3 CORVANE_ALWAYS_INLINE bool finish(const std::uint8_t* data, std::size_t i,
                                                           std::size_t length) {
        using namespace simd;
        for (; length - i >= LANES; i += LANES) check(load(data + i));
        if (i < length) {
            // An ASCII tail, the usual end of a JSON text, is read in place:
            // the copy below would cost a short text more than its check.
            std::uint8_t high = 0;
            for (std::size_t k = i; k < length; ++k) high |= data[k];
            if (high < 0x80) {
                errors = errors | incomplete;
                incomplete = zero();
            } else {
                // The tail, padded with ASCII zeros: a sequence cut off by
                // the end then meets ASCII and reads as too short.
                std::uint8_t tail[LANES] = {};
                std::memcpy(tail, data + i, length - i);
                check(load(tail));
            }
        }
        return is_zero(errors | incomplete);
    }
};

CORVANE_TARGET_SSSE3 bool check_blocks(const std::uint8_t* data, std::size_t length) {
    using namespace simd;
    BlockState state{zero(), zero(), zero()};
    return state.finish(data, 0, length);
}

#ifdef CORVANE_HAVE_AVX2
// The same check, thirty-two bytes at a time where they are all ASCII (the
// bulk of most JSON): one test instead of two blocks of lookups. Other
// blocks go through the sixteen-byte lookups, half by half.
CORVANE_TARGET_AVX2 bool check_wide_blocks(const std::uint8_t* data, std::size_t length) {
    using namespace simd;
    BlockState state{zero(), zero(), zero()};
    std::size_t i = 0;
    for (; length - i >= wide::LANES; i += wide::LANES) {
        const wide::Bytes block = wide::load(data + i);
        if (wide::is_ascii(block)) {
            state.errors = state.errors | state.incomplete;
            state.incomplete = zero();
            state.previous = wide::high_half(block);
        } else {
            state.check(wide::low_half(block));
            state.check(wide::high_half(block));
        }
    }
    return state.finish(data, i, length);
}
#endif

}  // namespace
}  // namespace corvane::platform
