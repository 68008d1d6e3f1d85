#include "module/functions.hpp"

#include "module/arguments.hpp"
#include "module/guard.hpp"
#include "module/json_loads.hpp"
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

// Binds `input` and returns a private copy of its UTF-8 encoding: the
// engine runs without the GIL, and no Python reference may be held then.
Expected<std::string> input_bytes(const ArgumentSpec& signature, PyObject* args, PyObject* kwargs) {
    Expected<TextArgument> input = text_argument(signature, args, kwargs);
    if (!input) {
        return std::move(input.error());
    }
    return std::string(input.value().utf8);
}

// Runs the engine over `input` under the rules of `profile`, without the
// GIL; a refusal becomes ValueError.
Expected<OutputText> repaired_text(std::string input, Profile profile) {
    RepairResult result = without_gil([&] { return repair_text(input.data(), input.size(), profile); });
    input = std::string();
    if (!result) {
        return PendingError::message(PyExc_ValueError, std::string(error_message(result.error())));
    }
    return result.take_text();
}

PyRef str_from_utf8(const OutputText& text) {
    return expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Expected<PyRef> repair_call(const ArgumentSpec& signature, Profile profile, PyObject* args, PyObject* kwargs) {
    Expected<std::string> input = input_bytes(signature, args, kwargs);
    if (!input) {
        return std::move(input.error());
    }
    Expected<OutputText> output = repaired_text(std::move(input.value()), profile);
    if (!output) {
        return std::move(output.error());
    }
    return str_from_utf8(output.value());
}

// Hands the repaired text to json.loads; nothing is imported when the
// repair was refused.
Expected<PyRef> loads_call(Profile profile, PyObject* args, PyObject* kwargs) {
    Expected<std::string> input = input_bytes(LOADS_SPEC, args, kwargs);
    if (!input) {
        return std::move(input.error());
    }
    Expected<OutputText> output = repaired_text(std::move(input.value()), profile);
    if (!output) {
        return std::move(output.error());
    }
    PyRef text = str_from_utf8(output.value());
    output.value() = OutputText();
    return json_loads(std::move(text));
}

}  // namespace

template <Profile profile>
PyObject* repair(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return repair_call(REPAIR_SPEC, profile, args, kwargs); });
}

template <Profile profile>
PyObject* loads(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return loads_call(profile, args, kwargs); });
}

template PyObject* repair<Profile::Default>(PyObject*, PyObject*, PyObject*);
template PyObject* repair<Profile::Model>(PyObject*, PyObject*, PyObject*);
template PyObject* loads<Profile::Default>(PyObject*, PyObject*, PyObject*);
template PyObject* loads<Profile::Model>(PyObject*, PyObject*, PyObject*);

PyObject* repair_json(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return repair_call(REPAIR_JSON_SPEC, Profile::Default, args, kwargs); });
}

PyObject* repair_to_string(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return repair_call(REPAIR_TO_STRING_SPEC, Profile::Default, args, kwargs); });
}

}  // namespace corvane::module
