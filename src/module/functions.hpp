// The four module functions, as PyCFunctionWithKeywords entry points.
#pragma once

#include "module/python.hpp"

namespace corvane::module {

PyObject* repair(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* repair_json(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* repair_to_string(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* loads(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace corvane::module
