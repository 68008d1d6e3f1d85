// What differs between compilers and processors, in one place: inlining
// control, branch hints, which vector instruction set the target has, the
// attribute that lets a single function use SSSE3, and the run-time check
// for it. The rest of the engine is standard C++20 and has no #ifdef of its
// own but the choice between a vector path and its scalar twin.
#pragma once

// GCC and Clang (also clang-cl, which defines _MSC_VER too) take GNU
// attributes; MSVC has its own keywords and no branch hints.
#if defined(__GNUC__) || defined(__clang__)
#define CORVANE_ALWAYS_INLINE inline __attribute__((always_inline))
#define CORVANE_NOINLINE __attribute__((noinline))
#define CORVANE_FLATTEN __attribute__((flatten))
#define CORVANE_LIKELY(condition) __builtin_expect(!!(condition), 1)
#define CORVANE_UNLIKELY(condition) __builtin_expect(!!(condition), 0)
#elif defined(_MSC_VER)
#define CORVANE_ALWAYS_INLINE __forceinline
#define CORVANE_NOINLINE __declspec(noinline)
#define CORVANE_FLATTEN
#define CORVANE_LIKELY(condition) (condition)
#define CORVANE_UNLIKELY(condition) (condition)
#else
#define CORVANE_ALWAYS_INLINE inline
#define CORVANE_NOINLINE
#define CORVANE_FLATTEN
#define CORVANE_LIKELY(condition) (condition)
#define CORVANE_UNLIKELY(condition) (condition)
#endif

// The vector instruction set every processor of the target has: SSE2 on
// x86-64, NEON on 64-bit ARM. Elsewhere neither is defined and only the
// scalar loops are built.
#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#define CORVANE_SIMD_SSE2 1
#elif defined(__aarch64__) || defined(_M_ARM64)
#define CORVANE_SIMD_NEON 1
#endif

// SSSE3 is not part of the x86-64 baseline, so the functions that use it are
// compiled for it one by one and called only after cpu_has_ssse3(). GCC and
// Clang need the attribute to accept SSSE3 intrinsics in such a function;
// MSVC accepts them anywhere.
#if defined(CORVANE_SIMD_SSE2) && (defined(__GNUC__) || defined(__clang__))
#define CORVANE_TARGET_SSSE3 __attribute__((target("ssse3")))
#else
#define CORVANE_TARGET_SSSE3
#endif

// AVX2 likewise: most x86-64 processors in use have it, none is required
// to. The run scanners and the UTF-8 check hand long runs to AVX2 forms
// after cpu_has_avx2().
#if defined(CORVANE_SIMD_SSE2) && (defined(__GNUC__) || defined(__clang__))
#define CORVANE_TARGET_AVX2 __attribute__((target("avx2")))
#define CORVANE_HAVE_AVX2 1
#elif defined(CORVANE_SIMD_SSE2) && defined(_MSC_VER)
#define CORVANE_TARGET_AVX2
#define CORVANE_HAVE_AVX2 1
#endif

// The strict stretch (parser/strict.hpp) counts and walks bit masks on
// every token: with POPCNT and BMI it does so in one instruction each. Every
// processor with AVX2 has them; HAS_AVX2 checks all four.
#if defined(CORVANE_SIMD_SSE2) && (defined(__GNUC__) || defined(__clang__))
#define CORVANE_TARGET_AVX2_BMI __attribute__((target("avx2,bmi,bmi2,popcnt")))
#else
#define CORVANE_TARGET_AVX2_BMI
#endif

// AVX-512 with byte compares and byte compress (VBMI2, since Ice Lake and
// Zen 4) classifies and copies a 64-byte block in a few instructions. Only
// GCC and Clang builds use it; they check it at run time like AVX2.
#if defined(CORVANE_SIMD_SSE2) && (defined(__GNUC__) || defined(__clang__))
#define CORVANE_TARGET_AVX512 \
    __attribute__((target("avx512f,avx512bw,avx512vbmi2,avx2,bmi,bmi2,popcnt")))
#define CORVANE_HAVE_AVX512 1
#endif

#if defined(CORVANE_SIMD_SSE2) && defined(_MSC_VER)
#include <immintrin.h>
#include <intrin.h>
#endif

namespace corvane {

#if defined(CORVANE_SIMD_SSE2)
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
#endif

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
#endif

#if defined(CORVANE_HAVE_AVX512)
// Whether the processor running this code has the AVX-512 subsets above,
// and the system saves the 512-bit registers.
inline bool cpu_has_avx512() {
    return cpu_has_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi2");
}
#endif

}  // namespace corvane
