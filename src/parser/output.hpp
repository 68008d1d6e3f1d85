// The engine's output: a byte buffer written in order, whose bytes are
// handed on without a copy. Only the strict stretch takes back what it wrote
// (truncate), the bytes past its last commit.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/buffer.hpp"

namespace corvane {

// Owns storage from platform::allocate_buffer; knows its size to give it back.
struct ReleaseBuffer {
    std::size_t capacity = 0;
    void operator()(char* bytes) const noexcept { platform::release_buffer(bytes, capacity); }
};
using BufferBytes = std::unique_ptr<char[], ReleaseBuffer>;

inline BufferBytes allocate_buffer_bytes(std::size_t capacity) {
    return BufferBytes(platform::allocate_buffer(capacity), ReleaseBuffer{capacity});
}

// Bytes the engine wrote, owned. Unlike a std::string it never writes to
// its unused capacity, so the room reserved up front costs address space,
// not memory: a large reservation that the output does not fill is never
// touched.
class OutputText {
public:
    OutputText() = default;
    OutputText(BufferBytes bytes, std::size_t size) noexcept : bytes_(std::move(bytes)), size_(size) {}

    std::string_view view() const noexcept { return {bytes_.get(), size_}; }
    operator std::string_view() const noexcept { return view(); }
    const char* data() const noexcept { return bytes_.get(); }
    std::size_t size() const noexcept { return size_; }

private:
    BufferBytes bytes_;
    std::size_t size_ = 0;
};

// Writes go through a cursor into storage sized up front, so appending one
// byte is a compare and a store; what was written is moved out at the end.
class OutputBuffer {
public:
    // Left uninitialised on purpose (see OutputText).
    explicit OutputBuffer(std::size_t capacity) : bytes_(allocate_buffer_bytes(capacity)) {
        cursor_ = bytes_.get();
        limit_ = cursor_ + capacity;
    }
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;

    void push(char byte) {
        if (cursor_ == limit_) grow(1);
        *cursor_++ = byte;
    }
    void append(const void* bytes, std::size_t count) {
        if (static_cast<std::size_t>(limit_ - cursor_) < count) grow(count);
        std::memcpy(cursor_, bytes, count);
        cursor_ += count;
    }
    // Room for at least `count` bytes at the cursor, for writers that store
    // whole blocks and then keep only part of them (advance).
    char* room(std::size_t count) {
        if (static_cast<std::size_t>(limit_ - cursor_) < count) grow(count);
        return cursor_;
    }
    void advance(std::size_t count) { cursor_ += count; }
    // Drops what was written after the first `size` bytes.
    void truncate(std::size_t size) { cursor_ = bytes_.get() + size; }

    template <std::size_t N>
    void append_literal(const char (&text)[N]) {
        append(text, N - 1);
    }
    std::size_t size() const { return static_cast<std::size_t>(cursor_ - bytes_.get()); }
    const char* data() const { return bytes_.get(); }

    // Hands the written bytes over; the buffer is empty afterwards.
    OutputText take() {
        const std::size_t used = size();
        cursor_ = limit_ = nullptr;
        return OutputText(std::move(bytes_), used);
    }

private:
    void grow(std::size_t count);

    BufferBytes bytes_;
    char* cursor_;
    char* limit_;
};

}  // namespace corvane
