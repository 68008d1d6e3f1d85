// The corvane_batch extension module: repair_many over an iterable of str,
// repair_arrow over an Arrow string column handed over by the PyCapsule
// interface, both repairing across threads with the GIL released; and the
// two types that hand a repaired column back to Arrow.
#include "module/arguments.hpp"
#include "module/arrow.hpp"
#include "module/batch.hpp"
#include "module/companion.hpp"
#include "module/definition.hpp"
#include "module/guard.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifndef CORVANE_VERSION
#error "CORVANE_VERSION must be defined by the build"
#endif

namespace corvane::module {
namespace {

constexpr std::string_view BATCH_OPTIONS[] = {"on_error", "threads", "profile"};
constexpr std::string_view TEXTS_PARAMETER[] = {"texts"};
constexpr std::string_view ARRAY_PARAMETER[] = {"array"};
constexpr std::string_view SCHEMA_PARAMETER[] = {"requested_schema"};
constexpr ArgumentSpec REPAIR_MANY_SPEC{"repair_many", TEXTS_PARAMETER, 1, BATCH_OPTIONS};
constexpr ArgumentSpec REPAIR_ARROW_SPEC{"repair_arrow", ARRAY_PARAMETER, 1, BATCH_OPTIONS};
constexpr ArgumentSpec EXPORT_ARRAY_SPEC{"__arrow_c_array__", SCHEMA_PARAMETER, 0};
constexpr ArgumentSpec EXPORT_STREAM_SPEC{"__arrow_c_stream__", SCHEMA_PARAMETER, 0};

// repair_many makes a str of each row: a text this long is made from the
// engine's buffer, not copied into the batch's one text first.
constexpr std::size_t APART_BYTES = 64 * 1024;
// repair_many encodes and repairs this much text at a time: enough blocks
// for a few threads, and memory that stays in the caches and is used again
// window after window (with 64 MB, 1 MB documents repaired slower than a
// plain loop over corvane.repair).
constexpr std::size_t WINDOW_BYTES = std::size_t(8) << 20;

constexpr const char* SCHEMA_CAPSULE = "arrow_schema";
constexpr const char* ARRAY_CAPSULE = "arrow_array";
constexpr const char* STREAM_CAPSULE = "arrow_array_stream";

// The types whose instances carry a repaired column, made once per module.
struct ModuleState {
    PyObject* array_type;
    PyObject* stream_type;
};

ModuleState& state_of(PyObject* module) noexcept { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

PyRef str_from_utf8(std::string_view text) {
    return expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// A str's UTF-8 bytes, or the encoding error.
Expected<PyRef> utf8_of(PyObject* text) {
    PyRef encoded(PyUnicode_AsUTF8String(text));
    if (!encoded) return PendingError::fetch();
    return encoded;
}

std::string_view bytes_view(PyObject* bytes) noexcept {
    return {PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes))};
}

// The name of an object's type, for messages.
std::string type_name(PyObject* object) {
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    PyRef encoded(name && is_str(name.get()) ? PyUnicode_AsUTF8String(name.get()) : nullptr);
    if (!encoded) {
        PyErr_Clear();
        return "?";
    }
    return std::string(bytes_view(encoded.get()));
}

struct BatchOptions {
    OnError on_error = OnError::Fail;
    unsigned threads = 0;
    Profile profile = Profile::Default;
};

// on_error in the command's words ("fail", "skip", "null"), with "raise"
// as the Python name of "fail"; threads a positive int, or None for one
// per core; the profile as every module reads it.
Expected<BatchOptions> batch_options(PyObject* on_error, PyObject* threads, PyObject* profile) {
    BatchOptions options;
    if (on_error != nullptr) {
        Expected<std::string> encoded = word_argument(on_error, "on_error");
        if (!encoded) return std::move(encoded.error());
        const std::string& word = encoded.value();
        if (word == "raise" || word == "fail") {
            options.on_error = OnError::Fail;
        } else if (word == "null") {
            options.on_error = OnError::Null;
        } else if (word == "skip") {
            options.on_error = OnError::Skip;
        } else {
            return PendingError::message(PyExc_ValueError,
                                         "on_error must be 'raise', 'null' or 'skip', not '" + word + "'");
        }
    }
    if (threads != nullptr && threads != Py_None) {
        if (!PyLong_Check(threads)) {
            return PendingError::wrong_type(threads, reinterpret_cast<PyObject*>(&PyLong_Type), "threads");
        }
        int overflow = 0;
        const long long count = PyLong_AsLongLongAndOverflow(threads, &overflow);
        if (count == -1 && PyErr_Occurred()) return PendingError::fetch();
        if (overflow < 0 || (overflow == 0 && count < 1)) {
            return PendingError::message(PyExc_ValueError, "threads must be at least 1");
        }
        // More threads than blocks of work are never started anyway.
        constexpr long long MOST = 1 << 16;
        options.threads = static_cast<unsigned>(overflow > 0 ? MOST : std::min(count, MOST));
    }
    Expected<Profile> rules = profile_argument(profile);
    if (!rules) return std::move(rules.error());
    options.profile = rules.value();
    return options;
}

// Binds a batch function's arguments: `source` (borrowed) and the options.
Expected<BatchOptions> bind_batch(const ArgumentSpec& signature, PyObject* args, PyObject* kwargs,
                                  PyObject*& source) {
    PyObject* slots[4] = {nullptr, nullptr, nullptr, nullptr};
    Expected<Done> bound = bind_arguments(signature, args, kwargs, slots);
    if (!bound) return std::move(bound.error());
    source = slots[0];
    return batch_options(slots[1], slots[2], slots[3]);
}

// The ValueError of a stopped batch, naming the row as the command names
// the line.
PendingError stop_error(const BatchStop& stop) {
    std::string text = "row " + std::to_string(stop.row) + ": ";
    if (stop.kind == BatchStop::Kind::Refused) {
        text += error_message(stop.error);
    } else {
        text += "invalid UTF-8 at column " + std::to_string(stop.column);
    }
    return PendingError::message(PyExc_ValueError, std::move(text));
}

// --- repair_many -----------------------------------------------------------

// What repair_many holds while it runs: the iterator, the list it fills and
// the window of texts it is repairing, each text read in place in the bytes
// object it was encoded to. Should CPython end the thread while the iterator
// runs or as the repairs take the GIL back, release() forgets the objects
// instead of dropping them without the GIL (see running_python,
// without_gil_lent).
struct ManyState {
    PyRef iterator;
    PyRef list;
    std::size_t first_row = 0;  // the window's first row in the iterable
    std::vector<PyRef> encoded;
    std::vector<BatchRow> rows;

