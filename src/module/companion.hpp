// What every companion module (corvane_stream, corvane_batch) publishes
// besides its own names.
#pragma once

#include "module/pending_error.hpp"

#include <initializer_list>
#include <string_view>

namespace corvane::module {

// Sets the module's attribute `name` to `value`.
Expected<Done> add_object(PyObject* module, const char* name, PyRef value);

// Sets __all__ to `names` and __version__ to `version`.
Expected<Done> add_all_and_version(PyObject* module, std::initializer_list<const char*> names,
                                   std::string_view version);

}  // namespace corvane::module
