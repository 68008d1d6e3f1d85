// The engine's output: an append-only byte buffer that becomes the result
// string without a copy.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace corvane {

// Writes go through a cursor into a std::string sized up front, so appending
// one byte is a compare and a store; the string is cut to the written length
// and moved out at the end.
class OutputBuffer {
public:
    explicit OutputBuffer(std::size_t capacity) {
        text_.resize(capacity);
        cursor_ = text_.data();
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

    template <std::size_t N>
    void append_literal(const char (&text)[N]) {
        append(text, N - 1);
    }
    std::size_t size() const { return static_cast<std::size_t>(cursor_ - text_.data()); }
    const char* data() const { return text_.data(); }

    // Hands the written bytes over; the buffer is empty afterwards.
    std::string take() {
        text_.resize(size());
        cursor_ = limit_ = nullptr;
        return std::move(text_);
    }

private:
    void grow(std::size_t count);

    std::string text_;
    char* cursor_;
    char* limit_;
};

}  // namespace corvane
