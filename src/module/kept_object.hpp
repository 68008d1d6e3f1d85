// Interpreter objects that the modules make on first need and keep for the
// life of the process.
#pragma once

#include "module/python.hpp"

#include <atomic>

namespace corvane::module {

// The object in `slot`, made by `make` (a new reference, or NULL with an
// exception set) the first time it is asked for; a borrowed reference.
//
// Threads may ask at once: truly in parallel on a free-threaded CPython, or
// with the GIL given up inside `make`. Each of them then makes an object,
// and the first one published is the one every thread uses from then on;
// the others are dropped unseen. No lock is held while `make` runs: it may
// run Python code, which could itself ask for the object. A failure
// publishes nothing (the exception stays set), so a later call tries again.
template <class Make>
PyObject* kept_object(std::atomic<PyObject*>& slot, Make&& make) noexcept {
    PyObject* kept = slot.load(std::memory_order_acquire);
    if (kept != nullptr) {
        return kept;
    }
    PyObject* made = make();
    if (made == nullptr) {
        return nullptr;
    }
    if (slot.compare_exchange_strong(kept, made, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return made;
    }
    Py_DECREF(made);
    return kept;
}

}  // namespace corvane::module
