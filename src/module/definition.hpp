// How every module of the wheel is defined: multi-phase initialisation over
// one fill step, and the same promises to the interpreter for each.
#pragma once

#include "module/guard.hpp"

namespace corvane::module {

// A PyCFunctionWithKeywords (or any other entry point) as a PyMethodDef
// stores it: the interpreter calls METH_KEYWORDS functions through the
// three-argument signature, PyMethodDef holds them under the two-argument one.
template <class Function>
PyCFunction as_method(Function function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A module's slots. Where the interpreter knows of the GIL (3.13 on, full
// API), each module declares that it does not need it: a free-threaded
// CPython would otherwise turn the GIL back on at import. Every module keeps
// its shared state safe without the GIL (see pending_error.cpp and
// stream_module.cpp), and the engine keeps none. The stable ABI of older
// CPythons has no such slot, and they would refuse one they do not know.
template <Expected<Done> (*Fill)(PyObject*)>
inline PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec<Fill>)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

// The definition that PyInit_<name> hands to PyModuleDef_Init; a module
// with functions of its own, or state per module object (freed by `free`),
// names them too.
template <Expected<Done> (*Fill)(PyObject*)>
PyModuleDef module_definition(const char* name, const char* doc, PyMethodDef* functions = nullptr,
                              Py_ssize_t state_size = 0, freefunc free = nullptr) noexcept {
    return PyModuleDef{
        PyModuleDef_HEAD_INIT, name, doc, state_size, functions, MODULE_SLOTS<Fill>, nullptr, nullptr, free,
    };
}

}  // namespace corvane::module