    void release() noexcept {
        static_cast<void>(iterator.release());
        static_cast<void>(list.release());
        for (PyRef& object : encoded) static_cast<void>(object.release());
    }
};

// Reads texts from the iterator into the window until it holds about
// WINDOW_BYTES of text or the iterator ends; false once it has ended.
Expected<bool> encode_window(ManyState& state) {
    std::size_t bytes_read = 0;
    while (bytes_read < WINDOW_BYTES) {
        const std::size_t row = state.first_row + state.rows.size();
        PyRef item(running_python([&] { return PyIter_Next(state.iterator.get()); }, state));
        if (!item) {
            if (PyErr_Occurred()) return PendingError::fetch();
            return false;
        }
        if (item.get() == Py_None) {
            state.rows.push_back({});
            continue;
        }
        if (!is_str(item.get())) {
            return PendingError::wrong_type(item.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type),
                                            "row " + std::to_string(row));
        }
        Expected<PyRef> utf8 = utf8_of(item.get());
        if (!utf8) {
            utf8.error().add_note("while processing row " + std::to_string(row));
            return std::move(utf8.error());
        }
        const std::string_view bytes = bytes_view(utf8.value().get());
        state.rows.push_back({bytes.data(), bytes.size()});
        state.encoded.push_back(std::move(utf8.value()));
        bytes_read += bytes.size();
    }
    return true;
}

// Appends the window's repaired rows to the list: a str per repaired row,
// None per null row.
void append_rows_to(PyObject* list, const BatchOutput& batch) {
    std::size_t apart = 0;
    std::uint64_t start = 0;
    for (std::size_t row = 0; row < batch.states.size(); ++row) {
        const std::uint64_t end = batch.ends[row];
        const RowState state = batch.states[row];
        if (state != RowState::Skipped) {
            PyRef item = state == RowState::Repaired ? str_from_utf8(std::string_view(batch.text.data() + start, end - start))
                         : state == RowState::RepairedApart ? str_from_utf8(batch.apart[apart++].view())
                                                            : PyRef::borrow(Py_None);
            expect_success(PyList_Append(list, item.get()), "could not append to the list");
        }
        start = end;
    }
}

// Repairs the iterable a window at a time, so that the texts being repaired
// and their repairs are never more than a window beyond the list.
Expected<PyRef> repair_many(PyObject* args, PyObject* kwargs) {
    PyObject* source = nullptr;
    Expected<BatchOptions> options = bind_batch(REPAIR_MANY_SPEC, args, kwargs, source);
    if (!options) return std::move(options.error());
    if (is_str(source)) {
        return PendingError::message(PyExc_TypeError, "repair_many() takes an iterable of str, not a str");
    }
    ManyState state;
    state.iterator.reset(PyObject_GetIter(source));
    if (!state.iterator) return PendingError::fetch();
    state.list = expect_object(PyList_New(0));
    const BatchPolicy policy{options.value().on_error, false, APART_BYTES, options.value().profile};
    for (bool more = true; more;) {
        Expected<bool> read = encode_window(state);
        if (!read) return std::move(read.error());
        more = read.value();
        BatchOutput batch =
            without_gil_lent([&] { return repair_batch(state.rows, options.value().threads, policy); }, state);
        state.encoded.clear();
        state.rows.clear();
        if (batch.stop) {
            batch.stop->row += state.first_row;
            return stop_error(*batch.stop);
        }
        state.first_row += batch.states.size();
        append_rows_to(state.list.get(), batch);
    }
    return std::move(state.list);
}

// --- repair_arrow: reading ---------------------------------------------------

// The input column, read in place: its chunks stay owned here (and their
// producer's buffers alive) until the repairs are done.
struct ImportedColumn {
    std::optional<Imported<ArrowArrayStream>> stream;
    std::vector<Imported<ArrowArray>> chunks;
    std::vector<BatchRow> rows;
    std::vector<std::size_t> chunk_rows;
    std::string name;
    bool is_stream = false;
    bool utf8_known = true;  // every row was found to be UTF-8 while it was read

