#include "module/pending_error.hpp"

#include "module/kept_object.hpp"
#include "parser/repair.hpp"

#include <atomic>
#include <new>

// PyErr_Fetch, PyErr_NormalizeException and PyErr_Restore are the only ways
// to hold an exception that the stable ABI of 3.8 offers; newer headers
// deprecate them in favour of calls that 3.8 lacks.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

namespace corvane::module {
namespace {

constexpr const char* NO_EXCEPTION_SET = "attempted to fetch exception but none was set";
constexpr const char* UNNAMED_FAULT = "internal fault without a message";
constexpr const char* UNKNOWN_TYPE_NAME = "<failed to extract type name>";

// The internal-error exception type, made on first need and kept for the life
// of the process. Derives from BaseException so that `except Exception`
// handlers do not swallow a broken invariant.
PyObject* internal_error_type() noexcept {
    static std::atomic<PyObject*> type{nullptr};
    return kept_object(type, [] {
        return PyErr_NewExceptionWithDoc(
            "corvane.InternalError",
            "Raised when corvane breaks one of its own invariants; this is a bug in corvane.",
            PyExc_BaseException, nullptr);
    });
}

// A type's __qualname__ as a str with any unencodable character replaced by
// U+FFFD, or NULL (no exception set) when it cannot be read.
PyRef type_name(PyObject* type) noexcept {
    PyRef qualname(PyObject_GetAttrString(type, "__qualname__"));
    if (!qualname || !(PyType_GetFlags(Py_TYPE(qualname.get())) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
        PyErr_Clear();
        return PyRef();
    }
    PyRef bytes(PyUnicode_AsEncodedString(qualname.get(), "utf-8", "surrogatepass"));
    if (!bytes) {
        PyErr_Clear();
        return PyRef();
    }
    PyRef name(PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace"));
    if (!name) {
        PyErr_Clear();
    }
    return name;
}

PyRef type_name_or_placeholder(PyObject* type) noexcept {
    PyRef name = type_name(type);
    return name ? std::move(name) : PyRef(PyUnicode_FromString(UNKNOWN_TYPE_NAME));
}

}  // namespace

PendingError PendingError::fetch() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        PendingError error(Form::Message);
        error.builtin_type_ = PyExc_SystemError;
        error.fixed_text_ = NO_EXCEPTION_SET;
        return error;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PendingError error(Form::Ready);
    error.type_.reset(type);
    error.value_.reset(value);
    error.traceback_.reset(traceback);
    return error;
}

PendingError PendingError::message(PyObject* type, std::string text) noexcept {
    PendingError error(Form::Message);
    error.builtin_type_ = type;
    error.text_ = std::move(text);
    return error;
}

PendingError PendingError::wrong_type(PyObject* object, PyObject* expected_type) noexcept {
    PendingError error(Form::WrongType);
    error.object_ = PyRef::borrow(object);
    error.expected_type_ = expected_type;
    return error;
}

PendingError PendingError::internal_fault(const char* what) noexcept {
    PendingError error(Form::InternalFault);
    if (what == nullptr) {
        error.fixed_text_ = UNNAMED_FAULT;
        return error;
    }
    try {
        error.text_ = what;
    } catch (const std::bad_alloc&) {
        return no_memory();
    }
    return error;
}

PendingError PendingError::no_memory() noexcept {
    return PendingError(Form::NoMemory);
}

void PendingError::set_deferred() noexcept {
    switch (form_) {
    case Form::Ready:
        return;
    case Form::NoMemory:
        PyErr_NoMemory();
        return;
    case Form::Message: {
        // surrogatepass lets a message quote a keyword that holds a lone
        // surrogate exactly as the caller wrote it.
        PyRef text(fixed_text_ != nullptr
                       ? PyUnicode_FromString(fixed_text_)
                       : PyUnicode_DecodeUTF8(text_.data(), static_cast<Py_ssize_t>(text_.size()),
                                              "surrogatepass"));
        if (text) {
            PyErr_SetObject(builtin_type_, text.get());
        }
        return;
    }
    case Form::WrongType: {
        PyRef expected = type_name_or_placeholder(expected_type_);
        if (!expected) {
            return;
        }
        PyRef message;
        if (object_.get() == Py_None) {
            message.reset(PyUnicode_FromFormat("'None' is not an instance of '%U'", expected.get()));
        } else {
            PyRef got = type_name_or_placeholder(reinterpret_cast<PyObject*>(Py_TYPE(object_.get())));
            if (!got) {
                return;
            }
            message.reset(PyUnicode_FromFormat("'%U' object is not an instance of '%U'", got.get(),
                                               expected.get()));
        }
        if (message) {
            PyErr_SetObject(PyExc_TypeError, message.get());
        }
        return;
    }
    case Form::InternalFault: {
        // If the type cannot be made, the reason it could not stands instead.
        PyObject* type = internal_error_type();
        if (type == nullptr) {
            return;
        }
        PyRef text(fixed_text_ != nullptr
                       ? PyUnicode_FromString(fixed_text_)
                       : PyUnicode_DecodeUTF8(text_.data(), static_cast<Py_ssize_t>(text_.size()),
                                              "replace"));
        if (text) {
            PyErr_SetObject(type, text.get());
        }
        return;
    }
    }
}

void PendingError::add_note(std::string_view note) noexcept {
    if (form_ != Form::Ready) {
        set_deferred();
        *this = fetch();
    }
    PyRef text(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    PyRef method(text ? PyObject_GetAttrString(value_.get(), "add_note") : nullptr);
    PyRef args(method ? PyTuple_New(1) : nullptr);
    if (args && PyTuple_SetItem(args.get(), 0, text.release()) == 0) {
        PyRef ignored(PyObject_Call(method.get(), args.get(), nullptr));
    }
    // Before 3.11 there is no add_note: the exception then goes without it.
    PyErr_Clear();
}

void PendingError::raise() && noexcept {
    if (form_ == Form::Ready) {
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
        return;
    }
    set_deferred();
    if (!PyErr_Occurred()) {
        // Only reachable if making the message failed without saying why.
        PyErr_SetString(PyExc_SystemError, NO_EXCEPTION_SET);
    }
}

PyRef expect_object(PyObject* result) {
    if (result != nullptr) {
        return PyRef(result);
    }
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    if (PyErr_Occurred()) {
        PyErr_WriteUnraisable(nullptr);
    }
    throw InternalFault("PyObject pointer is null");
}

void expect_success(int status, const char* what) {
    if (status == 0) {
        return;
    }
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    if (PyErr_Occurred()) {
        PyErr_WriteUnraisable(nullptr);
    }
    throw InternalFault(what);
}

}  // namespace corvane::module
