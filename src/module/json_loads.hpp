// json.loads, as both modules call it for their values.
#pragma once

#include "module/pending_error.hpp"

namespace corvane::module {

// The `loads` of whatever `import json` gives now, called on `text`: the
// import runs on every call, so a replaced sys.modules["json"] is honoured.
Expected<PyRef> json_loads(PyRef text);

}  // namespace corvane::module
