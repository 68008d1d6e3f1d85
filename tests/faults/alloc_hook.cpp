// The one allocation hook of the fault tests: replaces the global C++
// allocation functions so that the k-th allocation after arming throws
// std::bad_alloc, and counts the blocks taken while armed that are still
// live (each block carries a header telling whether it was taken while
// armed, so a block freed after disarming still settles the count). Linked
// into the engine's fault test, and loaded with LD_PRELOAD into a Python
// process under test, driven through ctypes: Python's own allocations
// (malloc) are untouched there; the module's native buffers all come through.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

constexpr std::size_t HEADER = alignof(std::max_align_t) > 16 ? alignof(std::max_align_t) : 16;
constexpr std::uint64_t ARMED_TAG = 0xA110C8EDull;
constexpr std::uint64_t PLAIN_TAG = 0x0B10C4ull;

// Per thread: only the thread that armed is affected.
thread_local bool armed = false;
thread_local long fail_at = 0;
thread_local long attempts = 0;
thread_local long live = 0;

void* allocate(std::size_t size) {
    if (armed && ++attempts == fail_at) throw std::bad_alloc();
    void* block = std::malloc(size + HEADER);
    if (block == nullptr) throw std::bad_alloc();
    *static_cast<std::uint64_t*>(block) = armed ? ARMED_TAG : PLAIN_TAG;
    if (armed) ++live;
    return static_cast<char*>(block) + HEADER;
}

void release(void* pointer) noexcept {
    if (pointer == nullptr) return;
    void* block = static_cast<char*>(pointer) - HEADER;
    if (*static_cast<std::uint64_t*>(block) == ARMED_TAG) --live;
    std::free(block);
}

}  // namespace

extern "C" {
void corvane_faults_arm(long k) {
    attempts = 0;
    live = 0;
    fail_at = k;
    armed = true;
}
void corvane_faults_disarm() { armed = false; }
long corvane_faults_attempts() { return attempts; }
long corvane_faults_live() { return live; }
}

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* pointer) noexcept { release(pointer); }
void operator delete[](void* pointer) noexcept { release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { release(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { release(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { release(pointer); }
