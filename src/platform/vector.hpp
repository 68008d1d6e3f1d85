// Vectors of bytes: the few operations the byte-run scanners, the strict
// stretch's block kernels and the UTF-8 check are written in, implemented
// once per instruction set: sixteen bytes with SSE2 and SSSE3 (namespace
// simd) or NEON, thirty-two with AVX2 (simd::wide) and sixty-four with
// AVX-512 (simd::full) on x86-64. The algorithms written over them are the
// same on every target. Included by the target headers of the platform
// layer, which say first which instruction set the target has.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(CORVANE_SIMD_SSE2)
#include <emmintrin.h>
#include <immintrin.h>
#include <tmmintrin.h>
#define CORVANE_HAVE_SIMD 1
#elif defined(CORVANE_SIMD_NEON)
#include <arm_neon.h>
#define CORVANE_HAVE_SIMD 1
#endif

#ifdef CORVANE_HAVE_SIMD
namespace corvane::simd {

inline constexpr std::size_t LANES = 16;

// The lanes of a comparison as an integer, lowest lane in the lowest bits,
// `Width` bits per lane: SSE2 gives one bit per lane (movemask), NEON four
// (a narrowing shift, since it has no movemask).
template <class Bits, unsigned Width, std::size_t Count = LANES>
class LaneMask {
public:
    explicit constexpr LaneMask(Bits bits) : bits_(bits) {}
    constexpr bool any() const { return bits_ != 0; }
    // Index of the lowest set lane; only when any().
    constexpr std::size_t first() const { return static_cast<std::size_t>(std::countr_zero(bits_)) / Width; }
    constexpr LaneMask operator~() const { return LaneMask(~bits_ & ALL); }
    // The lanes themselves, for masks built from several blocks.
    constexpr Bits bits() const { return bits_; }

private:
    static constexpr Bits ALL = static_cast<Bits>(~Bits(0)) >> (8 * sizeof(Bits) - Width * Count);
    Bits bits_;
};

#if defined(CORVANE_SIMD_SSE2)

struct Bytes {
    __m128i v;
};
using Lanes = LaneMask<std::uint32_t, 1>;

CORVANE_ALWAYS_INLINE Bytes load(const std::uint8_t* at) {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(at))};
}
CORVANE_ALWAYS_INLINE void store(void* at, Bytes b) { _mm_storeu_si128(static_cast<__m128i*>(at), b.v); }
// The low eight lanes only: eight bytes loaded (the rest zero), or stored.
CORVANE_ALWAYS_INLINE Bytes load8(const void* at) { return {_mm_loadl_epi64(static_cast<const __m128i*>(at))}; }
CORVANE_ALWAYS_INLINE void store8(void* at, Bytes b) { _mm_storel_epi64(static_cast<__m128i*>(at), b.v); }
CORVANE_ALWAYS_INLINE Bytes splat(std::uint8_t byte) { return {_mm_set1_epi8(static_cast<char>(byte))}; }
CORVANE_ALWAYS_INLINE Bytes zero() { return {_mm_setzero_si128()}; }

CORVANE_ALWAYS_INLINE Bytes operator|(Bytes a, Bytes b) { return {_mm_or_si128(a.v, b.v)}; }
CORVANE_ALWAYS_INLINE Bytes operator&(Bytes a, Bytes b) { return {_mm_and_si128(a.v, b.v)}; }
CORVANE_ALWAYS_INLINE Bytes operator^(Bytes a, Bytes b) { return {_mm_xor_si128(a.v, b.v)}; }

