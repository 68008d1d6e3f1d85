// Repair of many texts at once, across threads: the layer of corvane_batch
// that faces the engine. Knows nothing of Python; it runs with the GIL
// released and only reads the rows it is given.
#pragma once

#include "parser/repair.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace corvane::module {

// One text of a batch, UTF-8 bytes read in place; `data` is null for a row
// without a value (None, an Arrow null).
struct BatchRow {
    const char* data = nullptr;
    std::size_t size = 0;
};

// What a refused row gives, as the command's --on-error says: the run stops
// at the first refusal (fail), the row is left out (skip), or it becomes a
// null (null).
enum class OnError : std::uint8_t { Fail, Skip, Null };

// RepairedApart: repaired, its text kept in a buffer of its own (see
// BatchPolicy::apart_from) rather than in the batch's one text.
enum class RowState : std::uint8_t { Repaired, RepairedApart, Null, Skipped };

struct BatchPolicy {
    OnError on_error = OnError::Fail;
    // False when the rows are known to be UTF-8 (encoded from str, or checked
    // while they were read).
    bool check_utf8 = true;
    // A repaired text at least this long is kept in the engine's own buffer
    // instead of being copied into the batch's text: for a caller that makes
    // each row an object of its own, a large text is then copied once less.
    std::size_t apart_from = SIZE_MAX;
    // The rules each row is repaired by.
    Profile profile = Profile::Default;
};

// Why a batch stopped: the row that was refused under OnError::Fail, or the
// row that is not valid UTF-8 (which stops it whatever the policy).
struct BatchStop {
    enum class Kind : std::uint8_t { Refused, InvalidUtf8 };
    Kind kind = Kind::Refused;
    std::size_t row = 0;
    RepairError error = RepairError::DepthExceeded;
    std::size_t column = 0;  // InvalidUtf8: 1-based byte of the row where it goes wrong
};

struct FreeBytes {
    void operator()(char* bytes) const noexcept { std::free(bytes); }
};

// Bytes appended in order into one malloc'd block. It grows by realloc, which
// for large blocks remaps pages instead of copying them, so a batch's output
// is never held twice; the block can be handed over as is (take()).
class TextBuffer {
public:
    void append(const char* bytes, std::size_t count);
    void reserve(std::size_t capacity);
    const char* data() const noexcept { return bytes_.get(); }
    std::size_t size() const noexcept { return size_; }
    std::unique_ptr<char, FreeBytes> take() noexcept {
        size_ = capacity_ = 0;
        return std::move(bytes_);
    }

private:
    std::unique_ptr<char, FreeBytes> bytes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// The repaired batch: every text one after the other in `text`; row i's
// text ends at ends[i] and starts where row i-1's ended. A null or skipped
// row has no text there, nor has a row repaired apart: its text is the next
// one of `apart`. With a stop, nothing else is meaningful.
struct BatchOutput {
    TextBuffer text;
    std::vector<std::uint64_t> ends;
    std::vector<RowState> states;
    std::vector<OutputText> apart;
    std::optional<BatchStop> stop;
};

// Repairs every row in order on up to `threads` threads (0: one per core),
// never more than the batch has blocks of work for, so a small batch runs
// on the calling thread alone. The output is the same whatever the number
// of threads. Throws std::bad_alloc when memory runs out.
BatchOutput repair_batch(std::span<const BatchRow> rows, unsigned threads, const BatchPolicy& policy);

}  // namespace corvane::module
