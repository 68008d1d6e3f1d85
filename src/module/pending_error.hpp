// Failures of the module as values: carried up to the entry point that the
// interpreter called, and only there turned into the interpreter's exception.
#pragma once

#include "module/py_ref.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace corvane::module {

class PendingError {
public:
    // Ready form: takes the interpreter's current exception (type, value and
    // traceback, normalised). Used right after an interpreter call failed; if
    // it failed without setting anything, a SystemError stands in.
    static PendingError fetch() noexcept;

    // Deferred form: `type` (a built-in exception type) with a UTF-8 message.
    static PendingError message(PyObject* type, std::string text) noexcept;

    // Deferred TypeError "'<type of object>' object is not an instance of
    // '<expected>'", after "<context>: " when a context is given; the names
    // are read only when the exception is made.
    static PendingError wrong_type(PyObject* object, PyObject* expected_type, std::string context = {}) noexcept;

    // Deferred internal-error exception carrying `what` (or a fixed text).
    static PendingError internal_fault(const char* what) noexcept;

    // MemoryError, for a failed native allocation.
    static PendingError no_memory() noexcept;

    PendingError(PendingError&&) noexcept = default;
    PendingError& operator=(PendingError&&) noexcept = default;
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    // Adds one line to the exception's __notes__ (making the exception now if
    // it was deferred). Interpreters without add_note keep it note-less.
    void add_note(std::string_view note) noexcept;

    // Makes this the interpreter's current exception. Only entry points call
    // it, with the GIL held and no exception set.
    void raise() && noexcept;

private:
    enum class Form : std::uint8_t { Ready, Message, WrongType, InternalFault, NoMemory };

    explicit PendingError(Form form) noexcept : form_(form) {}
    // Sets the interpreter's exception for a deferred form.
    void set_deferred() noexcept;

    Form form_;
    PyObject* builtin_type_ = nullptr;  // Message: a built-in type, never freed
    PyRef type_;                        // Ready
    PyRef value_;                       // Ready
    PyRef traceback_;                   // Ready
    PyRef object_;                      // WrongType: the refused object
    PyObject* expected_type_ = nullptr; // WrongType: a built-in type
    const char* fixed_text_ = nullptr;  // Message / InternalFault without allocation
    std::string text_;                  // Message / InternalFault; WrongType: its context
};

// Either a value or the PendingError that stopped it.
template <class T>
class [[nodiscard]] Expected {
public:
    Expected(T value) noexcept(std::is_nothrow_move_constructible_v<T>)
        : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(PendingError error) noexcept : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() noexcept { return *std::get_if<0>(&state_); }
    PendingError& error() noexcept { return *std::get_if<1>(&state_); }

private:
    std::variant<T, PendingError> state_;
};

// The success value of steps that produce nothing.
struct Done {};

// Checks the result of an interpreter call that returns a new object and is
// not expected to fail. Throws std::bad_alloc when the interpreter ran out of
// memory, and corvane::InternalFault("PyObject pointer is null") otherwise,
// after reporting the interpreter's exception, if any, as unraisable.
PyRef expect_object(PyObject* result);

// The same for interpreter calls that return 0 on success; `what` is the
// internal fault's message.
void expect_success(int status, const char* what);

}  // namespace corvane::module
