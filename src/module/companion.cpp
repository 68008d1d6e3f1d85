#include "module/companion.hpp"

namespace corvane::module {

Expected<Done> add_object(PyObject* module, const char* name, PyRef value) {
    // PyModule_AddObject takes the reference over only when it succeeds.
    if (PyModule_AddObject(module, name, value.get()) < 0) return PendingError::fetch();
    static_cast<void>(value.release());
    return Done{};
}

Expected<Done> add_all_and_version(PyObject* module, std::initializer_list<const char*> names,
                                   std::string_view version) {
    PyRef all = expect_object(PyList_New(0));
    for (const char* name : names) {
        PyRef text = expect_object(PyUnicode_FromString(name));
        expect_success(PyList_Append(all.get(), text.get()), "could not append to __all__");
    }
    Expected<Done> added = add_object(module, "__all__", std::move(all));
    if (!added) return added;
    return add_object(module, "__version__", expect_object(PyUnicode_FromStringAndSize(
                                                 version.data(), static_cast<Py_ssize_t>(version.size()))));
}

}  // namespace corvane::module
