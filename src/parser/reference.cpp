#include "parser/reference.hpp"

#include "parser/pass.hpp"
#include "platform/platform.hpp"

namespace corvane {

RepairResult repair_text_reference(const char* data, std::size_t length) {
    return repair_whole_text<ScalarScan>(data, length, BlockKernel::None, false);
}

RepairResult repair_text_reference(const char* data, std::size_t length, Profile profile) {
    if (profile == Profile::Default) return repair_text_reference(data, length);
    return repair_whole_text<ScalarScan, SilentObserver, ModelRules>(data, length, BlockKernel::None, false);
}

RepairResult repair_text_scalar_blocks(const char* data, std::size_t length) {
    return repair_whole_text<FastScan>(data, length, BlockKernel::Scalar, true);
}

RepairResult repair_text_scalar_blocks(const char* data, std::size_t length, Profile profile) {
    if (profile == Profile::Default) return repair_text_scalar_blocks(data, length);
    return repair_whole_text<FastScan, SilentObserver, ModelRules>(data, length, BlockKernel::Scalar, true);
}

}  // namespace corvane
