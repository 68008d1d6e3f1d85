// What differs between compilers and processors, in one place: inlining
// control and branch hints, which vector instruction sets the target has and
// the run-time checks for them, the vector forms of the byte-run scanners
// (FastScan), the strict stretch's block kernels and the UTF-8 check. The
// code above includes this header only and tests no compiler or processor
// macro of its own. One implementation per target: x86_64.hpp/.cpp (SSE2,
// SSSE3, AVX2, AVX-512), arm64.hpp/.cpp (NEON), generic.hpp/.cpp (scalar).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lexer/blocks.hpp"
#include "lexer/scan.hpp"

// GCC and Clang (also clang-cl, which defines _MSC_VER too) take GNU
// attributes; MSVC has its own keywords and no branch hints.
// CORVANE_CACHE_LINE_ALIGNED starts a function on a 64-byte boundary: a hot
// loop's speed then no longer depends on where the linker happens to put it
// (up to 9% on the strict stretch between two links of the same code).
#if defined(__GNUC__) || defined(__clang__)
#define CORVANE_ALWAYS_INLINE inline __attribute__((always_inline))
#define CORVANE_NOINLINE __attribute__((noinline))
#define CORVANE_FLATTEN __attribute__((flatten))
#define CORVANE_CACHE_LINE_ALIGNED __attribute__((aligned(64)))
#define CORVANE_LIKELY(condition) __builtin_expect(!!(condition), 1)
#define CORVANE_UNLIKELY(condition) __builtin_expect(!!(condition), 0)
#elif defined(_MSC_VER)
#define CORVANE_ALWAYS_INLINE __forceinline
#define CORVANE_NOINLINE __declspec(noinline)
#define CORVANE_FLATTEN
#define CORVANE_CACHE_LINE_ALIGNED
#define CORVANE_LIKELY(condition) (condition)
#define CORVANE_UNLIKELY(condition) (condition)
#else
#define CORVANE_ALWAYS_INLINE inline
#define CORVANE_NOINLINE
#define CORVANE_FLATTEN
#define CORVANE_CACHE_LINE_ALIGNED
#define CORVANE_LIKELY(condition) (condition)
#define CORVANE_UNLIKELY(condition) (condition)
#endif

namespace corvane {

// The ways the strict stretch classifies a block: byte by byte (the scalar
// twin, which tests hold the vector forms to), or with AVX2 or AVX-512 where
// the processor has them. None means the pass never takes the stretch.
enum class BlockKernel : std::uint8_t { None, Scalar, Avx2, Avx512 };

// The kernel the fast engine uses on this processor: the widest it has.
BlockKernel fast_block_kernel() noexcept;
// Every vector kernel this processor has, for the twin test.
std::vector<BlockKernel> vector_block_kernels();
// One block classified, and its kept bytes copied, by `kernel` (the twin test's view).
BlockBits classify_block(BlockKernel kernel, const std::uint8_t* block);
std::size_t compress_block(BlockKernel kernel, const std::uint8_t* block, std::uint64_t keep, char* out);

namespace platform {
// Whether the bytes are well-formed UTF-8, by the fastest check this
// processor has (see parser/utf8.hpp).
bool is_valid_utf8(const std::uint8_t* data, std::size_t length) noexcept;
}  // namespace platform

}  // namespace corvane

// Each target header defines, in namespace corvane: FastScan (the scanners
// the engine runs), WideScan and wide_scan_usable() (the long-run scanners
// FastScan hands over to, for the twin test), and the X-macro
// CORVANE_VECTOR_BLOCK_KERNELS(X), which calls X(Name, KernelType, attributes)
// for each vector block kernel the target can build: the strict stretch is
// compiled once per kernel with the attributes that let it use its
// instructions.
#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include "platform/x86_64.hpp"
#elif defined(__aarch64__) || defined(_M_ARM64)
#include "platform/arm64.hpp"
#else
#include "platform/generic.hpp"
#endif
