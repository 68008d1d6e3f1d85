// x86-64: SSE2 everywhere, SSSE3, AVX2 and AVX-512 where the processor has
// them (checked at run time). Included by platform.hpp only.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#define CORVANE_SIMD_SSE2 1

// SSSE3 is not part of the x86-64 baseline, so the functions that use it are
// compiled for it one by one and called only after cpu_has_ssse3(). GCC and
// Clang need the attribute to accept SSSE3 intrinsics in such a function;
// MSVC accepts them anywhere.
//
// AVX2 likewise: most x86-64 processors in use have it, none is required
// to. The run scanners and the UTF-8 check hand long runs to AVX2 forms
// after cpu_has_avx2(). The strict stretch counts and walks bit masks on
// every token: with POPCNT and BMI it does so in one instruction each.
// Every processor with AVX2 has them; HAS_AVX2 checks all four.
//
// AVX-512 with byte compares and byte compress (VBMI2, since Ice Lake and
// Zen 4) classifies and copies a 64-byte block in a few instructions. Only
// GCC and Clang builds use it; they check it at run time like AVX2.
#if defined(__GNUC__) || defined(__clang__)
#define CORVANE_TARGET_SSSE3 __attribute__((target("ssse3")))
#define CORVANE_TARGET_AVX2 __attribute__((target("avx2")))
#define CORVANE_TARGET_AVX2_BMI __attribute__((target("avx2,bmi,bmi2,popcnt")))
#define CORVANE_TARGET_AVX512 \
    __attribute__((target("avx512f,avx512bw,avx512vbmi2,avx2,bmi,bmi2,popcnt")))
#define CORVANE_HAVE_AVX2 1
#define CORVANE_HAVE_AVX512 1
#elif defined(_MSC_VER)
#define CORVANE_TARGET_SSSE3
#define CORVANE_TARGET_AVX2
#define CORVANE_TARGET_AVX2_BMI
#define CORVANE_HAVE_AVX2 1
#include <immintrin.h>
#include <intrin.h>
#endif

#include "platform/vector.hpp"
#include "platform/vector_scan.hpp"

