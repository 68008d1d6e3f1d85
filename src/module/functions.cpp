#include "module/functions.hpp"

#include "module/arguments.hpp"
#include "module/guard.hpp"
#include "parser/repair.hpp"

#include <string>
#include <utility>

namespace corvane::module {
namespace {

constexpr std::string_view INPUT_PARAMETERS[] = {"input"};
constexpr ArgumentSpec REPAIR_SPEC{"repair", INPUT_PARAMETERS, 1};
constexpr ArgumentSpec REPAIR_JSON_SPEC{"repair_json", INPUT_PARAMETERS, 1};
constexpr ArgumentSpec REPAIR_TO_STRING_SPEC{"repair_to_string", INPUT_PARAMETERS, 1};
constexpr ArgumentSpec LOADS_SPEC{"loads", INPUT_PARAMETERS, 1};

// Attaches "while processing '<parameter>'" to a conversion failure.
PendingError with_argument_note(PendingError error, std::string_view parameter) {
    std::string note = "while processing '";
    note += parameter;
    note += "'";
    error.add_note(note);
    return error;
}

// Binds `input` and returns a private copy of its UTF-8 encoding.
Expected<std::string> input_bytes(const ArgumentSpec& signature, PyObject* args, PyObject* kwargs) {
    PyObject* slots[1] = {nullptr};
    Expected<Done> bound = bind_arguments(signature, args, kwargs, slots);
    if (!bound) {
        return std::move(bound.error());
    }
    PyObject* input = slots[0];
    const std::string_view parameter = signature.positional_names[0];

    // str subclasses are welcome: their characters are encoded, their
    // __str__ is never called.
    if (!(PyType_GetFlags(Py_TYPE(input)) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
        return with_argument_note(
            PendingError::wrong_type(input, reinterpret_cast<PyObject*>(&PyUnicode_Type)), parameter);
    }
    PyRef encoded(PyUnicode_AsUTF8String(input));
    if (!encoded) {
        return with_argument_note(PendingError::fetch(), parameter);
    }
    const char* data = PyBytes_AsString(encoded.get());
    const Py_ssize_t size = PyBytes_Size(encoded.get());
    if (data == nullptr || size < 0) {
        return PendingError::fetch();
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// Runs the engine over `input` without the GIL; a refusal becomes ValueError.
Expected<OutputText> repaired_text(std::string input) {
    RepairResult result = without_gil([&] { return repair_text(input.data(), input.size()); });
    input = std::string();
    if (!result) {
        return PendingError::message(PyExc_ValueError, std::string(error_message(result.error())));
    }
    return result.take_text();
}

PyRef str_from_utf8(const OutputText& text) {
    return expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Expected<PyRef> repair_call(const ArgumentSpec& signature, PyObject* args, PyObject* kwargs) {
    Expected<std::string> input = input_bytes(signature, args, kwargs);
    if (!input) {
        return std::move(input.error());
    }
    Expected<OutputText> output = repaired_text(std::move(input.value()));
    if (!output) {
        return std::move(output.error());
    }
    return str_from_utf8(output.value());
}

// Hands the repaired text to the `loads` of whatever `import json` gives
// now: the import runs on every call, so a replaced sys.modules["json"] is
// honoured, and nothing is imported when the repair was refused.
Expected<PyRef> loads_call(PyObject* args, PyObject* kwargs) {
    Expected<std::string> input = input_bytes(LOADS_SPEC, args, kwargs);
    if (!input) {
        return std::move(input.error());
    }
    Expected<OutputText> output = repaired_text(std::move(input.value()));
    if (!output) {
        return std::move(output.error());
    }

    PyRef json_name = expect_object(PyUnicode_FromStringAndSize("json", 4));
    PyRef json(PyImport_Import(json_name.get()));
    if (!json) {
        return PendingError::fetch();
    }
    json_name.reset();
    PyRef loads_name = expect_object(PyUnicode_FromStringAndSize("loads", 5));
    PyRef text = str_from_utf8(output.value());
    output.value() = OutputText();
    PyRef call_args = expect_object(PyTuple_New(1));
    expect_success(PyTuple_SetItem(call_args.get(), 0, text.release()), "PyObject pointer is null");
    PyRef json_loads(PyObject_GetAttr(json.get(), loads_name.get()));
    if (!json_loads) {
        return PendingError::fetch();
    }
    PyRef result(PyObject_Call(json_loads.get(), call_args.get(), nullptr));
    if (!result) {
        return PendingError::fetch();
    }
    return result;
}

// The shape of every entry point: one guard, and one place that raises.
// Not noexcept: the only thing that leaves it is the unwind that ends a
// thread at interpreter exit (see guarded).
template <class Body>
PyObject* entry_point(Body&& body) {
    Expected<PyRef> outcome = guarded<PyRef>(std::forward<Body>(body));
    if (outcome) {
        return outcome.value().release();
    }
    std::move(outcome.error()).raise();
    return nullptr;
}

}  // namespace

PyObject* repair(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return repair_call(REPAIR_SPEC, args, kwargs); });
}

PyObject* repair_json(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return repair_call(REPAIR_JSON_SPEC, args, kwargs); });
}

PyObject* repair_to_string(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return repair_call(REPAIR_TO_STRING_SPEC, args, kwargs); });
}

PyObject* loads(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return loads_call(args, kwargs); });
}

}  // namespace corvane::module
