// The byte-run scanners of lexer/scan.hpp over the sixteen-byte vectors of
// vector.hpp, written once for every target that has them (included by the
// target headers after vector.hpp). `Wide` takes over runs that outlast
// the first blocks where the processor has wider vectors.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lexer/scan.hpp"

namespace corvane {

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
// A run that outlasts the first blocks goes on in `Wide` (AVX2's thirty-two
// bytes at a time) where the processor has it.
template <class Wide>
struct VectorScan {
    // Most runs end within two blocks (indentation, keys, short strings):
    // those are scanned inline. A longer run goes on out of line, in
    // `Wide` where the processor has it, so the common case pays for
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
        if (wide_blocks(i, end)) return Wide::skip_whitespace_run(data, i, end);
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
        if (wide_blocks(i, end)) return Wide::skip_digits(data, i, end);
        while (end - i >= LANES) {
            const Lanes other = ~lanes(in_range(load(data + i), '0', '9'));
            if (other.any()) return i + other.first();
            i += LANES;
        }
        return ScalarScan::skip_digits(data, i, end);
    }
    // Whether a long run that goes on at `i` continues in `Wide`: there
    // must be room for a wide block, and the processor must have its
    // instructions.
    static bool wide_blocks(std::size_t i, std::size_t end) { return end - i >= Wide::LANES && Wide::usable(); }
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
        if (wide_blocks(i, end)) return Wide::copy_string_run(data, i, end, quote, out);
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

}  // namespace corvane
