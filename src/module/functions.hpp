// The functions that repair one text, as PyCFunctionWithKeywords entry
// points, under the rules of a profile: corvane's four (Profile::Default)
// and corvane_model's repair and loads (Profile::Model) are the same code.
#pragma once

#include "module/python.hpp"
#include "parser/repair.hpp"

namespace corvane::module {

template <Profile profile>
PyObject* repair(PyObject* module, PyObject* args, PyObject* kwargs);
template <Profile profile>
PyObject* loads(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* repair_json(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* repair_to_string(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace corvane::module