    // Forgets the chunks and the stream without giving them back (see
    // without_gil_lent).
    void release() noexcept {
        for (auto& chunk : chunks) chunk.let_go();
        if (stream) stream->let_go();
    }
};

PendingError not_strings(const ArrowSchema& schema) {
    std::string text = "repair_arrow() takes Arrow string, large_string or string_view values, not ";
    if (schema.dictionary != nullptr) {
        text += "dictionary-encoded values";
    } else {
        text += "format '";
        text += schema.format == nullptr ? "" : schema.format;
        text += "'";
    }
    return PendingError::message(PyExc_TypeError, std::move(text));
}

PendingError released(const char* what) {
    return PendingError::message(PyExc_ValueError, std::string("the Arrow ") + what + " was already released");
}

// Checks the schema and keeps its name.
Expected<StringLayout> read_schema(const ArrowSchema& schema, ImportedColumn& column) {
    const std::optional<StringLayout> layout = string_layout(schema);
    if (!layout) return not_strings(schema);
    column.name = schema.name == nullptr ? "" : schema.name;
    return *layout;
}

Expected<Done> add_chunk(Imported<ArrowArray> chunk, StringLayout layout, ImportedColumn& column) {
    bool utf8_known = false;
    const std::string problem = append_rows(*chunk, layout, column.rows, utf8_known);
    if (!problem.empty()) return PendingError::message(PyExc_ValueError, "malformed Arrow array: " + problem);
    column.utf8_known = column.utf8_known && utf8_known;
    column.chunk_rows.push_back(static_cast<std::size_t>(chunk->length));
    column.chunks.push_back(std::move(chunk));
    return Done{};
}

// The capsule named `name` that an export method returned, or why not.
Expected<void*> capsule_pointer(PyObject* capsule, const char* name, const char* method) {
    if (!PyCapsule_IsValid(capsule, name)) {
        return PendingError::message(PyExc_TypeError, std::string(method) + "() did not return an '" + name +
                                                          "' capsule");
    }
    void* pointer = PyCapsule_GetPointer(capsule, name);
    if (pointer == nullptr) return PendingError::fetch();
    return pointer;
}

Expected<Done> import_array(PyObject* method, ImportedColumn& column) {
    PyRef pair(running_python([&] { return PyObject_CallObject(method, nullptr); }));
    if (!pair) return PendingError::fetch();
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
        return PendingError::message(PyExc_TypeError, "__arrow_c_array__() did not return a pair of capsules");
    }
    Expected<void*> schema = capsule_pointer(PyTuple_GetItem(pair.get(), 0), SCHEMA_CAPSULE, "__arrow_c_array__");
    if (!schema) return std::move(schema.error());
    Expected<void*> array = capsule_pointer(PyTuple_GetItem(pair.get(), 1), ARRAY_CAPSULE, "__arrow_c_array__");
    if (!array) return std::move(array.error());
    const auto* schema_struct = static_cast<const ArrowSchema*>(schema.value());
    if (schema_struct->release == nullptr) return released("schema");
    if (static_cast<ArrowArray*>(array.value())->release == nullptr) return released("array");
    Expected<StringLayout> layout = read_schema(*schema_struct, column);
    if (!layout) return std::move(layout.error());
    return add_chunk(Imported<ArrowArray>(static_cast<ArrowArray*>(array.value())), layout.value(), column);
}

