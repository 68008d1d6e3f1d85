// Any other processor: the scalar scanners alone. Included by platform.hpp
// only.
#pragma once

#include "lexer/scan.hpp"

namespace corvane {

// Without vectors only the number fast path differs from the reference.
struct FastScan : ScalarScan {
    static constexpr bool NUMBER_FAST_PATH = true;
    static constexpr bool REFERENCE = false;
};
using WideScan = NoWideScan;

}  // namespace corvane

#define CORVANE_VECTOR_BLOCK_KERNELS(X)
