// The UTF-8 check on 64-bit ARM: sixteen bytes at a time with NEON.
#include "platform/platform.hpp"

#if defined(CORVANE_SIMD_NEON)
#include "platform/utf8_vector.hpp"

namespace corvane::platform {

bool is_valid_utf8(const std::uint8_t* data, std::size_t length) noexcept { return check_blocks(data, length); }

}  // namespace corvane::platform
#endif