PendingError stream_failed(ArrowArrayStream* stream, int code) {
    const char* reason = stream->get_last_error == nullptr ? nullptr : stream->get_last_error(stream);
    std::string text = "the Arrow stream failed: ";
    text += reason != nullptr ? reason : std::strerror(code);
    return PendingError::message(PyExc_ValueError, std::move(text));
}

Expected<Done> import_stream(PyObject* method, ImportedColumn& column) {
    column.is_stream = true;
    PyRef capsule(running_python([&] { return PyObject_CallObject(method, nullptr); }));
    if (!capsule) return PendingError::fetch();
    Expected<void*> pointer = capsule_pointer(capsule.get(), STREAM_CAPSULE, "__arrow_c_stream__");
    if (!pointer) return std::move(pointer.error());
    auto* source = static_cast<ArrowArrayStream*>(pointer.value());
    if (source->release == nullptr) return released("stream");
    ArrowArrayStream* stream = column.stream.emplace(source).get();

    ArrowSchema schema_struct{};
    const int code = stream->get_schema(stream, &schema_struct);
    if (code != 0) return stream_failed(stream, code);
    Imported<ArrowSchema> schema(&schema_struct);
    Expected<StringLayout> layout = read_schema(*schema, column);
    if (!layout) return std::move(layout.error());
    for (;;) {
        ArrowArray next{};
        const int status = stream->get_next(stream, &next);
        if (status != 0) return stream_failed(stream, status);
        if (next.release == nullptr) return Done{};
        Expected<Done> added = add_chunk(Imported<ArrowArray>(&next), layout.value(), column);
        if (!added) return added;
    }
}

// Reads `source` by __arrow_c_array__, or by __arrow_c_stream__ when it has
// no array export.
Expected<Done> import_column(PyObject* source, ImportedColumn& column) {
    PyRef method(PyObject_GetAttrString(source, "__arrow_c_array__"));
    if (method) return import_array(method.get(), column);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PendingError::fetch();
    PyErr_Clear();
    method.reset(PyObject_GetAttrString(source, "__arrow_c_stream__"));
    if (method) return import_stream(method.get(), column);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PendingError::fetch();
    PyErr_Clear();
    return PendingError::message(PyExc_TypeError,
                                 "repair_arrow() takes an object with __arrow_c_array__ or __arrow_c_stream__, not '" +
                                     type_name(source) + "'");
}

