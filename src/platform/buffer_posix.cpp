#include "platform/buffer.hpp"

#include <cstdlib>
#include <new>

#include <sys/mman.h>

namespace corvane::platform {

namespace {

// The size of a huge page on the systems that have them (x86-64 and
// aarch64 Linux with 4 KB base pages); a buffer aligned to it can be backed
// by huge pages from its first byte.
constexpr std::size_t HUGE_PAGE_BYTES = std::size_t(2) << 20;

}  // namespace

char* allocate_buffer(std::size_t size) {
    if (size < LARGE_BUFFER_BYTES) return new char[size];
    void* bytes = nullptr;
    if (posix_memalign(&bytes, HUGE_PAGE_BYTES, size) != 0) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Only a hint: where the system declines, the buffer is ordinary memory.
    madvise(bytes, size, MADV_HUGEPAGE);
#endif
    return static_cast<char*>(bytes);
}

void release_buffer(char* bytes, std::size_t size) noexcept {
    if (size < LARGE_BUFFER_BYTES) {
        delete[] bytes;
    } else {
        std::free(bytes);
    }
}

}  // namespace corvane::platform
