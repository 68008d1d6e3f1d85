// Repair of JSON that is still arriving: the same forward pass as
// repair_text, fed piece by piece, with a snapshot of what is settled at any
// moment. Knows nothing of Python.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "lexer/lexer.hpp"
#include "parser/errors.hpp"
#include "parser/model.hpp"
#include "parser/pass.hpp"
#include "parser/repair.hpp"

namespace corvane {

// Feeding a text in any number of pieces and closing gives exactly what
// repair_text gives for the whole text, refusals included. Each byte is read
// a bounded number of times however the text is cut, and only the input not
// yet settled is kept.
class RepairStream {
public:
    // A stream under the rules of `profile` (parser/repair.hpp).
    explicit RepairStream(Profile profile = Profile::Default);

    // Adds the next bytes of the text and repairs as far as they settle.
    // Returns the refusal as soon as it is certain whatever follows; the
    // stream is then finished. Precondition: the whole text is valid UTF-8
    // (a piece may end inside a character).
    std::optional<RepairError> feed(std::string_view bytes);

    // The settled part as compact JSON: every value shown only grows as more
    // input arrives (a string gets longer, containers get more members), and
    // nothing later input could still change is shown. Empty before a value
    // has begun (until a bracket ends any prose in front of it).
    std::optional<std::string> snapshot() const;

    // The first value has been closed in the input: the snapshot is final.
    bool complete() const noexcept { return phase_ == Phase::Done && !refused_; }

    // The end of the text: the repair of everything fed, as repair_text
    // would give it. Called once; the stream is finished afterwards.
    RepairResult close();

    // Bytes of input kept, for the checks that the stream keeps only what
    // is not settled.
    std::size_t retained() const noexcept { return input_.size(); }

private:
    // Model: the model profile looks for where the value begins (past
    // reasoning blocks, into a fence) between Start and Seek.
    enum class Phase : std::uint8_t { Start, Model, Seek, Parse, Done };

    void run();
    bool awaited_has_arrived();
    void note_firm_bytes(std::size_t from);
    void discard_settled_input();
    void drop_waiting_comment_body();
    void erase_input(std::size_t from, std::size_t to);

    std::string input_;  // the input not yet settled; positions below are indices into it
    std::size_t firm_end_ = 0;  // after the last byte that no end-of-input rule can cut off
    std::size_t watched_ = 0;   // how far the awaited byte has been looked for
    std::size_t start_ = 0;     // where the significant input starts (once known)
    bool final_ = false;
    Phase phase_ = Phase::Start;
    std::optional<RepairError> refused_;
    StartScan start_scan_;
    ProseScan prose_;
    Pause prose_pause_{Need::Byte, 0};
    model::Start model_start_;
    Repairer repairer_;
};

}  // namespace corvane
