#include "module/arrow.hpp"

#include "parser/utf8.hpp"

#include <cerrno>
#include <cstring>
#include <limits>

namespace corvane::module {
namespace {

// Where an empty row points: a row with a value never has null data.
constexpr char EMPTY[] = "";

bool valid_at(const std::uint8_t* bits, std::int64_t index) noexcept {
    return bits == nullptr || ((bits[index >> 3] >> (index & 7)) & 1) != 0;
}

// True when the text under `offsets` is UTF-8 row by row, found in one pass
// over all of it: valid as a whole, and no row starts or ends inside a
// character (at a continuation byte). Much faster than a check per row for
// short rows; false only means the rows must be checked one by one.
template <class Offset>
bool rows_are_utf8(const Offset* offsets, std::int64_t length, const char* data) noexcept {
    const Offset first = offsets[0];
    const Offset last = offsets[length];
    if (data == nullptr || !is_valid_utf8(data + first, static_cast<std::size_t>(last - first))) return false;
    for (std::int64_t i = 1; i < length; ++i) {
        const Offset at = offsets[i];
        if (at > first && at < last && (static_cast<unsigned char>(data[at]) & 0xC0) == 0x80) return false;
    }
    return true;
}

template <class Offset>
std::string append_offset_rows(const ArrowArray& array, std::vector<BatchRow>& rows, bool& utf8_known) {
    if (array.n_buffers != 3) return "a string array has 3 buffers, this one " + std::to_string(array.n_buffers);
    const auto* bits = array.null_count == 0 ? nullptr : static_cast<const std::uint8_t*>(array.buffers[0]);
    if (array.buffers[1] == nullptr) return "the offsets buffer is missing";
    const auto* offsets = static_cast<const Offset*>(array.buffers[1]) + array.offset;
    const char* data = static_cast<const char*>(array.buffers[2]);
    for (std::int64_t i = 0; i < array.length; ++i) {
        const Offset start = offsets[i];
        const Offset end = offsets[i + 1];
        if (start < 0 || end < start) return "offsets out of order at row " + std::to_string(i);
        if (!valid_at(bits, array.offset + i)) {
            rows.push_back({});
        } else if (start == end) {
            rows.push_back({EMPTY, 0});
        } else if (data == nullptr) {
            return "the data buffer is missing";
        } else {
            rows.push_back({data + start, static_cast<std::size_t>(end - start)});
        }
    }
    utf8_known = rows_are_utf8(offsets, array.length, data);
    return {};
}

// A view is 16 bytes: the length, then up to 12 bytes inline, or a 4-byte
// prefix, the index of a data buffer and the offset in it.
std::string append_view_rows(const ArrowArray& array, std::vector<BatchRow>& rows) {
    if (array.n_buffers < 3) return "a string_view array has at least 3 buffers";
    const auto* bits = array.null_count == 0 ? nullptr : static_cast<const std::uint8_t*>(array.buffers[0]);
    const auto* views = static_cast<const unsigned char*>(array.buffers[1]);
    const std::int64_t data_buffers = array.n_buffers - 3;
    const auto* sizes = static_cast<const std::int64_t*>(array.buffers[array.n_buffers - 1]);
    if (views == nullptr && array.length > 0) return "the views buffer is missing";
    for (std::int64_t i = 0; i < array.length; ++i) {
        if (!valid_at(bits, array.offset + i)) {
            rows.push_back({});
            continue;
        }
        const unsigned char* view = views + 16 * (array.offset + i);
        std::int32_t length;
        std::memcpy(&length, view, 4);
        if (length < 0) return "a negative length at row " + std::to_string(i);
        if (length <= 12) {
            rows.push_back({length == 0 ? EMPTY : reinterpret_cast<const char*>(view + 4),
                            static_cast<std::size_t>(length)});
            continue;
        }
        std::int32_t buffer;
        std::int32_t offset;
        std::memcpy(&buffer, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        if (buffer < 0 || buffer >= data_buffers || offset < 0 || sizes == nullptr ||
            static_cast<std::int64_t>(offset) + length > sizes[buffer] || array.buffers[2 + buffer] == nullptr)
            return "a view outside its data buffer at row " + std::to_string(i);
        rows.push_back({static_cast<const char*>(array.buffers[2 + buffer]) + offset, static_cast<std::size_t>(length)});
    }
    return {};
}

// What one export holds: its share of the column and the array of buffer
// pointers that Arrow reads.
struct ExportedArray {
    std::shared_ptr<const RepairedColumn> column;
    const void* buffers[3];
};

struct ExportedSchema {
    std::shared_ptr<const RepairedColumn> column;
};

struct ExportedStream {
    std::shared_ptr<const RepairedColumn> column;
    std::size_t next = 0;
};

void release_array(ArrowArray* array) {
    delete static_cast<ExportedArray*>(array->private_data);
    array->release = nullptr;
}

void release_schema(ArrowSchema* schema) {
    delete static_cast<ExportedSchema*>(schema->private_data);
    schema->release = nullptr;
}

// The stream's callbacks report out of memory by errno, as the interface says.
int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    try {
        export_schema(static_cast<ExportedStream*>(stream->private_data)->column, out);
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* state = static_cast<ExportedStream*>(stream->private_data);
    if (state->next == state->column->chunks.size()) {
        std::memset(out, 0, sizeof *out);
        out->release = nullptr;
        return 0;
    }
    try {
        export_chunk(state->column, state->next, out);
    } catch (...) {
        return ENOMEM;
    }
    ++state->next;
    return 0;
}

const char* stream_error(ArrowArrayStream*) { return nullptr; }

void release_stream(ArrowArrayStream* stream) {
    delete static_cast<ExportedStream*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

std::optional<StringLayout> string_layout(const ArrowSchema& schema) noexcept {
    if (schema.format == nullptr || schema.dictionary != nullptr) return std::nullopt;
    const std::string_view format(schema.format);
    if (format == "u") return StringLayout::String;
    if (format == "U") return StringLayout::LargeString;
    if (format == "vu") return StringLayout::StringView;
    return std::nullopt;
}

std::string append_rows(const ArrowArray& array, StringLayout layout, std::vector<BatchRow>& rows,
                        bool& utf8_known) {
    utf8_known = false;
    if (array.length < 0 || array.offset < 0) return "a negative length or offset";
    if (array.length == 0) {
        utf8_known = true;
        return {};
    }
    if (array.buffers == nullptr) return "the buffers are missing";
    rows.reserve(rows.size() + static_cast<std::size_t>(array.length));
    switch (layout) {
    case StringLayout::String: return append_offset_rows<std::int32_t>(array, rows, utf8_known);
    case StringLayout::LargeString: return append_offset_rows<std::int64_t>(array, rows, utf8_known);
    case StringLayout::StringView: return append_view_rows(array, rows);
    }
    return {};
}

std::shared_ptr<const RepairedColumn> make_column(BatchOutput&& batch, const std::vector<std::size_t>& chunk_rows,
                                                  std::string name) {
    auto column = std::make_shared<RepairedColumn>();
    column->name = std::move(name);
    const std::size_t text_size = batch.text.size();
    // Arrow reads the data buffer of an all-empty column too: never null.
    if (text_size == 0) batch.text.reserve(1);
    column->text = batch.text.take();

    std::size_t kept = 0;
    for (RowState state : batch.states) kept += state != RowState::Skipped;
    const bool large = text_size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    if (large) {
        column->large_offsets.reserve(kept + 1);
        column->large_offsets.push_back(0);
    } else {
        column->small_offsets.reserve(kept + 1);
        column->small_offsets.push_back(0);
    }
    std::vector<std::uint8_t> validity((kept + 7) / 8, 0);

    std::size_t row = 0;
    std::int64_t index = 0;
    for (std::size_t rows_in_chunk : chunk_rows) {
        RepairedColumn::Chunk chunk;
        chunk.first = index;
        for (std::size_t end = row + rows_in_chunk; row < end; ++row) {
            const RowState state = batch.states[row];
            if (state == RowState::Skipped) continue;
            if (state == RowState::Repaired) {
                validity[static_cast<std::size_t>(index) >> 3] |= std::uint8_t(1u << (index & 7));
            } else {
                ++chunk.null_count;
            }
            if (large) {
                column->large_offsets.push_back(static_cast<std::int64_t>(batch.ends[row]));
            } else {
                column->small_offsets.push_back(static_cast<std::int32_t>(batch.ends[row]));
            }
            ++index;
        }
        chunk.length = index - chunk.first;
        column->nulls += chunk.null_count;
        column->chunks.push_back(chunk);
    }
    column->rows = index;
    if (column->nulls != 0) column->validity = std::move(validity);
    return column;
}

void export_schema(const std::shared_ptr<const RepairedColumn>& column, ArrowSchema* out) {
    auto holder = std::make_unique<ExportedSchema>(ExportedSchema{column});
    out->format = column->large() ? "U" : "u";
    out->name = column->name.c_str();
    out->metadata = nullptr;
    out->flags = ARROW_FLAG_NULLABLE;
    out->n_children = 0;
    out->children = nullptr;
    out->dictionary = nullptr;
    out->release = &release_schema;
    out->private_data = holder.release();
}

void export_chunk(const std::shared_ptr<const RepairedColumn>& column, std::size_t k, ArrowArray* out) {
    const RepairedColumn::Chunk& chunk = column->chunks[k];
    auto holder = std::make_unique<ExportedArray>(ExportedArray{column, {}});
    holder->buffers[0] = chunk.null_count == 0 ? nullptr : column->validity.data();
    holder->buffers[1] = column->large() ? static_cast<const void*>(column->large_offsets.data())
                                         : static_cast<const void*>(column->small_offsets.data());
    holder->buffers[2] = column->text.get();
    // Every chunk reads the column's buffers from its first row on: the
    // offsets are positions in the one text, which Arrow allows.
    out->length = chunk.length;
    out->null_count = chunk.null_count;
    out->offset = chunk.first;
    out->n_buffers = 3;
    out->n_children = 0;
    out->buffers = holder->buffers;
    out->children = nullptr;
    out->dictionary = nullptr;
    out->release = &release_array;
    out->private_data = holder.release();
}

void export_stream(const std::shared_ptr<const RepairedColumn>& column, ArrowArrayStream* out) {
    auto holder = std::make_unique<ExportedStream>(ExportedStream{column, 0});
    out->get_schema = &stream_schema;
    out->get_next = &stream_next;
    out->get_last_error = &stream_error;
    out->release = &release_stream;
    out->private_data = holder.release();
}

}  // namespace corvane::module
