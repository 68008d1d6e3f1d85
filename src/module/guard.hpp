// The one barrier between C++ exceptions and the interpreter, and the one
// place where the GIL is given up.
#pragma once

#include "module/pending_error.hpp"

#include <exception>
#include <new>
#include <optional>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace corvane::module {

// Runs an entry point's body and turns anything it throws into a
// PendingError: std::bad_alloc becomes MemoryError, every other exception
// (corvane::InternalFault included) the internal-error exception.
//
// One thing passes: with glibc, a thread that CPython ends while the
// interpreter shuts down (pthread_exit, when a daemon thread asks for the GIL
// back) unwinds its stack by a forced unwind that C++ sees as an exception.
// It must reach the thread's start, so nothing on its way may be noexcept and
// a handler that meets it must rethrow it.
template <class T, class Body>
Expected<T> guarded(Body&& body) {
    try {
        return body();
    }
#if defined(__GLIBCXX__)
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (const std::bad_alloc&) {
        return PendingError::no_memory();
    } catch (const std::exception& fault) {
        return PendingError::internal_fault(fault.what());
    } catch (...) {
        return PendingError::internal_fault(nullptr);
    }
}

// Runs `body`, which must touch no Python object, with the GIL released, and
// takes the GIL back on every way out. The GIL is taken back by a plain call,
// not by a destructor: that call may end the thread (see guarded), and an
// unwind that starts in a destructor, implicitly noexcept, or during another
// unwind, would end the whole process instead. For the same reason no Python
// reference may be held across this call: a thread ended here unwinds
// without the GIL, so nothing on its stack may touch the interpreter.
template <class Body>
auto without_gil(Body&& body) -> decltype(body()) {
    std::optional<decltype(body())> result;
    std::exception_ptr failure;
    PyThreadState* const state = PyEval_SaveThread();
    try {
        result.emplace(body());
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

// without_gil for a body that reads memory that `lender` keeps alive and
// gives back when dropped, by a call into the interpreter or into another
// library (bytes objects, Arrow buffers). Should CPython end the thread as it
// takes the GIL back (see guarded), the unwind has no GIL, so `lender` gives
// up what it holds without handing it back (lender.release(), as a PyRef
// does in running_python).
template <class Body, class Lender>
auto without_gil_lent(Body&& body, Lender& lender) -> decltype(body()) {
#if defined(__GLIBCXX__)
    try {
        return without_gil(std::forward<Body>(body));
    } catch (abi::__forced_unwind&) {
        lender.release();
        throw;
    }
#else
    static_cast<void>(lender);
    return without_gil(std::forward<Body>(body));
#endif
}

// Runs `call`, a C API call that may run Python code, with the GIL held.
// CPython may end the thread inside it while the interpreter shuts down
// (see guarded): the unwind then passes here without the GIL, so the
// references in `held`, the caller's that outlive the call, are let go of
// without touching the interpreter rather than dropped. Only that unwind
// can leave a C API call.
template <class Call, class... Held>
auto running_python(Call&& call, Held&... held) -> decltype(call()) {
    try {
        return call();
    } catch (...) {
        (static_cast<void>(held.release()), ...);
        throw;
    }
}

// The shape of every entry point: one guard, and one place that raises.
// Not noexcept: the only thing that leaves it is the unwind that ends a
// thread at interpreter exit (see guarded).
template <class Body>
PyObject* entry_point(Body&& body) {
    Expected<PyRef> outcome = guarded<PyRef>(std::forward<Body>(body));
    if (outcome) {
        return outcome.value().release();
    }
    std::move(outcome.error()).raise();
    return nullptr;
}

// A module's Py_mod_exec slot over the step that fills the new module.
template <Expected<Done> (*Fill)(PyObject*)>
int module_exec(PyObject* module) noexcept {
    Expected<Done> outcome = guarded<Done>([&] { return Fill(module); });
    if (outcome) {
        return 0;
    }
    std::move(outcome.error()).raise();
    return -1;
}

}  // namespace corvane::module
