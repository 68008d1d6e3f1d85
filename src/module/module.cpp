// The extension module as the interpreter sees it: the definition handed out
// by PyInit_corvane and the execution step that fills each new module object.
#include "module/definition.hpp"
#include "module/functions.hpp"
#include "parser/repair.hpp"

#include <cstring>

#ifndef CORVANE_VERSION
#error "CORVANE_VERSION must be defined by the build"
#endif

namespace corvane::module {
namespace {

// Handed only to PyCFunction_NewEx, in the order in which they are published.
// No METH_STATIC: it would hide the module from the functions' __self__.
constexpr int METHOD_FLAGS = METH_VARARGS | METH_KEYWORDS;

PyMethodDef METHODS[] = {
    {"repair", as_method(&repair<Profile::Default>), METHOD_FLAGS,
     "repair(input)\n--\n\n"
     "Repair malformed JSON and return a valid JSON string.\n\n"
     "Raises ValueError for excessive nesting or ambiguous inner object-value quotes."},
    {"repair_to_string", as_method(&repair_to_string), METHOD_FLAGS,
     "repair_to_string(input)\n--\n\nCompatibility alias for `repair`."},
    {"repair_json", as_method(&repair_json), METHOD_FLAGS,
     "repair_json(input)\n--\n\nCompatibility alias for `repair`."},
    {"loads", as_method(&loads<Profile::Default>), METHOD_FLAGS,
     "loads(input)\n--\n\n"
     "Repair malformed JSON and deserialize it with Python's standard `json` module."},
};

// Appends `name` to the module's __all__ (made on first use) and sets the
// attribute `name` to `value`.
Expected<Done> publish(PyObject* module, PyObject* name, PyObject* value) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return PendingError::fetch();
        }
        PyErr_Clear();
        all = expect_object(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return PendingError::fetch();
        }
    } else if (!(PyType_GetFlags(Py_TYPE(all.get())) & Py_TPFLAGS_LIST_SUBCLASS)) {
        return PendingError::wrong_type(all.get(), reinterpret_cast<PyObject*>(&PyList_Type));
    }
    expect_success(PyList_Append(all.get(), name), "could not append __name__ to __all__");
    if (PyObject_SetAttr(module, name, value) < 0) {
        return PendingError::fetch();
    }
    return Done{};
}

Expected<Done> publish(PyObject* module, const char* name, PyRef value) {
    PyRef name_object = expect_object(PyUnicode_FromString(name));
    return publish(module, name_object.get(), value.get());
}

// Publishes one function object, bound to the module as its __self__ and
// carrying the module's current name as its __module__.
Expected<Done> publish_function(PyObject* module, PyMethodDef* method) {
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) {
        return PendingError::fetch();
    }
    PyRef function = expect_object(PyCFunction_NewEx(method, module, module_name.get()));
    module_name.reset();
    PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) {
        return PendingError::fetch();
    }
    if (!(PyType_GetFlags(Py_TYPE(name.get())) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
        return PendingError::wrong_type(name.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type));
    }
    return publish(module, name.get(), function.get());
}

Expected<Done> fill_module(PyObject* module) {
    const char* version = CORVANE_VERSION;
    Expected<Done> step = publish(
        module, "__version__",
        expect_object(PyUnicode_FromStringAndSize(version, static_cast<Py_ssize_t>(std::strlen(version)))));
    if (!step) {
        return step;
    }
    step = publish(module, "MAX_DEPTH", expect_object(PyLong_FromUnsignedLongLong(MAX_DEPTH)));
    if (!step) {
        return step;
    }
    for (PyMethodDef& method : METHODS) {
        step = publish_function(module, &method);
        if (!step) {
            return step;
        }
    }
    return Done{};
}

PyModuleDef DEFINITION = module_definition<fill_module>("corvane", "");

}  // namespace
}  // namespace corvane::module

PyMODINIT_FUNC PyInit_corvane(void) {
    return PyModuleDef_Init(&corvane::module::DEFINITION);
}
