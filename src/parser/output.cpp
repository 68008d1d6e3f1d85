#include "parser/output.hpp"

namespace corvane {

// Doubles the room (at least `count` more bytes and some slack), moving what
// was written; out of line, as the writers' fast path never needs it.
void OutputBuffer::grow(std::size_t count) {
    const std::size_t used = size();
    std::size_t capacity = static_cast<std::size_t>(limit_ - bytes_.get()) * 2;
    if (capacity < used + count + 64) capacity = used + count + 64;
    BufferBytes larger = allocate_buffer_bytes(capacity);
    std::memcpy(larger.get(), bytes_.get(), used);
    bytes_ = std::move(larger);
    cursor_ = bytes_.get() + used;
    limit_ = bytes_.get() + capacity;
}

}  // namespace corvane
