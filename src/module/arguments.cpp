#include "module/arguments.hpp"

#include <string>

namespace corvane::module {
namespace {

std::string display_name(const ArgumentSpec& signature) {
    std::string name(signature.function_name);
    name += "()";
    return name;
}

std::string_view parameter_name(const ArgumentSpec& signature, std::size_t index) noexcept {
    const std::size_t positional = signature.positional_names.size();
    return index < positional ? signature.positional_names[index] : signature.keyword_only_names[index - positional];
}

// The index of the parameter that `key` names, or the parameter count when it
// names none. A key that is not a str or has no UTF-8 form names none.
std::size_t parameter_index(const ArgumentSpec& signature, PyObject* key) noexcept {
    const std::size_t none = signature.positional_names.size() + signature.keyword_only_names.size();
    if (!is_str(key)) {
        return none;
    }
    PyRef encoded(PyUnicode_AsUTF8String(key));
    if (!encoded) {
        PyErr_Clear();
        return none;
    }
    const std::string_view text(PyBytes_AsString(encoded.get()),
                                static_cast<std::size_t>(PyBytes_Size(encoded.get())));
    for (std::size_t i = 0; i < none; ++i) {
        if (parameter_name(signature, i) == text) {
            return i;
        }
    }
    return none;
}

// str(key) as UTF-8, lone surrogates kept (the message decodes them back).
Expected<std::string> key_text(PyObject* key) {
    PyRef text(PyObject_Str(key));
    if (!text) {
        return PendingError::fetch();
    }
    PyRef bytes(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    if (!bytes) {
        return PendingError::fetch();
    }
    return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

PendingError too_many_positional(const ArgumentSpec& signature, Py_ssize_t given) {
    // "arguments" stays plural even for one parameter, as the message always read.
    std::string text = display_name(signature);
    text += " takes ";
    text += std::to_string(signature.positional_names.size());
    text += " positional arguments but ";
    text += std::to_string(given);
    text += given == 1 ? " was given" : " were given";
    return PendingError::message(PyExc_TypeError, std::move(text));
}

PendingError unexpected_keyword(const ArgumentSpec& signature, std::string_view key) {
    std::string text = display_name(signature);
    text += " got an unexpected keyword argument '";
    text += key;
    text += "'";
    return PendingError::message(PyExc_TypeError, std::move(text));
}

PendingError multiple_values(const ArgumentSpec& signature, std::string_view parameter) {
    std::string text = display_name(signature);
    text += " got multiple values for argument '";
    text += parameter;
    text += "'";
    return PendingError::message(PyExc_TypeError, std::move(text));
}

PendingError missing_required(const ArgumentSpec& signature, std::span<PyObject*> slots) {
    std::string names;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < signature.required_positional; ++i) {
        if (slots[i] != nullptr) {
            continue;
        }
        if (missing > 0) {
            names += ", ";
        }
        names += "'";
        names += signature.positional_names[i];
        names += "'";
        ++missing;
    }
    std::string text = display_name(signature);
    text += " missing ";
    text += std::to_string(missing);
    text += " required positional ";
    text += missing == 1 ? "argument: " : "arguments: ";
    text += names;
    return PendingError::message(PyExc_TypeError, std::move(text));
}

}  // namespace

bool is_str(PyObject* object) noexcept {
    return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

Expected<Done> bind_arguments(const ArgumentSpec& signature, PyObject* args, PyObject* kwargs,
                              std::span<PyObject*> slots) {
    const Py_ssize_t given = PyTuple_Size(args);
    if (given < 0) {
        return PendingError::fetch();
    }
    const std::size_t parameters = signature.positional_names.size();
    for (std::size_t i = 0; i < parameters && i < static_cast<std::size_t>(given); ++i) {
        slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }
    if (static_cast<std::size_t>(given) > parameters) {
        return too_many_positional(signature, given);
    }

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            const std::size_t index = parameter_index(signature, key);
            if (index == parameters + signature.keyword_only_names.size()) {
                Expected<std::string> text = key_text(key);
                if (!text) {
                    return std::move(text.error());
                }
                return unexpected_keyword(signature, text.value());
            }
            if (slots[index] != nullptr) {
                return multiple_values(signature, parameter_name(signature, index));
            }
            slots[index] = value;
        }
    }

    if (static_cast<std::size_t>(given) < signature.required_positional) {
        for (std::size_t i = static_cast<std::size_t>(given); i < signature.required_positional; ++i) {
            if (slots[i] == nullptr) {
                return missing_required(signature, slots);
            }
        }
    }
    return Done{};
}

namespace {

PendingError with_argument_note(PendingError error, std::string_view parameter) {
    std::string note = "while processing '";
    note += parameter;
    note += "'";
    error.add_note(note);
    return error;
}

}  // namespace

Expected<TextArgument> text_argument(const ArgumentSpec& signature, PyObject* args, PyObject* kwargs) {
    PyObject* slots[1] = {nullptr};
    Expected<Done> bound = bind_arguments(signature, args, kwargs, slots);
    if (!bound) {
        return std::move(bound.error());
    }
    return text_value(slots[0], signature.positional_names[0]);
}

Expected<TextArgument> text_value(PyObject* input, std::string_view parameter) {
    if (!is_str(input)) {
        return with_argument_note(
            PendingError::wrong_type(input, reinterpret_cast<PyObject*>(&PyUnicode_Type)), parameter);
    }
    TextArgument argument;
    argument.text = input;
    argument.encoded = PyRef(PyUnicode_AsUTF8String(input));
    if (!argument.encoded) {
        return with_argument_note(PendingError::fetch(), parameter);
    }
    const char* data = PyBytes_AsString(argument.encoded.get());
    const Py_ssize_t size = PyBytes_Size(argument.encoded.get());
    if (data == nullptr || size < 0) {
        return PendingError::fetch();
    }
    argument.utf8 = std::string_view(data, static_cast<std::size_t>(size));
    return argument;
}

Expected<Py_ssize_t> index_value(PyObject* value, std::string_view parameter) {
    // Without an exception type, PyNumber_AsSsize_t clips an int too large
    // either way instead of raising, as slicing does.
    const Py_ssize_t index = PyNumber_AsSsize_t(value, nullptr);
    if (index == -1 && PyErr_Occurred()) {
        return with_argument_note(PendingError::fetch(), parameter);
    }
    return index;
}

Expected<std::string> word_argument(PyObject* value, std::string_view parameter) {
    if (!is_str(value)) {
        return PendingError::wrong_type(value, reinterpret_cast<PyObject*>(&PyUnicode_Type), std::string(parameter));
    }
    PyRef encoded(PyUnicode_AsUTF8String(value));
    if (!encoded) return PendingError::fetch();
    return std::string(PyBytes_AsString(encoded.get()), static_cast<std::size_t>(PyBytes_Size(encoded.get())));
}

Expected<Profile> profile_argument(PyObject* value) {
    if (value == nullptr) return Profile::Default;
    Expected<std::string> word = word_argument(value, "profile");
    if (!word) return std::move(word.error());
    if (word.value() == "default") return Profile::Default;
    if (word.value() == "model") return Profile::Model;
    return PendingError::message(PyExc_ValueError, "profile must be 'default' or 'model', not '" + word.value() + "'");
}

}  // namespace corvane::module
