// The reference repair: the same engine with plain one-byte-at-a-time
// scanners and no number shortcut. Tests and fuzz targets compare the fast
// engine against it; users have no reason to call it.
#pragma once

#include <cstddef>

#include "parser/errors.hpp"
#include "parser/repair.hpp"

namespace corvane {

RepairResult repair_text_reference(const char* data, std::size_t length);
// The reference under the rules of `profile`.
RepairResult repair_text_reference(const char* data, std::size_t length, Profile profile);

// The fast engine with the strict stretch's scalar block classifier, so that
// the twin of the vector classifier runs through the whole pass on every
// processor, and with the stretch tried at every container it opens.
RepairResult repair_text_scalar_blocks(const char* data, std::size_t length);
RepairResult repair_text_scalar_blocks(const char* data, std::size_t length, Profile profile);

}  // namespace corvane