// --- repair_arrow: the result ------------------------------------------------

struct ResultObject {
    PyObject_HEAD
    std::shared_ptr<const RepairedColumn>* column;
};

const std::shared_ptr<const RepairedColumn>& column_of(PyObject* self) noexcept {
    return *reinterpret_cast<ResultObject*>(self)->column;
}

Expected<PyRef> new_result(PyObject* type, std::shared_ptr<const RepairedColumn> column) {
    auto held = std::make_unique<std::shared_ptr<const RepairedColumn>>(std::move(column));
    auto* type_object = reinterpret_cast<PyTypeObject*>(type);
    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type_object, Py_tp_alloc));
    PyRef self(allocate(type_object, 0));
    if (!self) return PendingError::fetch();
    reinterpret_cast<ResultObject*>(self.get())->column = held.release();
    return self;
}

Expected<PyRef> repair_arrow(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* source = nullptr;
    Expected<BatchOptions> options = bind_batch(REPAIR_ARROW_SPEC, args, kwargs, source);
    if (!options) return std::move(options.error());
    ImportedColumn input;
    Expected<Done> imported = import_column(source, input);
    if (!imported) return std::move(imported.error());
    BatchOutput batch = without_gil_lent(
        [&] {
            return repair_batch(input.rows, options.value().threads,
                                BatchPolicy{options.value().on_error, !input.utf8_known, SIZE_MAX, options.value().profile});
        },
        input);
    if (batch.stop) return stop_error(*batch.stop);
    // The row views are done with: freed before the offsets are made, they
    // do not add to the peak.
    std::vector<BatchRow>().swap(input.rows);
    std::shared_ptr<const RepairedColumn> column = make_column(std::move(batch), input.chunk_rows, std::move(input.name));
    const ModuleState& state = state_of(module);
    return new_result(input.is_stream ? state.stream_type : state.array_type, std::move(column));
}

// --- the exports ---------------------------------------------------------------

// An exported struct not yet in a capsule: released and freed if the
// capsule cannot be made.
template <class Struct>
struct ExportedStruct {
    struct Free {
        void operator()(Struct* exported) const noexcept {
            if (exported->release != nullptr) exported->release(exported);
            delete exported;
        }
    };
    std::unique_ptr<Struct, Free> value;

    ExportedStruct() : value(new Struct) { value->release = nullptr; }
};

template <class Struct>
void destroy_capsule(PyObject* capsule, const char* name) noexcept {
    auto* exported = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
    if (exported == nullptr) {
        PyErr_Clear();
        return;
    }
    typename ExportedStruct<Struct>::Free()(exported);
}

void destroy_schema_capsule(PyObject* capsule) { destroy_capsule<ArrowSchema>(capsule, SCHEMA_CAPSULE); }
void destroy_array_capsule(PyObject* capsule) { destroy_capsule<ArrowArray>(capsule, ARRAY_CAPSULE); }
void destroy_stream_capsule(PyObject* capsule) { destroy_capsule<ArrowArrayStream>(capsule, STREAM_CAPSULE); }

template <class Struct>
PyRef capsule_of(ExportedStruct<Struct>& exported, const char* name, PyCapsule_Destructor destructor) {
    PyRef capsule = expect_object(PyCapsule_New(exported.value.get(), name, destructor));
    static_cast<void>(exported.value.release());
    return capsule;
}

// The consumer's requested_schema is a hint the interface lets a producer
// pass over: the column is exported as it is, and a consumer that wants
// another type casts it.
Expected<Done> bind_export(const ArgumentSpec& signature, PyObject* args, PyObject* kwargs) {
    PyObject* slots[1] = {nullptr};
    return bind_arguments(signature, args, kwargs, slots);
}

