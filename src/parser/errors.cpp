#include "parser/errors.hpp"

namespace corvane {

std::string_view error_message(RepairError error) noexcept {
    static_assert(MAX_DEPTH == 128, "the DepthExceeded message spells out the limit");
    switch (error) {
        case RepairError::DepthExceeded:
            return "JSON nesting exceeds the limit of 128 containers";
        case RepairError::AmbiguousQuote:
            return "Ambiguous unescaped quote in object value; escape inner quotes before repair";
    }
    return "unknown repair error";
}

}  // namespace corvane