// Comparisons give all ones in the lanes where they hold, zero elsewhere.
CORVANE_ALWAYS_INLINE Bytes equal(Bytes a, Bytes b) { return {_mm_cmpeq_epi8(a.v, b.v)}; }
// Unsigned a <= b, as "the smaller of the two is a".
CORVANE_ALWAYS_INLINE Bytes at_most(Bytes a, Bytes b) { return {_mm_cmpeq_epi8(_mm_min_epu8(a.v, b.v), a.v)}; }
// low <= a <= high for bounds below 0x80: the compares are signed, so bytes
// of 0x80 and above read as negative and fall outside.
CORVANE_ALWAYS_INLINE Bytes in_range(Bytes a, std::uint8_t low, std::uint8_t high) {
    return {_mm_and_si128(_mm_cmpgt_epi8(a.v, _mm_set1_epi8(static_cast<char>(low - 1))),
                          _mm_cmplt_epi8(a.v, _mm_set1_epi8(static_cast<char>(high + 1))))};
}
CORVANE_ALWAYS_INLINE Bytes saturating_sub(Bytes a, Bytes b) { return {_mm_subs_epu8(a.v, b.v)}; }
// Each byte shifted right by four (SSE2 shifts only 16-bit lanes).
CORVANE_ALWAYS_INLINE Bytes high_nibbles(Bytes b) {
    return {_mm_and_si128(_mm_srli_epi16(b.v, 4), _mm_set1_epi8(0x0F))};
}

CORVANE_ALWAYS_INLINE Lanes lanes(Bytes comparison) {
    return Lanes(static_cast<std::uint32_t>(_mm_movemask_epi8(comparison.v)));
}
// movemask takes the high bit of each byte, compared or not.
CORVANE_ALWAYS_INLINE Lanes high_bit_lanes(Bytes b) { return lanes(b); }
CORVANE_ALWAYS_INLINE bool is_ascii(Bytes b) { return _mm_movemask_epi8(b.v) == 0; }
CORVANE_ALWAYS_INLINE bool is_zero(Bytes b) {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(b.v, _mm_setzero_si128())) == 0xFFFF;
}

// The two SSSE3 operations, for functions compiled with CORVANE_TARGET_SSSE3.
// table[index] per lane, for indices below 16.
CORVANE_TARGET_SSSE3 CORVANE_ALWAYS_INLINE Bytes lookup(Bytes table, Bytes index) {
    return {_mm_shuffle_epi8(table.v, index.v)};
}
// The block as it would be read N bytes earlier: the last N bytes of
// `previous`, then the first 16 - N of `current`.
template <int N>
CORVANE_TARGET_SSSE3 CORVANE_ALWAYS_INLINE Bytes shifted_in(Bytes current, Bytes previous) {
    return {_mm_alignr_epi8(current.v, previous.v, 16 - N)};
}

// Thirty-two bytes (AVX2), for functions compiled with CORVANE_TARGET_AVX2
// and called only after cpu_has_avx2().
namespace wide {

inline constexpr std::size_t LANES = 32;

struct Bytes {
    __m256i v;
};
using Lanes = LaneMask<std::uint64_t, 1, LANES>;

CORVANE_TARGET_AVX2 CORVANE_ALWAYS_INLINE Bytes load(const std::uint8_t* at) {
    return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at))};
}
CORVANE_TARGET_AVX2 CORVANE_ALWAYS_INLINE void store(void* at, Bytes b) {
    _mm256_storeu_si256(static_cast<__m256i*>(at), b.v);
}
CORVANE_TARGET_AVX2 CORVANE_ALWAYS_INLINE Bytes splat(std::uint8_t byte) {
    return {_mm256_set1_epi8(static_cast<char>(byte))};
}
// The same sixteen bytes in both halves, for lookup tables.
CORVANE_TARGET_AVX2 CORVANE_ALWAYS_INLINE Bytes splat16(const std::uint8_t* table) {
    return {_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table)))};
}
CORVANE_TARGET_AVX2 CORVANE_ALWAYS_INLINE Bytes operator|(Bytes a, Bytes b) { return {_mm256_or_si256(a.v, b.v)}; }
CORVANE_TARGET_AVX2 CORVANE_ALWAYS_INLINE Bytes equal(Bytes a, Bytes b) { return {_mm256_cmpeq_epi8(a.v, b.v)}; }
CORVANE_TARGET_AVX2 CORVANE_ALWAYS_INLINE Bytes at_most(Bytes a, Bytes b) {
    return {_mm256_cmpeq_epi8(_mm256_min_epu8(a.v, b.v), a.v)};
}
CORVANE_TARGET_AVX2 CORVANE_ALWAYS_INLINE Bytes in_range(Bytes a, std::uint8_t low, std::uint8_t high) {
    return {_mm256_and_si256(_mm256_cmpgt_epi8(a.v, _mm256_set1_epi8(static_cast<char>(low - 1))),
                             _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(high + 1)), a.v))};
}
// table[index] per lane within each half; 0 where the index has its high bit set.
CORVANE_TARGET_AVX2 CORVANE_ALWAYS_INLINE Bytes lookup(Bytes table, Bytes index) {
    return {_mm256_shuffle_epi8(table.v, index.v)};
}
CORVANE_TARGET_AVX2 CORVANE_ALWAYS_INLINE Lanes lanes(Bytes comparison) {
    return Lanes(static_cast<std::uint32_t>(_mm256_movemask_epi8(comparison.v)));
}
CORVANE_TARGET_AVX2 CORVANE_ALWAYS_INLINE bool is_ascii(Bytes b) { return _mm256_movemask_epi8(b.v) == 0; }
// The low and the high sixteen bytes.
CORVANE_TARGET_AVX2 CORVANE_ALWAYS_INLINE simd::Bytes low_half(Bytes b) { return {_mm256_castsi256_si128(b.v)}; }
CORVANE_TARGET_AVX2 CORVANE_ALWAYS_INLINE simd::Bytes high_half(Bytes b) {
    return {_mm256_extracti128_si256(b.v, 1)};
}

}  // namespace wide