Expected<PyRef> export_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    Expected<Done> bound = bind_export(EXPORT_ARRAY_SPEC, args, kwargs);
    if (!bound) return std::move(bound.error());
    ExportedStruct<ArrowSchema> schema;
    ExportedStruct<ArrowArray> array;
    export_schema(column_of(self), schema.value.get());
    export_chunk(column_of(self), 0, array.value.get());
    PyRef schema_capsule = capsule_of(schema, SCHEMA_CAPSULE, &destroy_schema_capsule);
    PyRef array_capsule = capsule_of(array, ARRAY_CAPSULE, &destroy_array_capsule);
    PyRef pair = expect_object(PyTuple_New(2));
    expect_success(PyTuple_SetItem(pair.get(), 0, schema_capsule.release()), "could not fill the pair");
    expect_success(PyTuple_SetItem(pair.get(), 1, array_capsule.release()), "could not fill the pair");
    return pair;
}

Expected<PyRef> export_stream_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    Expected<Done> bound = bind_export(EXPORT_STREAM_SPEC, args, kwargs);
    if (!bound) return std::move(bound.error());
    ExportedStruct<ArrowArrayStream> stream;
    export_stream(column_of(self), stream.value.get());
    return capsule_of(stream, STREAM_CAPSULE, &destroy_stream_capsule);
}

Expected<PyRef> representation(PyObject* self) {
    const RepairedColumn& column = *column_of(self);
    std::string text = "<corvane_batch." + type_name(self) + " ";
    text += column.large() ? "large_string" : "string";
    text += ", " + std::to_string(column.rows) + " rows, " + std::to_string(column.nulls) + " null";
    if (column.chunks.size() != 1) text += ", " + std::to_string(column.chunks.size()) + " chunks";
    text += ">";
    return str_from_utf8(text);
}

// --- slots and tables ------------------------------------------------------

PyObject* repair_many_function(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return repair_many(args, kwargs); });
}

PyObject* repair_arrow_function(PyObject* module, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return repair_arrow(module, args, kwargs); });
}

PyObject* export_array_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return export_array(self, args, kwargs); });
}

PyObject* export_stream_slot(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return export_stream_method(self, args, kwargs); });
}

PyObject* repr_slot(PyObject* self) {
    return entry_point([&] { return representation(self); });
}

Py_ssize_t length_slot(PyObject* self) {
    return static_cast<Py_ssize_t>(column_of(self)->rows);
}

PyObject* new_slot(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "repaired columns are made by corvane_batch.repair_arrow()");
    return nullptr;
}

void dealloc_slot(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    delete reinterpret_cast<ResultObject*>(self)->column;
    auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    release(self);
    Py_DECREF(type);
}

#define CORVANE_ARRAY_EXPORT_DOC                                                           \
    "__arrow_c_array__($self, requested_schema=None)\n--\n\n"                              \
    "Export the column as an Arrow array: a pair of PyCapsules (schema, array)."
#define CORVANE_STREAM_EXPORT_DOC                                                          \
    "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"                             \
    "Export the column as an Arrow stream of its chunks: a PyCapsule."

PyMethodDef ARRAY_METHODS[] = {
    {"__arrow_c_array__", as_method(&export_array_method), METH_VARARGS | METH_KEYWORDS, CORVANE_ARRAY_EXPORT_DOC},
    {"__arrow_c_stream__", as_method(&export_stream_slot), METH_VARARGS | METH_KEYWORDS, CORVANE_STREAM_EXPORT_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef STREAM_METHODS[] = {
    {"__arrow_c_stream__", as_method(&export_stream_slot), METH_VARARGS | METH_KEYWORDS, CORVANE_STREAM_EXPORT_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ARRAY_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(&new_slot)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_slot)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_slot)},
    {Py_sq_length, reinterpret_cast<void*>(&length_slot)},
    {Py_tp_methods, ARRAY_METHODS},
    {Py_tp_doc, const_cast<char*>("A repaired Arrow string column of one chunk, as repair_arrow() returns it for\n"
                                  "an array. Exports __arrow_c_array__ (and __arrow_c_stream__, of one chunk).")},
    {0, nullptr},
};

