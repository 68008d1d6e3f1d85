// Any bytes at all into the engine; the checks say what must hold.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    corvane::fuzz::check_repair(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
