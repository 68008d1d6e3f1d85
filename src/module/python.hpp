// The one way the module includes Python.h: stable ABI, as of Python 3.8.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03080000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
