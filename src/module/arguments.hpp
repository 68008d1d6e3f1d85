// Binding of a call's positional tuple and keyword dictionary to parameters.
#pragma once

#include "module/pending_error.hpp"
#include "parser/repair.hpp"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace corvane::module {

// What the binder knows of one function: its name (messages show it followed
// by "()"), its positional-or-keyword parameters and how many are required,
// and its optional keyword-only parameters.
struct ArgumentSpec {
    std::string_view function_name;
    std::span<const std::string_view> positional_names;
    std::size_t required_positional;
    std::span<const std::string_view> keyword_only_names = {};
};

// Fills `slots` (one per parameter, positional ones first, initially NULL) with borrowed
// references from `args` and `kwargs` (which may be NULL), or fails with the
// TypeError that the interpreter itself would word for a Python function.
// Neither adds nor drops references to the arguments.
Expected<Done> bind_arguments(const ArgumentSpec& signature, PyObject* args, PyObject* kwargs,
                              std::span<PyObject*> slots);

// True for a str or an instance of a subclass of str.
bool is_str(PyObject* object) noexcept;

// A str argument in UTF-8: `utf8` views the buffer of the bytes object that
// `encoded` owns; `text` is the str itself, borrowed from the call.
struct TextArgument {
    PyObject* text = nullptr;
    PyRef encoded;
    std::string_view utf8;
};

// Binds a function's one parameter, which must be a str (subclasses too: their
// characters are encoded, their __str__ is never called). A failure to
// convert carries the note "while processing '<parameter>'".
Expected<TextArgument> text_argument(const ArgumentSpec& signature, PyObject* args, PyObject* kwargs);

// The same for a value already bound to `parameter`.
Expected<TextArgument> text_value(PyObject* input, std::string_view parameter);

// An index argument (an int, or anything with __index__), clipped to the
// range of Py_ssize_t as a slice's bounds are. A value of another type raises
// the interpreter's TypeError with the same note as text_value.
Expected<Py_ssize_t> index_value(PyObject* value, std::string_view parameter);

// A keyword argument that names one of a few words (on_error, profile): its
// UTF-8 text, or the TypeError, after "<parameter>: ", for anything but a str.
Expected<std::string> word_argument(PyObject* value, std::string_view parameter);

// The rules a `profile` argument names, "default" or "model" (a ValueError
// listing them for any other word); not given (NULL), the default rules.
// Every function that repairs and takes a profile reads it here.
Expected<Profile> profile_argument(PyObject* value);

}  // namespace corvane::module
