// The one way the module includes Python.h, with the API the build chose:
// the stable ABI limited to the oldest CPython the wheel serves (CMake's
// USE_SABI defines Py_LIMITED_API from pyproject.toml's wheel.py-api), or,
// for a free-threaded CPython, which has no such ABI, the full API of the
// version built for (CORVANE_FULL_API). The code is the same for both.
#pragma once

#if !defined(Py_LIMITED_API) && !defined(CORVANE_FULL_API)
#error "the build must define Py_LIMITED_API or CORVANE_FULL_API"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
