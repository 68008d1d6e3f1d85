// --explain: what the repair of an input did and where, in words a person
// reads beside the file, instead of the repaired text.
#pragma once

#include "cli/io.hpp"

#include <string_view>

namespace corvane::cli {

// Writes to `out` the explanation of `text` (valid UTF-8), named `name`: one
// line per edit, NAME:LINE:COLUMN: KIND: 'old' -> 'new' (line and column
// 1-based, the column in characters), then a refusal, a value cut off by the
// end of the input, a text without a value, and the characters dropped
// before and after the value (when they are more than whitespace). With
// `lines`, every line that is not blank is a value of its own, explained
// with its own line number. Returns the status --check gives the same text:
// 0 when the repair changes nothing but whitespace, else 1.
int explain(std::string_view name, std::string_view text, bool lines, OutputSink& out);

}  // namespace corvane::cli
