// Owned references to interpreter objects.
#pragma once

#include "module/python.hpp"

namespace corvane::module {

// Holds one strong reference and drops it on destruction. Move-only, so a
// reference is never shared by accident; release() hands it over explicitly.
class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (or NULL).
    explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
    // Adds a reference of its own to a borrowed object.
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Gives up ownership: the caller now owns the reference.
    PyObject* release() noexcept {
        PyObject* owned = object_;
        object_ = nullptr;
        return owned;
    }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = object_;
        object_ = owned;
        Py_XDECREF(old);
    }

private:
    PyObject* object_ = nullptr;
};

}  // namespace corvane::module
