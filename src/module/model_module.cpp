// The corvane_model extension module: corvane's repair and loads under the
// model profile, the rules for what language models write around and inside
// JSON. The same functions as corvane's, over the same argument, error and
// guard layer; only the rules they hand the engine differ.
#include "module/companion.hpp"
#include "module/definition.hpp"
#include "module/functions.hpp"

#ifndef CORVANE_VERSION
#error "CORVANE_VERSION must be defined by the build"
#endif

namespace corvane::module {
namespace {

constexpr int FUNCTION_FLAGS = METH_VARARGS | METH_KEYWORDS;

PyMethodDef FUNCTIONS[] = {
    {"repair", as_method(&repair<Profile::Model>), FUNCTION_FLAGS,
     "repair(input)\n--\n\n"
     "Repair malformed JSON by the model profile's rules and return a valid JSON string.\n\n"
     "Raises ValueError for excessive nesting or ambiguous inner quotes."},
    {"loads", as_method(&loads<Profile::Model>), FUNCTION_FLAGS,
     "loads(input)\n--\n\n"
     "Repair malformed JSON by the model profile's rules and deserialize it with\n"
     "Python's standard `json` module."},
    {nullptr, nullptr, 0, nullptr},
};

Expected<Done> fill_module(PyObject* module) {
    return add_all_and_version(module, {"repair", "loads"}, CORVANE_VERSION);
}

PyModuleDef DEFINITION = module_definition<fill_module>(
    "corvane_model",
    "Repair of the JSON that language models write: corvane's functions under the model\n"
    "profile (reasoning blocks, Python and JavaScript literals, curly quotes, barewords,\n"
    "quotes inside strings).",
    FUNCTIONS);

}  // namespace
}  // namespace corvane::module

PyMODINIT_FUNC PyInit_corvane_model(void) {
    return PyModuleDef_Init(&corvane::module::DEFINITION);
}
