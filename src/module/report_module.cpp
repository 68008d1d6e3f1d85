// The corvane_report extension module: what a repair did to its input and
// where, as immutable Report and Edit objects over the engine's report, with
// every offset turned from the engine's UTF-8 bytes into the indices Python
// gives the characters of the input.
#include "module/arguments.hpp"
#include "module/companion.hpp"
#include "module/definition.hpp"
#include "module/kept_object.hpp"
#include "parser/report.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#ifndef CORVANE_VERSION
#error "CORVANE_VERSION must be defined by the build"
#endif

namespace corvane::module {
namespace {

constexpr std::string_view REPORT_PARAMETERS[] = {"input", "start"};
constexpr ArgumentSpec REPORT_SPEC{"report", REPORT_PARAMETERS, 1};
constexpr ArgumentSpec REPORT_ALL_SPEC{"report_all", std::span(REPORT_PARAMETERS).first(1), 1};

// What makes Edit objects, in one tuple that each Report holds on to: the
// Edit type (a collections.namedtuple), tuple.__new__ (which makes one
// without running Python code) and the name of every kind, made once.
enum Maker : Py_ssize_t { EDIT_TYPE, TUPLE_NEW, KIND_NAMES };

struct ModuleState {
    PyObject* report_type;
    PyObject* edit_maker;
};

ModuleState& state_of(PyObject* module) noexcept { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

// Maps byte offsets of a UTF-8 text to character indices and back. Each call
// walks from where the last one stopped, so offsets asked for in order cost
// one pass over the text in all; an all-ASCII text needs no walk.
class CharacterIndex {
public:
    CharacterIndex(std::string_view utf8, bool ascii) noexcept : text_(utf8), ascii_(ascii) {}

    // The index of the character that starts at `byte` (or of the end).
    std::size_t character_at(std::size_t byte) noexcept {
        if (ascii_) return byte;
        while (byte_ < byte) character_ += starts_character(text_[byte_++]);
        while (byte_ > byte) character_ -= starts_character(text_[--byte_]);
        return character_;
    }

    // The byte where character `character` starts (the end for the count).
    std::size_t byte_at(std::size_t character) noexcept {
        if (ascii_) return character;
        while (character_ < character && byte_ < text_.size()) {
            ++byte_;
            while (byte_ < text_.size() && !starts_character(text_[byte_])) ++byte_;
            ++character_;
        }
        while (character_ > character) {
            while (!starts_character(text_[--byte_])) {}
            --character_;
        }
        return byte_;
    }

private:
    static bool starts_character(char byte) noexcept { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; }

    std::string_view text_;
    bool ascii_;
    std::size_t byte_ = 0;
    std::size_t character_ = 0;
};

// One report of the engine, and where in the input its text began.
using Placed = PlacedReport;

// Turns every offset of `placed` into a character index of the whole input,
// in place: sorted first, so that the index walks forward once.
void to_characters(Placed& placed, CharacterIndex& index) {
    RepairReport& report = placed.report;
    std::vector<std::size_t*> offsets = {&report.start, &report.end, &report.error_offset};
    offsets.reserve(3 + 2 * report.edits.size());
    for (Edit& edit : report.edits) {
        offsets.push_back(&edit.start);
        offsets.push_back(&edit.end);
    }
    for (std::size_t* offset : offsets) *offset += placed.base;
    std::sort(offsets.begin(), offsets.end(), [](const std::size_t* a, const std::size_t* b) { return *a < *b; });
    for (std::size_t* offset : offsets) *offset = index.character_at(*offset);
}

PyRef str_from_utf8(std::string_view text) {
    return expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef int_from(std::size_t value) { return expect_object(PyLong_FromSize_t(value)); }

PyRef bool_from(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

// A new tuple of `values`, which it takes over.
PyRef tuple_of(std::initializer_list<PyRef*> values) {
    PyRef tuple = expect_object(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    Py_ssize_t i = 0;
    for (PyRef* value : values) {
        expect_success(PyTuple_SetItem(tuple.get(), i++, value->release()), "could not fill a tuple");
    }
    return tuple;
}

PyRef edit_object(PyObject* maker, const Edit& edit) {
    PyRef kind = PyRef::borrow(PyTuple_GetItem(maker, KIND_NAMES + static_cast<Py_ssize_t>(edit.kind)));
    if (!kind) throw InternalFault("an edit of an unknown kind");
    PyRef start = int_from(edit.start);
    PyRef end = int_from(edit.end);
    PyRef text = str_from_utf8(edit.text);
    PyRef values = tuple_of({&kind, &start, &end, &text});
    return expect_object(PyObject_CallFunctionObjArgs(PyTuple_GetItem(maker, TUPLE_NEW),
                                                      PyTuple_GetItem(maker, EDIT_TYPE), values.get(), nullptr));
}

// A Report holds its fields but the edits in one tuple, in this order. The
// edits stay the engine's until first asked for (a caller that checks
// `complete` or `found` never pays for them), then become a tuple of Edit
// made once; equality, hash and repr ask for them too.
enum Field : Py_ssize_t { TEXT, ERROR, ERROR_OFFSET, FOUND, START, END, COMPLETE };

struct ReportObject {
    PyObject_HEAD
    PyObject* fields;
    PyObject* maker;
    std::vector<Edit>* pending;  // offsets already in characters; kept until the report goes
    std::atomic<PyObject*> edits;
};

ReportObject& report_of(PyObject* self) noexcept { return *reinterpret_cast<ReportObject*>(self); }

PyObject* fields_of(PyObject* self) noexcept { return report_of(self).fields; }

// The tuple of Edit objects of a report, made on the first call (a borrowed
// reference, or NULL with an exception set).
PyObject* edits_of(PyObject* self) noexcept {
    ReportObject& report = report_of(self);
    return kept_object(report.edits, [&]() -> PyObject* {
        Expected<PyRef> made = guarded<PyRef>([&]() -> Expected<PyRef> {
            const std::vector<Edit>& edits = *report.pending;
            PyRef tuple = expect_object(PyTuple_New(static_cast<Py_ssize_t>(edits.size())));
            for (std::size_t i = 0; i < edits.size(); ++i) {
                PyRef edit = edit_object(report.maker, edits[i]);
                expect_success(PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), edit.release()),
                               "could not fill a tuple");
            }
            return tuple;
        });
        if (made) return made.value().release();
        std::move(made.error()).raise();
        return nullptr;
    });
}

// The Report of `report`, whose offsets are already character indices; its
// edits are moved into it.
PyRef report_object(const ModuleState& state, RepairReport& report) {
    const bool refused = report.error.has_value();
    PyRef text = refused ? PyRef::borrow(Py_None) : str_from_utf8(report.text);
    PyRef error = refused ? str_from_utf8(error_message(*report.error)) : PyRef::borrow(Py_None);
    PyRef error_offset = refused ? int_from(report.error_offset) : PyRef::borrow(Py_None);
    PyRef found = bool_from(report.found);
    PyRef start = int_from(report.start);
    PyRef end = int_from(report.end);
    PyRef complete = bool_from(report.complete);
    PyRef fields = tuple_of({&text, &error, &error_offset, &found, &start, &end, &complete});
    auto pending = std::make_unique<std::vector<Edit>>(std::move(report.edits));

    auto* type = reinterpret_cast<PyTypeObject*>(state.report_type);
    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef self(allocate(type, 0));
    if (!self) throw std::bad_alloc();
    ReportObject& object = report_of(self.get());
    new (&object.edits) std::atomic<PyObject*>(nullptr);
    object.fields = fields.release();
    object.maker = PyRef::borrow(state.edit_maker).release();
    object.pending = pending.release();
    return self;
}

// The input as UTF-8, copied (the engine runs without the GIL, and no Python
// reference may be held then), and its length in characters: the same as
// the bytes' only when it is all ASCII.
struct Input {
    std::string bytes;
    std::size_t characters;
};

Expected<Input> input_of(PyObject* value) {
    Expected<TextArgument> text = text_value(value, "input");
    if (!text) return std::move(text.error());
    const Py_ssize_t characters = PyUnicode_GetLength(value);
    if (characters < 0) return PendingError::fetch();
    return Input{std::string(text.value().utf8), static_cast<std::size_t>(characters)};
}

// report(input, start=0): the report of input[start:], `start` taken as a
// slice's bound is taken (negative from the end, clipped to the text).
Expected<PyRef> report_call(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* slots[2] = {nullptr, nullptr};
    Expected<Done> bound = bind_arguments(REPORT_SPEC, args, kwargs, slots);
    if (!bound) return std::move(bound.error());
    Expected<Input> input = input_of(slots[0]);
    if (!input) return std::move(input.error());
    const auto length = static_cast<Py_ssize_t>(input.value().characters);
    Py_ssize_t start = 0;
    if (slots[1] != nullptr) {
        Expected<Py_ssize_t> given = index_value(slots[1], "start");
        if (!given) return std::move(given.error());
        start = given.value() < 0 ? std::max<Py_ssize_t>(0, length + given.value()) : std::min(given.value(), length);
    }

    const std::string& bytes = input.value().bytes;
    CharacterIndex index(bytes, bytes.size() == input.value().characters);
    const std::size_t base = index.byte_at(static_cast<std::size_t>(start));
    Placed placed{base, without_gil([&] { return report_text(bytes.data() + base, bytes.size() - base); })};
    to_characters(placed, index);
    return report_object(state_of(module), placed.report);
}

Expected<PyRef> report_all_call(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* slots[1] = {nullptr};
    Expected<Done> bound = bind_arguments(REPORT_ALL_SPEC, args, kwargs, slots);
    if (!bound) return std::move(bound.error());
    Expected<Input> input = input_of(slots[0]);
    if (!input) return std::move(input.error());
    const std::string& bytes = input.value().bytes;
    std::vector<Placed> reports = without_gil([&] { return report_every_value(bytes.data(), bytes.size()); });

    CharacterIndex index(bytes, bytes.size() == input.value().characters);
    PyRef list = expect_object(PyList_New(static_cast<Py_ssize_t>(reports.size())));
    for (std::size_t i = 0; i < reports.size(); ++i) {
        to_characters(reports[i], index);
        PyRef report = report_object(state_of(module), reports[i].report);
        expect_success(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), report.release()),
                       "could not fill the list of reports");
    }
    return list;
}

// --- The Report type ---------------------------------------------------------

// Only report() and report_all() make reports: a Report made otherwise
// would have no fields to read.
PyObject* new_slot(PyTypeObject*, PyObject*, PyObject*) {
    return entry_point([]() -> Expected<PyRef> {
        return PendingError::message(PyExc_TypeError, "cannot create 'corvane_report.Report' instances");
    });
}

void dealloc_slot(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    ReportObject& report = report_of(self);
    Py_XDECREF(report.fields);
    Py_XDECREF(report.maker);
    Py_XDECREF(report.edits.load());
    delete report.pending;
    auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    release(self);
    Py_DECREF(type);
}

PyObject* repr_slot(PyObject* self) {
    PyObject* f = fields_of(self);
    PyObject* edits = edits_of(self);
    if (edits == nullptr) return nullptr;
    return PyUnicode_FromFormat(
        "Report(text=%R, error=%R, error_offset=%R, found=%R, start=%R, end=%R, complete=%R, edits=%R)",
        PyTuple_GetItem(f, TEXT), PyTuple_GetItem(f, ERROR), PyTuple_GetItem(f, ERROR_OFFSET),
        PyTuple_GetItem(f, FOUND), PyTuple_GetItem(f, START), PyTuple_GetItem(f, END), PyTuple_GetItem(f, COMPLETE),
        edits);
}

// Two reports are equal when every field is; anything else is left to the
// other operand.
PyObject* richcompare_slot(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    int same = PyObject_RichCompareBool(fields_of(self), fields_of(other), Py_EQ);
    if (same > 0) {
        PyObject* mine = edits_of(self);
        PyObject* theirs = mine ? edits_of(other) : nullptr;
        same = theirs ? PyObject_RichCompareBool(mine, theirs, Py_EQ) : -1;
    }
    if (same < 0) return nullptr;
    return PyBool_FromLong(op == Py_EQ ? same : !same);
}

Py_hash_t hash_slot(PyObject* self) {
    PyObject* edits = edits_of(self);
    if (edits == nullptr) return -1;
    PyRef both(PyTuple_Pack(2, fields_of(self), edits));
    return both ? PyObject_Hash(both.get()) : -1;
}

template <Field F>
PyObject* field_getter(PyObject* self, void*) {
    PyObject* value = PyTuple_GetItem(fields_of(self), F);
    Py_XINCREF(value);
    return value;
}

PyObject* edits_getter(PyObject* self, void*) {
    PyObject* edits = edits_of(self);
    Py_XINCREF(edits);
    return edits;
}

PyObject* changed_getter(PyObject* self, void*) { return PyBool_FromLong(!report_of(self).pending->empty()); }

PyGetSetDef REPORT_PROPERTIES[] = {
    {"text", &field_getter<TEXT>, nullptr, "The repaired JSON, as corvane.repair() gives it, or None when refused.",
     nullptr},
    {"error", &field_getter<ERROR>, nullptr,
     "None, or the refusal's message, exactly as corvane.repair()'s ValueError carries it.", nullptr},
    {"error_offset", &field_getter<ERROR_OFFSET>, nullptr,
     "None, or the index in the input of the character that decided the refusal.", nullptr},
    {"found", &field_getter<FOUND>, nullptr,
     "False when the text holds no value (the repair's null stands for nothing).", nullptr},
    {"start", &field_getter<START>, nullptr,
     "The index in the input where the value begins (after a byte-order mark, a fence, prose).", nullptr},
    {"end", &field_getter<END>, nullptr,
     "The index in the input just past the last character the repair read; input[end:] was dropped.", nullptr},
    {"complete", &field_getter<COMPLETE>, nullptr,
     "False when the end of the input cut the value off and the repair closed or filled it in.", nullptr},
    {"edits", &edits_getter, nullptr,
     "What the repair changed, in input order: a tuple of Edit(kind, start, end, text).", nullptr},
    {"changed", &changed_getter, nullptr, "bool(edits): False when the value was valid JSON as it stood.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot REPORT_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(&new_slot)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_slot)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_slot)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&richcompare_slot)},
    {Py_tp_hash, reinterpret_cast<void*>(&hash_slot)},
    {Py_tp_getset, REPORT_PROPERTIES},
    {Py_tp_doc, const_cast<char*>("What one repair did to its input and where; made by report() and report_all().\n\n"
                                  "Offsets are indices of characters in the input given, as Python counts them.")},
    {0, nullptr},
};

PyType_Spec REPORT_TYPE_SPEC = {"corvane_report.Report", static_cast<int>(sizeof(ReportObject)), 0,
                                   Py_TPFLAGS_DEFAULT, REPORT_SLOTS};

constexpr const char* EDIT_DOC =
    "Edit(kind, start, end, text): input[start:end] became text in the repaired JSON.\n\n"
    "kind names what the edit did (one of the README's table of kinds); an insertion\n"
    "has start == end, a removal text == ''. Offsets are indices of characters in\n"
    "the input given to report() or report_all().";

// Edit, a named tuple made by collections.namedtuple as the module's own.
Expected<PyRef> edit_type(PyObject* module) {
    PyRef collections(PyImport_ImportModule("collections"));
    if (!collections) return PendingError::fetch();
    PyRef namedtuple(PyObject_GetAttrString(collections.get(), "namedtuple"));
    if (!namedtuple) return PendingError::fetch();
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return PendingError::fetch();
    PyRef arguments = expect_object(Py_BuildValue("(s(ssss))", "Edit", "kind", "start", "end", "text"));
    PyRef keywords = expect_object(Py_BuildValue("{sO}", "module", module_name.get()));
    PyRef type(PyObject_Call(namedtuple.get(), arguments.get(), keywords.get()));
    if (!type) return PendingError::fetch();
    PyRef doc = expect_object(PyUnicode_FromString(EDIT_DOC));
    if (PyObject_SetAttrString(type.get(), "__doc__", doc.get()) < 0) return PendingError::fetch();
    return type;
}

// --- The module --------------------------------------------------------------

PyObject* report_function(PyObject* module, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return report_call(module, args, kwargs); });
}

PyObject* report_all_function(PyObject* module, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return report_all_call(module, args, kwargs); });
}

