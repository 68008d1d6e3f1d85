// The Arrow C data interface, as far as corvane_batch needs it: the three
// structs of the ABI (written from Arrow's published definition, guarded as
// it asks so that another copy can coexist), reading a string column's rows
// in place, and exporting a repaired column. No Python here: the capsules
// that carry these structs are handled in batch_module.cpp.
#pragma once

#include "module/batch.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace corvane::module {

// An imported struct, owned: released (by its producer's callback) when
// dropped, unless it was released already.
template <class Struct>
class Imported {
public:
    Imported() noexcept { value_.release = nullptr; }
    // Takes the struct over and marks the source released, as a consumer
    // of a capsule must.
    explicit Imported(Struct* source) noexcept : value_(*source) { source->release = nullptr; }
    Imported(Imported&& other) noexcept : value_(other.value_) { other.value_.release = nullptr; }
    Imported& operator=(Imported&&) = delete;
    Imported(const Imported&) = delete;
    ~Imported() {
        if (value_.release != nullptr) value_.release(&value_);
    }
    Struct* get() noexcept { return &value_; }
    const Struct& operator*() const noexcept { return value_; }
    const Struct* operator->() const noexcept { return &value_; }
    bool released() const noexcept { return value_.release == nullptr; }
    // Forgets the struct without giving it back (see without_gil_lent).
    void let_go() noexcept { value_.release = nullptr; }

private:
    Struct value_;
};

// The three string layouts, by their offsets: 32-bit ("u"), 64-bit ("U"),
// and 16-byte views into any number of data buffers ("vu").
enum class StringLayout : std::uint8_t { String, LargeString, StringView };

// The layout of a schema's values, or none when they are not strings
// (dictionary-encoded strings included).
std::optional<StringLayout> string_layout(const ArrowSchema& schema) noexcept;

// Appends a view of each of the array's rows to `rows` (a null row has no
// data), reading its buffers in place, and sets `utf8_known` when it found
// every row to be UTF-8 on the way. Returns what is wrong with an array that
// does not hold to its layout, or an empty string.
std::string append_rows(const ArrowArray& array, StringLayout layout, std::vector<BatchRow>& rows,
                        bool& utf8_known);

// A repaired column, shared by every export of it: the text, the offsets
// (32-bit while the text fits, else 64-bit), the validity bits (none when
// no row is null) and the chunks, each a range of rows.
struct RepairedColumn {
    struct Chunk {
        std::int64_t first = 0;
        std::int64_t length = 0;
        std::int64_t null_count = 0;
    };
    std::unique_ptr<char, FreeBytes> text;
    std::vector<std::int32_t> small_offsets;
    std::vector<std::int64_t> large_offsets;
    std::vector<std::uint8_t> validity;
    std::vector<Chunk> chunks;
    std::string name;
    std::int64_t rows = 0;
    std::int64_t nulls = 0;

    bool large() const noexcept { return small_offsets.empty(); }
};

// The column of a repaired batch, cut into chunks as the input was
// (`chunk_rows`: the input rows of each), skipped rows left out. Consumes
// the batch's text.
std::shared_ptr<const RepairedColumn> make_column(BatchOutput&& batch, const std::vector<std::size_t>& chunk_rows,
                                                  std::string name);

// Fills `out` with a new export of the column's type; of its chunk `k`; of
// a stream of all of its chunks. Each export keeps the column alive until
// its consumer releases it.
void export_schema(const std::shared_ptr<const RepairedColumn>& column, ArrowSchema* out);
void export_chunk(const std::shared_ptr<const RepairedColumn>& column, std::size_t k, ArrowArray* out);
void export_stream(const std::shared_ptr<const RepairedColumn>& column, ArrowArrayStream* out);

}  // namespace corvane::module
