// The corvane_stream extension module: RepairStream, the repair of JSON that
// is still arriving, as a Python type over the engine's RepairStream.
#include "module/arguments.hpp"
#include "module/companion.hpp"
#include "module/definition.hpp"
#include "module/json_loads.hpp"
#include "parser/stream.hpp"

#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>

#ifndef CORVANE_VERSION
#error "CORVANE_VERSION must be defined by the build"
#endif

namespace corvane::module {
namespace {

// A piece at least this long is repaired with the GIL released; for shorter
// ones giving the GIL up and taking it back would cost more than the repair.
constexpr std::size_t GIL_FREE_BYTES = 64 * 1024;

constexpr std::string_view CHUNK_PARAMETER[] = {"chunk"};
constexpr ArgumentSpec FEED_SPEC{"feed", CHUNK_PARAMETER, 1};
constexpr std::string_view NEW_OPTIONS[] = {"profile"};
constexpr ArgumentSpec NEW_SPEC{"RepairStream", {}, 0, NEW_OPTIONS};

constexpr const char* CLOSED_MESSAGE = "feed() after close()";
constexpr const char* BROKEN_MESSAGE = "the stream ran out of memory during a repair and was closed";
constexpr const char* FORKED_MESSAGE =
    "the stream was in use by another thread when the process forked; it cannot be used in the child";

enum class Status : std::uint8_t {
    Open,
    Closed,   // close() succeeded; its text is kept
    Refused,  // the repair was refused; every later call raises the same ValueError
    Broken,   // the engine ran out of memory (or broke an invariant) midway: its state is unknown
    Forked,   // in a child made by fork, while another thread of the parent held the lock
};

// What one Python RepairStream holds. Every field is touched only with
// `lock` held, so calls from several threads take turns.
struct StreamState {
    explicit StreamState(Profile profile) : engine(profile) {}

