#include "module/json_loads.hpp"

#include "module/guard.hpp"
#include "module/kept_object.hpp"

#include <atomic>

namespace corvane::module {
namespace {

// The names "json" and "loads", interned and kept. The interpreter caches
// attribute look-ups by the name object: a fresh str on every call would
// miss that cache each time and take the lock that guards it, which on a
// free-threaded CPython is one lock for every thread in the process.
PyObject* json_name() noexcept {
    static std::atomic<PyObject*> name{nullptr};
    return kept_object(name, [] { return PyUnicode_InternFromString("json"); });
}

PyObject* loads_name() noexcept {
    static std::atomic<PyObject*> name{nullptr};
    return kept_object(name, [] { return PyUnicode_InternFromString("loads"); });
}

}  // namespace

// The import and loads run Python code, where the thread may be ended at
// interpreter exit: each of them is run by running_python, with every
// reference that outlives it.
Expected<PyRef> json_loads(PyRef text) {
    PyRef call_args = expect_object(PyTuple_New(1));
    expect_success(PyTuple_SetItem(call_args.get(), 0, text.release()), "PyObject pointer is null");
    PyObject* const module_name = json_name();
    PyObject* const attribute_name = module_name != nullptr ? loads_name() : nullptr;
    if (attribute_name == nullptr) {
        return PendingError::fetch();
    }
    PyRef json(running_python([&] { return PyImport_Import(module_name); }, call_args));
    if (!json) {
        return PendingError::fetch();
    }
    PyRef loads(PyObject_GetAttr(json.get(), attribute_name));
    if (!loads) {
        return PendingError::fetch();
    }
    json.reset();
    PyRef result(running_python([&] { return PyObject_Call(loads.get(), call_args.get(), nullptr); },
                                call_args, loads));
    if (!result) {
        return PendingError::fetch();
    }
    return result;
}

}  // namespace corvane::module
