// The whole-text repair users call: the pass with the vector scanners and
// the widest block kernel this processor has.
#include "parser/repair.hpp"

#include "parser/pass.hpp"
#include "platform/platform.hpp"

namespace corvane {

RepairResult repair_text(const char* data, std::size_t length) {
    static const BlockKernel kernel = fast_block_kernel();
    return repair_whole_text<FastScan>(data, length, kernel, false);
}

}  // namespace corvane