#ifdef CORVANE_HAVE_AVX512
// Sixty-four bytes (AVX-512 with its byte and byte-compress instructions),
// for functions compiled with CORVANE_TARGET_AVX512 and called only after
// cpu_has_avx512(). Comparisons give their lanes as a 64-bit mask directly.
namespace full {

inline constexpr std::size_t LANES = 64;

struct Bytes {
    __m512i v;
};

CORVANE_TARGET_AVX512 CORVANE_ALWAYS_INLINE Bytes load(const std::uint8_t* at) { return {_mm512_loadu_si512(at)}; }
CORVANE_TARGET_AVX512 CORVANE_ALWAYS_INLINE void store(void* at, Bytes b) { _mm512_storeu_si512(at, b.v); }
// The first `count` (below 64) bytes at `at`, the lanes after them from
// `rest`; the bytes after them are not read.
CORVANE_TARGET_AVX512 CORVANE_ALWAYS_INLINE Bytes load_first(const std::uint8_t* at, std::size_t count, Bytes rest) {
    return {_mm512_mask_loadu_epi8(rest.v, (std::uint64_t(1) << count) - 1, at)};
}
CORVANE_TARGET_AVX512 CORVANE_ALWAYS_INLINE Bytes splat(std::uint8_t byte) {
    return {_mm512_set1_epi8(static_cast<char>(byte))};
}
// The same sixteen bytes in all four quarters, for lookup tables.
CORVANE_TARGET_AVX512 CORVANE_ALWAYS_INLINE Bytes splat16(const std::uint8_t* table) {
    return {_mm512_maskz_broadcast_i32x4(0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(table)))};
}
CORVANE_TARGET_AVX512 CORVANE_ALWAYS_INLINE std::uint64_t equal(Bytes a, Bytes b) {
    return _mm512_cmpeq_epi8_mask(a.v, b.v);
}
CORVANE_TARGET_AVX512 CORVANE_ALWAYS_INLINE std::uint64_t at_most(Bytes a, Bytes b) {
    return _mm512_cmple_epu8_mask(a.v, b.v);
}
CORVANE_TARGET_AVX512 CORVANE_ALWAYS_INLINE std::uint64_t in_range(Bytes a, std::uint8_t low, std::uint8_t high) {
    return _mm512_cmple_epu8_mask(_mm512_sub_epi8(a.v, _mm512_set1_epi8(static_cast<char>(low))),
                                  _mm512_set1_epi8(static_cast<char>(high - low)));
}
// table[index] per lane within each quarter; 0 where the index has its high bit set.
CORVANE_TARGET_AVX512 CORVANE_ALWAYS_INLINE Bytes lookup(Bytes table, Bytes index) {
    return {_mm512_shuffle_epi8(table.v, index.v)};
}
// The lanes set in `keep`, packed in order to the front; the rest zero.
CORVANE_TARGET_AVX512 CORVANE_ALWAYS_INLINE Bytes compress(Bytes b, std::uint64_t keep) {
    return {_mm512_maskz_compress_epi8(keep, b.v)};
}

}  // namespace full
#endif

