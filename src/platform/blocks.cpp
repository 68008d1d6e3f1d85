// The choice among the strict stretch's block kernels, the same on every
// target: the list of vector kernels comes from the target's header.
#include "platform/platform.hpp"

namespace corvane {

BlockKernel fast_block_kernel() noexcept {
    BlockKernel widest = BlockKernel::None;
#define CORVANE_WIDER_KERNEL(Name, Kernel, Target) \
    if (Kernel::usable()) widest = BlockKernel::Name;
    CORVANE_VECTOR_BLOCK_KERNELS(CORVANE_WIDER_KERNEL)
#undef CORVANE_WIDER_KERNEL
    return widest;
}

std::vector<BlockKernel> vector_block_kernels() {
    std::vector<BlockKernel> kernels;
#define CORVANE_USABLE_KERNEL(Name, Kernel, Target) \
    if (Kernel::usable()) kernels.push_back(BlockKernel::Name);
    CORVANE_VECTOR_BLOCK_KERNELS(CORVANE_USABLE_KERNEL)
#undef CORVANE_USABLE_KERNEL
    return kernels;
}

BlockBits classify_block(BlockKernel kernel, const std::uint8_t* block) {
#define CORVANE_CLASSIFY(Name, Kernel, Target) \
    if (kernel == BlockKernel::Name) return Kernel::classify(block);
    CORVANE_VECTOR_BLOCK_KERNELS(CORVANE_CLASSIFY)
#undef CORVANE_CLASSIFY
    (void)kernel;  // on targets without vector kernels
    return ScalarKernel::classify(block);
}

std::size_t compress_block(BlockKernel kernel, const std::uint8_t* block, std::uint64_t keep, char* out) {
#define CORVANE_COMPRESS(Name, Kernel, Target) \
    if (kernel == BlockKernel::Name) return Kernel::compress(block, keep, out);
    CORVANE_VECTOR_BLOCK_KERNELS(CORVANE_COMPRESS)
#undef CORVANE_COMPRESS
    (void)kernel;
    return ScalarKernel::compress(block, keep, out);
}

}  // namespace corvane
