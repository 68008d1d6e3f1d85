// PLACEHOLDER: removed when the engine's model rules are merged
// Until then the model profile follows the default rules, so that the
// interfaces that pass a profile down can be built and tried. stream.cpp
// still defines the stream's constructor without a profile: CMake takes it
// out of the build while this file exists, and it is compiled here instead,
// with that constructor taking the profile and ignoring it.
#include "parser/repair.hpp"
#include "parser/stream.hpp"

#define RepairStream() RepairStream(Profile)
#include "parser/stream.cpp"
#undef RepairStream

namespace corvane {

RepairResult repair_text(const char* data, std::size_t length, Profile) { return repair_text(data, length); }

}  // namespace corvane
