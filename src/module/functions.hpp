// The four module functions, as PyCFunctionWithKeywords entry points.
#pragma once

#include "module/python.hpp"

namespace corvane::module {

PyObject* repair(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* repair_json(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* repair_to_string(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* loads(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace corvane::module
