// The forward pass: the state of one repair, shared by the whole-text
// entries (repair_text, the reference) and the stream (parser/stream.hpp),
// with everything the pass needs to stop where its input runs out and go
// on when more arrives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "lexer/lexer.hpp"
#include "parser/errors.hpp"
#include "parser/model.hpp"
#include "parser/output.hpp"
#include "parser/report.hpp"
#include "parser/strict.hpp"
#include "platform/platform.hpp"

namespace corvane {

// Where the pass stands: the step it resumes at. The pass is a loop over
// these steps, each one function of pass.cpp that returns the next.
enum class Step : std::uint8_t {
    Value,        // a value is due in the current place
    ArrayNext,    // in an array, before the next element or the end
    ObjectNext,   // in an object, before the next key or the end
    ObjectColon,  // after a key, before its ':'
    String,       // inside a string
    QuoteGap,     // after a quote in an object value: the gap after it,
    QuoteWord,    //   the word that may be the next member's key,
    QuoteColon,   //   and the ':' that would make it one
    Finished,     // the first value is complete, or the repair was refused
    // Only inside one run of the pass, never resumed at:
    Paused,       // the pass has stopped to wait for input
    Refused,      // the pass has stopped on a refusal
};

// What a whole text is: all of it is there, so the pass never stops
// before the end and makes no test of whether more may follow.
struct WholeText {
    static constexpr bool ARRIVING = false;
};
// Text still arriving (the stream): the pass stops where the input so far
// cannot decide, and `Repairer::final` says when the end has come.
struct ArrivingText {
    static constexpr bool ARRIVING = true;
};

struct Repairer;

// Told of what the pass does, by the steps; the silent one, compiled away,
// is the default. The report's (parser/report_observer.hpp) says what each
// call means. Passed by value: an observer is empty or a handle.
struct SilentObserver {
    void began(std::size_t) const {}
    void finished(const Repairer&) const {}
    void refused(std::size_t) const {}
    void edit(EditKind, std::size_t, std::size_t, std::string_view) const {}
    void wrote(EditKind, std::size_t, std::size_t, const OutputBuffer&, std::size_t) const {}
    void token(std::size_t, std::size_t, const OutputBuffer&, std::size_t) const {}
    void gap(std::size_t, std::size_t) const {}
    void stray(std::size_t) const {}
    void comma(bool, std::size_t) const {}
    void container_end() const {}
};

// The rule sets: the default rules, and the model profile's, which add to
// them (parser/model.hpp). The default pass has no test of the profile at
// all: every step of the profile is compiled in only under ModelRules.
struct DefaultRules {
    static constexpr bool MODEL = false;
};
struct ModelRules {
    static constexpr bool MODEL = true;
};

// What the pass is compiled for: the byte-run scanners (FastScan, or the
// reference's ScalarScan), the input (WholeText or ArrivingText), the
// observer and the rule set. Later observers are further members.
template <class ScanType, class InputType, class ObserverType = SilentObserver, class RulesType = DefaultRules>
struct PassPolicy {
    using Scan = ScanType;
    using Input = InputType;
    using Observer = ObserverType;
    using Rules = RulesType;
};

enum class Outcome : std::uint8_t {
    Finished,  // the first value is complete (or there is none)
    Refused,   // `error` says why
    Paused,    // only while more input may follow: `pause` says what is awaited
};

struct Repairer {
    Repairer(std::size_t capacity, Lexer cursor, bool is_final)
        : out(capacity), lexer(cursor), final(is_final) {}

    OutputBuffer out;
    Lexer lexer;
    // lexer.end is the end of the input, not only of what has arrived.
    bool final;

    Step step = Step::Value;
    // Open containers, outermost first: whether each is an object. Kept here
    // rather than in native recursion, so that the pass can stop anywhere.
    std::uint32_t depth = 0;
    std::array<bool, MAX_DEPTH> is_object;
    // The innermost container has written an element or member.
    bool need_comma = false;
    // The string or word being read is an object key.
    bool in_key = false;
    // The open string's quote, and the cursor of the look-ahead after a
    // quote in an object value (the real cursor stays just after the quote).
    std::uint8_t quote = 0;
    std::size_t look = 0;
    // The word the look-ahead read as the next member's key, once it has.
    std::size_t key_at = 0;
    std::size_t key_end = 0;

    // How the strict stretch classifies blocks (None: never taken), and the
    // input position before which it is not tried again after a short run.
    // Tests take it at every container, to reach it wherever it can start.
    BlockKernel strict_kernel = BlockKernel::None;
    std::size_t strict_retry_at = 0;
    bool strict_every_container = false;

    // The model profile's state: whether the pass follows it, whether the
    // open string holds an unpaired inner quote, what closes each open array
    // (']', or the '}' of a set and the ')' of a tuple), and the unquoted
    // value the stream waits on. Set by the profile's entries only, so that
    // the default repair does not even initialise them.
    bool model;
    bool inner_odd;
    std::array<std::uint8_t, MAX_DEPTH> closer;
    model::RunScan run;

    bool wrote = false;  // the first value was written ("null" stands in otherwise)
    RepairError error = RepairError::DepthExceeded;
    Pause pause{Need::Byte, 0};

    // The output up to `shown` is complete JSON once the open containers are
    // closed; while a value string is open, all of the output is, once the
    // string is closed too. Snapshots of a stream show exactly that.
    std::size_t shown = 0;
    bool showing_string = false;

    // Calls `f` on each input position the pass keeps, for a stream that
    // drops input before them.
    template <class F>
    void each_position(F&& f) {
        lexer.each_position(f);
        pause.each_position(f);
        f(look);
        f(key_at);
        f(key_end);
        f(strict_retry_at);
        run.each_position(f);
    }
};

// Runs the forward pass from where `r` stands until the first value is
// complete, the repair is refused, or (when not `final`) the input runs out.
Outcome continue_repair(Repairer& r);

// Repairs a whole text with the scanners `Scan` (FastScan, or ScalarScan for
// the reference), the strict stretch classifying blocks with `strict_kernel`
// (never taken with None), tried at every container it opens when
// `strict_every_container`, telling `observer` of each repair, the search
// for the first bracket helped by `prose_memo` when one is given, under the
// rule set `Rules`. Built for FastScan and ScalarScan, silent, under both
// rule sets, and for the report's observer with FastScan.
template <class Scan, class Observer = SilentObserver, class Rules = DefaultRules>
RepairResult repair_whole_text(const char* data, std::size_t length, BlockKernel strict_kernel,
                               bool strict_every_container, Observer observer = {},
                               ProseMemo* prose_memo = nullptr);

}  // namespace corvane
