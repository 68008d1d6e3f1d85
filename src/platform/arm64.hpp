// 64-bit ARM: NEON, which every such processor has. Included by platform.hpp
// only.
#pragma once

#define CORVANE_SIMD_NEON 1
// NEON needs no per-function attribute for its table lookups.
#define CORVANE_TARGET_SSSE3

#include "platform/vector.hpp"
#include "platform/vector_scan.hpp"

namespace corvane {

using FastScan = VectorScan<NoWideScan>;
using WideScan = NoWideScan;

}  // namespace corvane

// The strict stretch has no NEON kernel: the pass never takes it here.
#define CORVANE_VECTOR_BLOCK_KERNELS(X)
