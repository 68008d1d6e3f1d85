// The one barrier between C++ exceptions and the interpreter.
#pragma once

#include "module/pending_error.hpp"

#include <exception>
#include <new>

namespace corvane::module {

// Runs an entry point's body and turns anything it throws into a
// PendingError: std::bad_alloc becomes MemoryError, every other exception
// (corvane::InternalFault included) the internal-error exception.
template <class T, class Body>
Expected<T> guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PendingError::no_memory();
    } catch (const std::exception& fault) {
        return PendingError::internal_fault(fault.what());
    } catch (...) {
        return PendingError::internal_fault(nullptr);
    }
}

// Gives up the GIL for the lifetime of the object, taking it back on every
// way out of the scope, exceptions included.
class ReleasedGil {
public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace corvane::module
