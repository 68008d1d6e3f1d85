// The one way the module includes Python.h: the stable ABI, limited to the
// oldest CPython the wheel serves (CMake's USE_SABI defines Py_LIMITED_API
// from pyproject.toml's wheel.py-api).
#pragma once

#ifndef Py_LIMITED_API
#error "Py_LIMITED_API must be defined by the build"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
