#include "platform/buffer.hpp"

namespace corvane::platform {

// Large pages on Windows need a privilege that ordinary processes lack:
// every buffer comes from operator new.
char* allocate_buffer(std::size_t size) { return new char[size]; }

void release_buffer(char* bytes, std::size_t) noexcept { delete[] bytes; }

}  // namespace corvane::platform