#elif defined(CORVANE_SIMD_NEON)

struct Bytes {
    uint8x16_t v;
};
using Lanes = LaneMask<std::uint64_t, 4>;

CORVANE_ALWAYS_INLINE Bytes load(const std::uint8_t* at) { return {vld1q_u8(at)}; }
CORVANE_ALWAYS_INLINE void store(void* at, Bytes b) { vst1q_u8(static_cast<std::uint8_t*>(at), b.v); }
CORVANE_ALWAYS_INLINE Bytes splat(std::uint8_t byte) { return {vdupq_n_u8(byte)}; }
CORVANE_ALWAYS_INLINE Bytes zero() { return {vdupq_n_u8(0)}; }

CORVANE_ALWAYS_INLINE Bytes operator|(Bytes a, Bytes b) { return {vorrq_u8(a.v, b.v)}; }
CORVANE_ALWAYS_INLINE Bytes operator&(Bytes a, Bytes b) { return {vandq_u8(a.v, b.v)}; }
CORVANE_ALWAYS_INLINE Bytes operator^(Bytes a, Bytes b) { return {veorq_u8(a.v, b.v)}; }

CORVANE_ALWAYS_INLINE Bytes equal(Bytes a, Bytes b) { return {vceqq_u8(a.v, b.v)}; }
CORVANE_ALWAYS_INLINE Bytes at_most(Bytes a, Bytes b) { return {vcleq_u8(a.v, b.v)}; }
// One subtraction wraps everything below `low` past `high - low`.
CORVANE_ALWAYS_INLINE Bytes in_range(Bytes a, std::uint8_t low, std::uint8_t high) {
    return {vcleq_u8(vsubq_u8(a.v, vdupq_n_u8(low)), vdupq_n_u8(static_cast<std::uint8_t>(high - low)))};
}
CORVANE_ALWAYS_INLINE Bytes saturating_sub(Bytes a, Bytes b) { return {vqsubq_u8(a.v, b.v)}; }
CORVANE_ALWAYS_INLINE Bytes high_nibbles(Bytes b) { return {vshrq_n_u8(b.v, 4)}; }

// Shifting each 16-bit lane right by four and keeping its low byte packs
// two comparison lanes (all ones or zero) into one byte, four bits each.
CORVANE_ALWAYS_INLINE Lanes lanes(Bytes comparison) {
    const uint8x8_t packed = vshrn_n_u16(vreinterpretq_u16_u8(comparison.v), 4);
    return Lanes(vget_lane_u64(vreinterpret_u64_u8(packed), 0));
}
CORVANE_ALWAYS_INLINE Lanes high_bit_lanes(Bytes b) { return lanes({vcgeq_u8(b.v, vdupq_n_u8(0x80))}); }
CORVANE_ALWAYS_INLINE bool is_ascii(Bytes b) { return vmaxvq_u8(b.v) < 0x80; }
CORVANE_ALWAYS_INLINE bool is_zero(Bytes b) { return vmaxvq_u8(b.v) == 0; }

CORVANE_ALWAYS_INLINE Bytes lookup(Bytes table, Bytes index) { return {vqtbl1q_u8(table.v, index.v)}; }
template <int N>
CORVANE_ALWAYS_INLINE Bytes shifted_in(Bytes current, Bytes previous) {
    return {vextq_u8(previous.v, current.v, 16 - N)};
}

#endif

}  // namespace corvane::simd
#endif