namespace corvane {

// Whether the processor running this code has SSSE3.
inline bool cpu_has_ssse3() {
#if defined(__SSSE3__)
    return true;  // the whole build already requires it
#elif defined(_MSC_VER)
    int registers[4];  // eax, ebx, ecx, edx of leaf 1; SSSE3 is ecx bit 9
    __cpuid(registers, 1);
    return (registers[2] & (1 << 9)) != 0;
#else
    return __builtin_cpu_supports("ssse3");
#endif
}

#if defined(CORVANE_HAVE_AVX2)
// Whether the processor running this code has AVX2, and the system saves
// the wide registers.
inline bool cpu_has_avx2() {
#if defined(__AVX2__)
    return true;
#elif defined(_MSC_VER)
    int registers[4];
    __cpuid(registers, 1);
    const bool os_saves_ymm = (registers[2] & (1 << 27)) != 0 && (_xgetbv(0) & 6) == 6;
    __cpuidex(registers, 7, 0);
    return os_saves_ymm && (registers[1] & (1 << 5)) != 0;
#else
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("popcnt");
#endif
}

// Read once at start-up: the scanners test it on every long run.
inline const bool HAS_AVX2 = cpu_has_avx2();
#else
inline constexpr bool HAS_AVX2 = false;
#endif

#if defined(CORVANE_HAVE_AVX512)
// Whether the processor running this code has the AVX-512 subsets above,
// and the system saves the 512-bit registers.
inline bool cpu_has_avx512() {
    return cpu_has_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi2");
}
#endif

#if defined(CORVANE_HAVE_AVX2)
// Thirty-two bytes at a time, for long runs on processors with AVX2; the
// sixteen-byte scanners hand such runs over after their first blocks.
// The tails shorter than a block go through the scalar loops.
struct Avx2Scan {
    static constexpr std::size_t LANES = simd::wide::LANES;
    static bool usable() { return HAS_AVX2; }

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
// Without AVX2 nothing is handed over.
using Avx2Scan = NoWideScan;
#endif

using FastScan = VectorScan<Avx2Scan>;
using WideScan = Avx2Scan;

#if defined(CORVANE_HAVE_AVX2)
// For each eight-bit mask, the indices of its set bits in order: a shuffle
// by them packs the kept bytes of an eight-byte group to its front.
constexpr std::array<std::uint64_t, 256> make_pack_table() {
    std::array<std::uint64_t, 256> table{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned count = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if ((mask >> bit) & 1) table[mask] |= std::uint64_t(bit) << (8 * count++);
        }
    }
    return table;
}
constexpr std::array<std::uint64_t, 256> PACK_TABLE = make_pack_table();

struct Avx2Kernel {
    static bool usable() { return HAS_AVX2; }
    static void pad(std::uint8_t* tail, const std::uint8_t* bytes, std::size_t count) {
        ScalarKernel::pad(tail, bytes, count);
    }
    CORVANE_TARGET_AVX2_BMI CORVANE_ALWAYS_INLINE static std::uint64_t join(simd::wide::Bytes low,
                                                                           simd::wide::Bytes high) {
        return std::uint64_t(simd::wide::lanes(low).bits()) | std::uint64_t(simd::wide::lanes(high).bits()) << 32;
    }
    CORVANE_TARGET_AVX2_BMI CORVANE_ALWAYS_INLINE static simd::wide::Bytes structural_lanes(simd::wide::Bytes b) {
        using namespace simd::wide;
        Bytes any = equal(b, splat(STRUCTURAL_BYTES[0]));
        for (std::size_t k = 1; k < sizeof STRUCTURAL_BYTES; ++k) any = any | equal(b, splat(STRUCTURAL_BYTES[k]));
        return any;
    }
    CORVANE_TARGET_AVX2_BMI static BlockBits classify(const std::uint8_t* block) {
        using namespace simd::wide;
        const Bytes low = load(block);
        const Bytes high = load(block + LANES);
        const Bytes table = splat16(detail::WHITESPACE_TABLE.data());
        BlockBits bits;
        bits.whitespace = join(equal(lookup(table, low), low), equal(lookup(table, high), high));
        bits.quote = join(equal(low, splat('"')), equal(high, splat('"')));
        bits.backslash = join(equal(low, splat('\\')), equal(high, splat('\\')));
        bits.structural = join(structural_lanes(low), structural_lanes(high));
        bits.control = join(at_most(low, splat(0x1F)), at_most(high, splat(0x1F)));
        bits.upper_e = join(equal(low, splat('E')), equal(high, splat('E')));
        bits.digit = join(in_range(low, '0', '9'), in_range(high, '0', '9'));
        bits.word_stop = join(equal(low, splat('\'')) | equal(low, splat('/')),
                              equal(high, splat('\'')) | equal(high, splat('/')));
        return bits;
    }
    // A block kept whole is stored as it stands; otherwise each group of
    // eight is packed by one shuffle and stored, overlapping the next.
    CORVANE_TARGET_AVX2_BMI static std::size_t compress(const std::uint8_t* block,
                                                                             std::uint64_t keep, char* out) {
        if (keep == ~std::uint64_t(0)) {
            simd::wide::store(out, simd::wide::load(block));
            simd::wide::store(out + simd::wide::LANES, simd::wide::load(block + simd::wide::LANES));
            return BLOCK;
        }
        char* at = out;
        for (std::size_t group = 0; group < BLOCK / 8; ++group) {
            const unsigned mask = static_cast<unsigned>(keep >> (8 * group)) & 0xFF;
            const simd::Bytes packed = simd::lookup(simd::load8(block + 8 * group), simd::load8(&PACK_TABLE[mask]));
            simd::store8(at, packed);
            at += std::popcount(mask);
        }
        return static_cast<std::size_t>(at - out);
    }
};
#endif

#if defined(CORVANE_HAVE_AVX512)
// A block is one register: compares give the masks, and the copy is one
// compress and one store.
struct Avx512Kernel {
    static bool usable() {
        static const bool has = cpu_has_avx512();
        return has;
    }
    // One masked load and one store: the block is then read from where a
    // single store wrote it.
    CORVANE_TARGET_AVX512 static void pad(std::uint8_t* tail, const std::uint8_t* bytes, std::size_t count) {
        using namespace simd::full;
        store(tail, load_first(bytes, count, splat(' ')));
    }
    CORVANE_TARGET_AVX512 static BlockBits classify(const std::uint8_t* block) {
        using namespace simd::full;
        const Bytes b = load(block);
        BlockBits bits;
        bits.whitespace = equal(lookup(splat16(detail::WHITESPACE_TABLE.data()), b), b);
        bits.quote = equal(b, splat('"'));
        bits.backslash = equal(b, splat('\\'));
        for (const std::uint8_t structural : STRUCTURAL_BYTES) bits.structural |= equal(b, splat(structural));
        bits.control = at_most(b, splat(0x1F));
        bits.upper_e = equal(b, splat('E'));
        bits.digit = in_range(b, '0', '9');
        bits.word_stop = equal(b, splat('\'')) | equal(b, splat('/'));
        return bits;
    }
    CORVANE_TARGET_AVX512 static std::size_t compress(const std::uint8_t* block, std::uint64_t keep, char* out) {
        using namespace simd::full;
        store(out, simd::full::compress(load(block), keep));
        return static_cast<std::size_t>(std::popcount(keep));
    }
};
#endif

}  // namespace corvane

#if defined(CORVANE_HAVE_AVX512)
#define CORVANE_VECTOR_BLOCK_KERNELS(X) \
    X(Avx2, Avx2Kernel, CORVANE_TARGET_AVX2_BMI) X(Avx512, Avx512Kernel, CORVANE_TARGET_AVX512)
#elif defined(CORVANE_HAVE_AVX2)
#define CORVANE_VECTOR_BLOCK_KERNELS(X) X(Avx2, Avx2Kernel, CORVANE_TARGET_AVX2_BMI)
#else
#define CORVANE_VECTOR_BLOCK_KERNELS(X)
#endif