    std::mutex lock;
    RepairStream engine;
    Status status = Status::Open;
    bool complete = false;     // as the engine last said, kept past close()
    std::size_t characters = 0;  // fed so far, for repr
    std::string_view refusal;  // Refused: the ValueError's message (static text)
    PyRef result;              // Closed: close()'s str, handed out again on request
    std::optional<OutputText> unconverted;  // Closed, but the str could not be made yet
    // Every stream of the process, for the child of a fork (after_fork_in_child).
    StreamState* previous = nullptr;
    StreamState* next = nullptr;
};

// The streams alive in this process, and the lock their links are changed
// under: streams are made and freed on many threads at once when there is
// no GIL. The lock is held only for the few pointer moves below, by a
// thread attached to the interpreter, never across a call into it. So a
// thread waiting for it waits only for such a move, and os.fork, which
// stops every other thread where it may next run Python code (or holds
// the GIL, on a CPython with one), leaves the list whole and the lock free
// in the child.
std::mutex all_streams_lock;
StreamState* all_streams = nullptr;

void add_stream(StreamState* state) noexcept {
    std::lock_guard<std::mutex> guard(all_streams_lock);
    state->next = all_streams;
    if (all_streams) all_streams->previous = state;
    all_streams = state;
}

void remove_stream(StreamState* state) noexcept {
    std::lock_guard<std::mutex> guard(all_streams_lock);
    if (state->previous) state->previous->next = state->next;
    if (state->next) state->next->previous = state->previous;
    if (all_streams == state) all_streams = state->next;
}

// Run in the child of a fork, with the GIL, before any Python code. The
// child has only the thread that forked, which held no stream's lock (none
// is held while Python code runs): a lock held now was held by a thread
// that the child does not have, and would never be let go of. Its stream
// may be halfway through a repair, so it is made unusable (and its engine
// never touched again) rather than waited for; every other stream works.
PyObject* after_fork_in_child(PyObject*, PyObject*) {
    for (StreamState* state = all_streams; state; state = state->next) {
        if (state->lock.try_lock()) {
            state->lock.unlock();
            continue;
        }
        // Made anew: no thread here can unlock the inherited one.
        new (&state->lock) std::mutex();
        state->status = Status::Forked;
    }
    Py_RETURN_NONE;
}

PyMethodDef AFTER_FORK_IN_CHILD = {"_after_fork_in_child", &after_fork_in_child, METH_NOARGS, nullptr};

struct StreamObject {
    PyObject_HEAD
    StreamState* state;
};

StreamState& state_of(PyObject* self) noexcept {
    return *reinterpret_cast<StreamObject*>(self)->state;
}

// Takes the stream's lock. A thread that would have to wait lets go of the
// GIL meanwhile: the holder may itself be waiting for the GIL, or repairing
// without it. The lock is never held while Python code could run (no call
// into the interpreter that may run arbitrary code), so a finaliser or
// another thread that uses the same stream cannot deadlock on it.
std::unique_lock<std::mutex> lock_state(StreamState& state) {
    std::unique_lock<std::mutex> lock(state.lock, std::try_to_lock);
    if (!lock.owns_lock()) {
        lock = without_gil([&] { return std::unique_lock<std::mutex>(state.lock); });
    }
    return lock;
}

// What an engine step gave: its result, or what it threw.
template <class Result>
struct StepOutcome {
    std::optional<Result> result;
    std::exception_ptr failure;
};

// Runs an engine step, without the GIL when it is long. What the step throws
// marks the stream broken (its state is then unknown) and is handed back,
// to be thrown on once the caller has let go of what it holds.
template <class Step>
auto run_engine(StreamState& state, bool long_step, Step&& step) -> StepOutcome<decltype(step())> {
    using Outcome = StepOutcome<decltype(step())>;
    auto attempt = [&]() -> Outcome {
        try {
            return Outcome{step(), nullptr};
        } catch (...) {
            return Outcome{std::nullopt, std::current_exception()};
        }
    };
    Outcome outcome = long_step ? without_gil(attempt) : attempt();
    if (outcome.failure) state.status = Status::Broken;
    return outcome;
}

// The ValueError for a stream that can no longer repair.
PendingError unusable(const StreamState& state) {
    if (state.status == Status::Refused) return PendingError::message(PyExc_ValueError, std::string(state.refusal));
    if (state.status == Status::Forked) return PendingError::message(PyExc_ValueError, FORKED_MESSAGE);
    return PendingError::message(PyExc_ValueError, BROKEN_MESSAGE);
}

PyRef none() { return PyRef::borrow(Py_None); }

PyRef str_from_utf8(std::string_view text) {
    return expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// close()'s text, made into a str once; without memory for it now, the
// bytes stay for the next call.
PyRef closed_text(StreamState& state) {
    if (!state.result) {
        state.result = str_from_utf8(state.unconverted->view());
        state.unconverted.reset();
    }
    return PyRef::borrow(state.result.get());
}

Expected<PyRef> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[1] = {nullptr};
    Expected<Done> bound = bind_arguments(NEW_SPEC, args, kwargs, slots);
    if (!bound) return std::move(bound.error());
    Expected<Profile> profile = profile_argument(slots[0]);
    if (!profile) return std::move(profile.error());
    auto state = std::make_unique<StreamState>(profile.value());
    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef self(allocate(type, 0));
    if (!self) return PendingError::fetch();
    add_stream(state.get());
    reinterpret_cast<StreamObject*>(self.get())->state = state.release();
    return self;
}

// Feeds the bytes of one chunk; an exception of the engine comes back in
// `failure`.
Expected<PyRef> feed_bytes(StreamState& state, std::string_view bytes, std::size_t characters,
                           std::exception_ptr& failure) {
    std::unique_lock<std::mutex> lock = lock_state(state);
    if (state.status == Status::Closed) return PendingError::message(PyExc_ValueError, CLOSED_MESSAGE);
    if (state.status != Status::Open) return unusable(state);
    auto fed = run_engine(state, bytes.size() >= GIL_FREE_BYTES, [&] { return state.engine.feed(bytes); });
    if (fed.failure) {
        failure = fed.failure;
        return none();
    }
    state.characters += characters;
    state.complete = state.engine.complete();
    if (*fed.result) {
        state.status = Status::Refused;
        state.refusal = error_message(**fed.result);
        return unusable(state);
    }
    return none();
}

Expected<PyRef> feed(PyObject* self, PyObject* args, PyObject* kwargs) {
    Expected<TextArgument> chunk = text_argument(FEED_SPEC, args, kwargs);
    if (!chunk) return std::move(chunk.error());
    // The GIL may be given up twice below (waiting for the lock, repairing a
    // long chunk), and a thread that the interpreter ends while it waits for
    // the GIL back unwinds without it: no reference may be owned across, so
    // this one is given back by hand (and leaked by such a thread, at exit).
    const Py_ssize_t characters = PyUnicode_GetLength(chunk.value().text);
    if (characters < 0) return PendingError::fetch();
    PyObject* const encoded = chunk.value().encoded.release();
    std::exception_ptr failure;
    Expected<PyRef> outcome =
        feed_bytes(state_of(self), chunk.value().utf8, static_cast<std::size_t>(characters), failure);
    Py_DECREF(encoded);
    if (failure) std::rethrow_exception(failure);
    return outcome;
}

// The settled text as a str, None before a value has begun; after close(),
// close()'s text.
Expected<PyRef> snapshot_text(PyObject* self) {
    StreamState& state = state_of(self);
    std::optional<std::string> text;
    {
        std::unique_lock<std::mutex> lock = lock_state(state);
        if (state.status == Status::Closed) return closed_text(state);
        if (state.status != Status::Open) return unusable(state);
        // A failed copy leaves the stream as it was: the snapshot only reads it.
        text = state.engine.snapshot();
    }
    if (!text) return none();
    return str_from_utf8(*text);
}

Expected<PyRef> snapshot(PyObject* self, PyObject*) { return snapshot_text(self); }

// json.loads of the snapshot, through whatever `import json` gives now, as
// corvane.loads does; None while the snapshot is None.
Expected<PyRef> value(PyObject* self, PyObject*) {
    Expected<PyRef> text = snapshot_text(self);
    if (!text || text.value().get() == Py_None) return text;
    return json_loads(std::move(text.value()));
}

Expected<PyRef> close(PyObject* self, PyObject*) {
    StreamState& state = state_of(self);
    std::unique_lock<std::mutex> lock = lock_state(state);
    if (state.status == Status::Closed) return closed_text(state);
    if (state.status != Status::Open) return unusable(state);
    auto closed = run_engine(state, state.engine.retained() >= GIL_FREE_BYTES,
                             [&] { return state.engine.close(); });
    if (closed.failure) std::rethrow_exception(closed.failure);
    RepairResult& result = *closed.result;
    if (!result) {
        state.status = Status::Refused;
        state.refusal = error_message(result.error());
        return unusable(state);
    }
    state.status = Status::Closed;
    state.unconverted.emplace(result.take_text());
    return closed_text(state);
}

Expected<PyRef> is_complete(PyObject* self) {
    StreamState& state = state_of(self);
    std::unique_lock<std::mutex> lock = lock_state(state);
    return PyRef::borrow(state.complete ? Py_True : Py_False);
}

Expected<PyRef> is_closed(PyObject* self) {
    StreamState& state = state_of(self);
    std::unique_lock<std::mutex> lock = lock_state(state);
    return PyRef::borrow(state.status == Status::Open ? Py_False : Py_True);
}

Expected<PyRef> representation(PyObject* self) {
    StreamState& state = state_of(self);
    std::string text = "<corvane_stream.RepairStream ";
    {
        std::unique_lock<std::mutex> lock = lock_state(state);
        switch (state.status) {
        case Status::Open: text += state.complete ? "complete" : "open"; break;
        case Status::Closed: text += "closed"; break;
        case Status::Refused: text += "refused"; break;
        case Status::Broken: text += "broken"; break;
        case Status::Forked: text += "forked while in use"; break;
        }
        text += ", ";
        text += std::to_string(state.characters);
    }
    text += " characters fed>";
    return str_from_utf8(text);
}

// The interpreter's signatures for each slot and method, each with the one
// guard and the one place that raises.
PyObject* new_slot(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return construct(type, args, kwargs); });
}