constexpr int FUNCTION_FLAGS = METH_VARARGS | METH_KEYWORDS;

PyMethodDef FUNCTIONS[] = {
    {"report", as_method(&report_function), FUNCTION_FLAGS,
     "report(input, start=0)\n--\n\n"
     "Repair input[start:] exactly as corvane.repair() does and report what the repair did.\n\n"
     "Never raises for a refusal: the Report's error says it. `start` is taken as a\n"
     "slice's bound (negative counts from the end; out of range is clipped), and every\n"
     "offset of the Report is an index in the whole of `input`."},
    {"report_all", as_method(&report_all_function), FUNCTION_FLAGS,
     "report_all(input)\n--\n\n"
     "Report every value of the text in turn, each read from the previous one's end.\n\n"
     "The list ends before the first report that finds nothing, or with a refused\n"
     "report (where its value would end is not known)."},
    {nullptr, nullptr, 0, nullptr},
};

// Edit, its maker and the kinds' names, in the order of Maker.
Expected<PyRef> edit_maker(PyObject* module) {
    Expected<PyRef> edit = edit_type(module);
    if (!edit) return std::move(edit.error());
    PyRef tuple_new(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyTuple_Type), "__new__"));
    if (!tuple_new) return PendingError::fetch();
    PyRef maker = expect_object(PyTuple_New(KIND_NAMES + static_cast<Py_ssize_t>(EDIT_KIND_COUNT)));
    expect_success(PyTuple_SetItem(maker.get(), EDIT_TYPE, edit.value().release()), "could not fill a tuple");
    expect_success(PyTuple_SetItem(maker.get(), TUPLE_NEW, tuple_new.release()), "could not fill a tuple");
    for (std::size_t kind = 0; kind < EDIT_KIND_COUNT; ++kind) {
        PyRef name = str_from_utf8(edit_kind_name(static_cast<EditKind>(kind)));
        expect_success(PyTuple_SetItem(maker.get(), KIND_NAMES + static_cast<Py_ssize_t>(kind), name.release()),
                       "could not fill a tuple");
    }
    return maker;
}