PyType_Slot STREAM_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(&new_slot)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_slot)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_slot)},
    {Py_sq_length, reinterpret_cast<void*>(&length_slot)},
    {Py_tp_methods, STREAM_METHODS},
    {Py_tp_doc, const_cast<char*>("A repaired Arrow string column in chunks, as repair_arrow() returns it for a\n"
                                  "stream. Exports __arrow_c_stream__, one chunk per input chunk.")},
    {0, nullptr},
};

PyType_Spec ARRAY_SPEC = {"corvane_batch.RepairedArray", static_cast<int>(sizeof(ResultObject)), 0,
                          Py_TPFLAGS_DEFAULT, ARRAY_SLOTS};
PyType_Spec STREAM_SPEC = {"corvane_batch.RepairedStream", static_cast<int>(sizeof(ResultObject)), 0,
                           Py_TPFLAGS_DEFAULT, STREAM_SLOTS};

constexpr int FUNCTION_FLAGS = METH_VARARGS | METH_KEYWORDS;

PyMethodDef FUNCTIONS[] = {
    {"repair_many", as_method(&repair_many_function), FUNCTION_FLAGS,
     "repair_many(texts, *, on_error='raise', threads=None, profile='default')\n--\n\n"
     "Repair every str of an iterable, in order, and return a list of the results.\n\n"
     "None gives None. A refused text raises the ValueError of corvane.repair() with\n"
     "its row's index in the message (on_error='raise'), gives None (on_error='null')\n"
     "or is left out (on_error='skip'), as --on-error does for the command (whose\n"
     "'fail' is accepted for 'raise'). Anything but a str or None raises TypeError\n"
     "naming its row. The repairs run with the GIL released on up to `threads`\n"
     "threads (default: one per core, fewer for a small batch); the result is the\n"
     "same whatever the number. profile='model' repairs by the rules of\n"
     "corvane_model instead of those of corvane."},
    {"repair_arrow", as_method(&repair_arrow_function), FUNCTION_FLAGS,
     "repair_arrow(array, *, on_error='raise', threads=None, profile='default')\n--\n\n"
     "Repair an Arrow string column and return it repaired, as Arrow.\n\n"
     "`array` is any object with __arrow_c_array__ or __arrow_c_stream__ (a pyarrow\n"
     "Array or ChunkedArray, a Polars or pandas Series) holding string, large_string\n"
     "or string_view values; its buffers are read in place. The result exports the\n"
     "same interface (RepairedArray for an array, RepairedStream for a stream), as\n"
     "string, or large_string once the text passes 2 GiB; nulls stay null.\n"
     "on_error, threads and profile work as in repair_many(); a value that is not\n"
     "valid UTF-8 raises ValueError whatever on_error says."},
    {nullptr, nullptr, 0, nullptr},
};

Expected<Done> fill_module(PyObject* module) {
    ModuleState& state = state_of(module);
    PyRef array_type = expect_object(PyType_FromSpec(&ARRAY_SPEC));
    PyRef stream_type = expect_object(PyType_FromSpec(&STREAM_SPEC));
    state.array_type = PyRef::borrow(array_type.get()).release();
    state.stream_type = PyRef::borrow(stream_type.get()).release();
    Expected<Done> added = add_object(module, "RepairedArray", std::move(array_type));
    if (added) added = add_object(module, "RepairedStream", std::move(stream_type));
    if (!added) return added;
    return add_all_and_version(module, {"repair_many", "repair_arrow", "RepairedArray", "RepairedStream"},
                               CORVANE_VERSION);
}

void free_module(void* module) {
    ModuleState& state = state_of(static_cast<PyObject*>(module));
    Py_CLEAR(state.array_type);
    Py_CLEAR(state.stream_type);
}

PyModuleDef DEFINITION = module_definition<fill_module>(
    "corvane_batch", "Repair of many texts at once: lists of str and Arrow string columns, across threads.",
    FUNCTIONS, static_cast<Py_ssize_t>(sizeof(ModuleState)), &free_module);

}  // namespace
}  // namespace corvane::module

PyMODINIT_FUNC PyInit_corvane_batch(void) {
    return PyModuleDef_Init(&corvane::module::DEFINITION);
}