void dealloc_slot(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    StreamState* const state = reinterpret_cast<StreamObject*>(self)->state;
    remove_stream(state);
    // A stream left mid-repair by a fork may have its buffers half-moved:
    // freeing them could free twice. The child keeps those few bytes.
    if (state->status != Status::Forked) delete state;
    auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    release(self);
    Py_DECREF(type);
}

PyObject* repr_slot(PyObject* self) {
    return entry_point([&] { return representation(self); });
}

PyObject* feed_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_point([&] { return feed(self, args, kwargs); });
}

template <Expected<PyRef> (*Method)(PyObject*, PyObject*)>
PyObject* no_argument_method(PyObject* self, PyObject* unused) {
    return entry_point([&] { return Method(self, unused); });
}

template <Expected<PyRef> (*Getter)(PyObject*)>
PyObject* getter(PyObject* self, void*) {
    return entry_point([&] { return Getter(self); });
}

PyMethodDef METHODS[] = {
    {"feed", as_method(&feed_method), METH_VARARGS | METH_KEYWORDS,
     "feed($self, chunk)\n--\n\n"
     "Add the next piece of the text and repair as far as it settles.\n\n"
     "Raises ValueError as soon as the repair is certain to be refused (the stream\n"
     "is then finished), and after close()."},
    {"snapshot", &no_argument_method<snapshot>, METH_NOARGS,
     "snapshot($self)\n--\n\n"
     "Return the settled part as compact JSON, or None before a value has begun.\n\n"
     "Each snapshot grows into the next: a value shown never changes type, never\n"
     "shrinks and never disappears. After close(), close()'s result."},
    {"value", &no_argument_method<value>, METH_NOARGS,
     "value($self)\n--\n\n"
     "Return the snapshot deserialized with Python's standard `json` module, or None."},
    {"close", &no_argument_method<close>, METH_NOARGS,
     "close($self)\n--\n\n"
     "End the input and return the repair of everything fed, exactly as\n"
     "corvane.repair() gives it (or raise its ValueError). Later calls return the same.\n"
     "Under profile='model', as corvane_model.repair() gives it."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef PROPERTIES[] = {
    {"complete", &getter<is_complete>, nullptr,
     "True once the first value has been closed in the input: the snapshot is final.", nullptr},
    {"closed", &getter<is_closed>, nullptr,
     "True after close(), or once the repair was refused.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot TYPE_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(&new_slot)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_slot)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_slot)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, PROPERTIES},
    {Py_tp_doc, const_cast<char*>(
                    "RepairStream(*, profile='default')\n--\n\n"
                    "Repair of JSON that is still arriving: feed() it the text piece by piece,\n"
                    "read snapshot() of what is settled at any time, and close() at the end.\n"
                    "profile='model' repairs by the rules of corvane_model instead of those of corvane.")},
    {0, nullptr},
};

PyType_Spec TYPE_SPEC = {
    "corvane_stream.RepairStream",
    static_cast<int>(sizeof(StreamObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    TYPE_SLOTS,
};

// Makes after_fork_in_child run in every child that os.fork makes (and so
// in multiprocessing's and in subprocess's with a preexec_fn). A system
// without os.register_at_fork has no fork either.
Expected<Done> register_fork_handler() {
    PyRef os = expect_object(PyImport_ImportModule("os"));
    PyRef register_at_fork(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!register_at_fork) {
        PyErr_Clear();
        return Done{};
    }
    PyRef handler = expect_object(PyCFunction_New(&AFTER_FORK_IN_CHILD, nullptr));
    PyRef arguments = expect_object(PyTuple_New(0));
    PyRef keywords = expect_object(Py_BuildValue("{sO}", "after_in_child", handler.get()));
    PyRef done(PyObject_Call(register_at_fork.get(), arguments.get(), keywords.get()));
    if (!done) return PendingError::fetch();
    return Done{};
}

Expected<Done> fill_module(PyObject* module) {
    // Once per process, however often the module is loaded, and by however
    // many threads at once.
    static std::atomic<bool> fork_handled{false};
    if (!fork_handled.exchange(true)) {
        Expected<Done> registered = register_fork_handler();
        if (!registered) {
            fork_handled = false;
            return registered;
        }
    }
    Expected<Done> added = add_object(module, "RepairStream", expect_object(PyType_FromSpec(&TYPE_SPEC)));
    if (!added) return added;
    return add_all_and_version(module, {"RepairStream"}, CORVANE_VERSION);
}

PyModuleDef DEFINITION = module_definition<fill_module>(
    "corvane_stream", "Repair of JSON that is still arriving, with snapshots that only grow.");

}  // namespace
}  // namespace corvane::module

PyMODINIT_FUNC PyInit_corvane_stream(void) {
    return PyModuleDef_Init(&corvane::module::DEFINITION);
}
