// The engine's limits and the ways it ends other than with a repaired text:
// the refusals (values, with their messages), the internal fault (thrown),
// and the result type that carries either the text or a refusal. Shared by
// the whole-text repair, the stream and the pass under both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "parser/output.hpp"

namespace corvane {

// The number of containers that may be open at once.
inline constexpr std::uint32_t MAX_DEPTH = 128;

// Whether one more container may open where `depth` are open: the one test
// of the limit, for the pass and the strict stretch alike.
constexpr bool may_open_container(std::uint32_t depth) { return depth < MAX_DEPTH; }

// The only two ways a repair is refused.
enum class RepairError : std::uint8_t {
    DepthExceeded = 0,
    AmbiguousQuote = 1,
};

// The fixed message of each refusal, exactly as users see it (no final stop).
std::string_view error_message(RepairError error) noexcept;

// Thrown only when an invariant of the engine breaks (never for bad input):
// front-ends turn it into their internal-error report, never into a refusal.
class InternalFault : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Either the repaired text or a refusal, never both. The text is the output
// buffer itself, moved out without a copy.
class RepairResult {
public:
    static RepairResult success(OutputText text) noexcept {
        RepairResult r;
        r.text_ = std::move(text);
        return r;
    }
    static RepairResult failure(RepairError error) noexcept {
        RepairResult r;
        r.failed_ = true;
        r.error_ = error;
        return r;
    }

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }
    RepairError error() const noexcept { return error_; }
    std::string_view text() const noexcept { return text_.view(); }
    OutputText take_text() noexcept { return std::move(text_); }

private:
    RepairResult() = default;
    OutputText text_;
    bool failed_ = false;
    RepairError error_ = RepairError::DepthExceeded;
};

}  // namespace corvane
