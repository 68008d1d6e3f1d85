// Memory for the engine's output buffers: the one place where the engine's
// storage meets the operating system. Small buffers come from operator new;
// large ones from memory the system may back with huge pages, so that a
// fresh buffer costs a page fault per 2 MB instead of per 4 KB where the
// system offers that. One implementation per system (buffer_posix.cpp,
// buffer_windows.cpp); the engine calls only these two functions.
#pragma once

#include <cstddef>

namespace corvane::platform {

// From this size on a buffer is large.
inline constexpr std::size_t LARGE_BUFFER_BYTES = std::size_t(4) << 20;

// `size` bytes, not initialised. Throws std::bad_alloc when there is no memory.
char* allocate_buffer(std::size_t size);

// Gives back a buffer from allocate_buffer(size), with the same size.
void release_buffer(char* bytes, std::size_t size) noexcept;

}  // namespace corvane::platform