Expected<Done> fill_module(PyObject* module) {
    ModuleState& state = state_of(module);
    PyRef report_type = expect_object(PyType_FromSpec(&REPORT_TYPE_SPEC));
    Expected<PyRef> maker = edit_maker(module);
    if (!maker) return std::move(maker.error());
    state.report_type = PyRef::borrow(report_type.get()).release();
    state.edit_maker = PyRef::borrow(maker.value().get()).release();
    Expected<Done> added = add_object(module, "Report", std::move(report_type));
    if (added) added = add_object(module, "Edit", PyRef::borrow(PyTuple_GetItem(maker.value().get(), EDIT_TYPE)));
    if (!added) return added;
    return add_all_and_version(module, {"report", "report_all", "Report", "Edit"}, CORVANE_VERSION);
}

void free_module(void* module) {
    ModuleState& state = state_of(static_cast<PyObject*>(module));
    Py_CLEAR(state.report_type);
    Py_CLEAR(state.edit_maker);
}

PyModuleDef DEFINITION = module_definition<fill_module>(
    "corvane_report", "What a repair did to its input and where: edits, what was dropped, whether it was cut off.",
    FUNCTIONS, static_cast<Py_ssize_t>(sizeof(ModuleState)), &free_module);

}  // namespace
}  // namespace corvane::module

PyMODINIT_FUNC PyInit_corvane_report(void) {
    return PyModuleDef_Init(&corvane::module::DEFINITION);
}
