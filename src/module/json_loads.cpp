#include "module/json_loads.hpp"

#include "module/guard.hpp"

namespace corvane::module {

// The import and loads run Python code, where the thread may be ended at
// interpreter exit: each of them is run by running_python, with every
// reference that outlives it.
Expected<PyRef> json_loads(PyRef text) {
    PyRef call_args = expect_object(PyTuple_New(1));
    expect_success(PyTuple_SetItem(call_args.get(), 0, text.release()), "PyObject pointer is null");
    PyRef json_name = expect_object(PyUnicode_FromStringAndSize("json", 4));
    PyRef json(running_python([&] { return PyImport_Import(json_name.get()); }, call_args, json_name));
    if (!json) {
        return PendingError::fetch();
    }
    json_name.reset();
    PyRef loads(PyObject_GetAttrString(json.get(), "loads"));
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
