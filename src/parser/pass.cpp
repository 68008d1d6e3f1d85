// The repair engine: one forward pass over the input bytes, appending the
// repaired JSON to an output buffer. Only the strict stretch writes ahead of
// its checks, and takes back what it could not confirm (parser/strict.hpp).
//
// Read it top-down: repair_text -> repair_whole_text -> run_pass (the loop over the steps)
// -> one function per step (parse_value, next_element, next_member,
// read_colon, repair_string, the look-ahead after a quote, the strict
// stretch) -> write_number, write_bareword, write_escape ->
// write_escaped_byte. Open containers live on an explicit stack
// (Repairer::is_object), not in native recursion, so the pass can stop
// wherever the input received so far runs out and go on when more arrives.
// The pass is compiled for a policy (pass.hpp): a whole text, which never
// stops and has no pause test at all, or arriving text (the stream); and
// FastScan for users or ScalarScan for the reference that tests compare
// against.
#include "parser/pass.hpp"

#include <type_traits>

#include "lexer/lexer.hpp"
#include "parser/model.hpp"
#include "parser/repair.hpp"
#include "parser/output.hpp"
#include "parser/report_observer.hpp"
#include "parser/utf8.hpp"
#include "platform/platform.hpp"

namespace corvane {

namespace {

// A strict stretch shorter than this many bytes is not tried again before
// the pass has read the gap after it.
constexpr std::size_t STRICT_SHORT_RUN = 128;
constexpr std::size_t STRICT_RETRY_GAP = 4096;

// The observer is given only when it is not the silent one: even an empty
// argument makes the compiler clone the loop, at a cost to every call.
template <class Policy, class... Observer> Outcome run_pass(Repairer& r, Observer... observer);
void model_whole_text_start(Repairer& r);
template <class Scan> void write_number(Lexer& lx, OutputBuffer& out);
template <class Scan> bool copy_plain_number(Lexer& lx, OutputBuffer& out);
void rewrite_number(OutputBuffer& out, std::string_view token);
void write_bareword(OutputBuffer& out, std::string_view token);
void write_token_as_string(OutputBuffer& out, std::string_view token);
void write_missing_comma_member(OutputBuffer& out, const std::uint8_t* key, std::size_t size);
std::size_t write_escape(const std::uint8_t* data, std::size_t p, std::size_t end, OutputBuffer& out);
std::size_t write_model_escape(const std::uint8_t* data, std::size_t p, std::size_t end, OutputBuffer& out,
                               std::uint8_t quote);
void write_model_word(OutputBuffer& out, std::string_view token);
void write_escaped_byte(OutputBuffer& out, std::uint8_t byte);

}  // namespace

template <class Scan, class Observer, class Rules>
RepairResult repair_whole_text(const char* data, std::size_t length, BlockKernel strict_kernel,
                               bool strict_every_container, Observer observer, ProseMemo* prose_memo) {
    // The stretch stores whole blocks past what it keeps: with its room
    // reserved, a short text never grows the buffer.
    const std::size_t slack = strict_kernel == BlockKernel::None ? 16 : STRICT_OUTPUT_ROOM;
    Repairer r(length + slack, Lexer(data, length), true);
    if constexpr (Rules::MODEL) model_whole_text_start(r);
    r.strict_kernel = strict_kernel;
    r.strict_every_container = strict_every_container;
    ProseScan prose;
    prose.memo = prose_memo;
    Pause unused;
    seek_container_start<Scan>(r.lexer, true, prose, unused);
    observer.began(r.lexer.pos);

    Outcome outcome;
    if constexpr (std::is_same_v<Observer, SilentObserver>) {
        outcome = run_pass<PassPolicy<Scan, WholeText, SilentObserver, Rules>>(r);
    } else {
        outcome = run_pass<PassPolicy<Scan, WholeText, Observer, Rules>>(r, observer);
    }
    observer.finished(r);
    if (outcome == Outcome::Refused) return RepairResult::failure(r.error);
    if (!r.wrote) r.out.append_literal("null");

    // The reference checks its output with the scalar check, so that it has
    // no vector code at all.
    const bool valid = Scan::REFERENCE ? is_valid_utf8_reference(r.out.data(), r.out.size())
                                       : is_valid_utf8(r.out.data(), r.out.size());
    if (CORVANE_UNLIKELY(!valid)) {
        throw InternalFault("repair output is always utf-8");
    }
    return RepairResult::success(r.out.take());
}

template RepairResult repair_whole_text<FastScan>(const char*, std::size_t, BlockKernel, bool, SilentObserver,
                                                 ProseMemo*);
template RepairResult repair_whole_text<ScalarScan>(const char*, std::size_t, BlockKernel, bool, SilentObserver,
                                                   ProseMemo*);
template RepairResult repair_whole_text<FastScan>(const char*, std::size_t, BlockKernel, bool, ReportObserver,
                                                 ProseMemo*);
template RepairResult repair_whole_text<FastScan, SilentObserver, ModelRules>(const char*, std::size_t, BlockKernel,
                                                                             bool, SilentObserver, ProseMemo*);
template RepairResult repair_whole_text<ScalarScan, SilentObserver, ModelRules>(const char*, std::size_t, BlockKernel,
                                                                               bool, SilentObserver, ProseMemo*);

// Here rather than in a file of its own, so that the whole-text repair is
// inlined into it: a call of a small text pays for nothing else.
RepairResult repair_text(const char* data, std::size_t length) {
    static const BlockKernel kernel = fast_block_kernel();
    return repair_whole_text<FastScan>(data, length, kernel, false);
}

// The model profile reads strict JSON as the default rules do, and takes
// the strict stretch where the profile would read the same (see
// model::stretch_holds): the stretch commits a string's end before a ','
// without looking past it, writes missing commas, and commits inside a
// brace before knowing that it is no set, which the profile decides
// otherwise.
RepairResult repair_text(const char* data, std::size_t length, Profile profile) {
    if (profile == Profile::Default) return repair_text(data, length);
    static const BlockKernel kernel = fast_block_kernel();
    return repair_whole_text<FastScan, SilentObserver, ModelRules>(data, length, kernel, false);
}

Outcome continue_repair(Repairer& r) {
    if (r.model) return run_pass<PassPolicy<FastScan, ArrivingText, SilentObserver, ModelRules>>(r);
    return run_pass<PassPolicy<FastScan, ArrivingText>>(r);
}

namespace {

// Whether the word at the cursor ends before the input received so far does.
bool word_is_whole(const Lexer& lexer) {
    Lexer probe = lexer;
    scan_bareword(probe);
    return probe.pos < probe.end;
}

// Where the last member of `out` (compact JSON that ends with a key and its
// ':') begins, its comma not included: what a snapshot shows of a stream
// whose strict stretch handed back just after a member's ':'.
std::size_t before_last_member(const char* out, std::size_t size) {
    std::size_t quote = size - 2;  // the key's closing quote
    for (;;) {
        --quote;
        if (out[quote] != '"') continue;
        std::size_t backslashes = 0;
        while (out[quote - 1 - backslashes] == '\\') ++backslashes;
        if (backslashes % 2 == 0) break;
    }
    return out[quote - 1] == ',' ? quote - 1 : quote;
}

// Whether the escape whose backslash is at `p` can be read whole from
// `data[p, end)`: its byte, and for \u the four hex digits or what cuts them short.
bool escape_is_whole(const std::uint8_t* data, std::size_t p, std::size_t end) {
    if (p + 1 >= end) return false;
    if (data[p + 1] != 'u') return true;
    for (std::size_t i = p + 2; i < p + 6; ++i) {
        if (i >= end) return false;
        if (!is_hex_digit(data[i])) return true;
    }
    return true;
}

// Where copying a string's content stopped, and why: just past an unescaped
// quote of the opening kind, or where the input so far runs out (or on an
// escape whose bytes have not all arrived).
struct StringStop {
    std::size_t pos;
    bool at_quote;
};

// Copies a string's content from `pos`, escaped as JSON requires. Plain
// content is copied in runs; only quotes, backslashes and control bytes need
// a decision. Out of line, and given the cursor by value, so that its loop
// has the registers to itself and the pass keeps its own cursor in one. A
// whole text never waits for the rest of an escape.
template <class Scan, bool ARRIVING, class Observer, bool MODEL = false>
CORVANE_NOINLINE StringStop copy_string_content(const std::uint8_t* data, std::size_t pos, std::size_t end,
                                                 OutputBuffer& out, std::uint8_t quote, bool final,
                                                 Observer obs) {
    while (pos < end) {
        pos = Scan::copy_string_run(data, pos, end, quote, out);
        if (pos == end) break;
        const std::uint8_t byte = data[pos];
        if (byte == quote) return {pos + 1, true};
        if (byte == '\\') {
            if constexpr (ARRIVING) {
                if (!final && !escape_is_whole(data, pos, end)) break;
            }
            const std::size_t escape_at = pos, written = out.size();
            if constexpr (MODEL) {
                pos = write_model_escape(data, pos + 1, end, out, quote);
            } else {
                pos = write_escape(data, pos + 1, end, out);
            }
            obs.wrote(EditKind::EscapeRepaired, escape_at, pos, out, written);
        } else {
            const std::size_t written = out.size();
            ++pos;
            write_escaped_byte(out, byte);
            obs.wrote(EditKind::CharacterEscaped, pos - 1, pos, out, written);
        }
    }
    return {pos, false};
}

// One run of the pass, from where the Repairer stands. The hot state lives
// here, in what the compiler keeps as locals (every step is inlined into
// run_pass), and is written back only when the pass stops: every byte
// stored through the output's char pointer could alias the Repairer, and
// would make the compiler read its fields again. What is only written (the
// snapshot marks) or rarely read stays in the Repairer.
template <class Policy>
class Pass {
public:
    using Scan = typename Policy::Scan;
    static constexpr bool ARRIVING = Policy::Input::ARRIVING;

    explicit Pass(Repairer& repairer, typename Policy::Observer observer = {})
        : obs(observer),
          r(repairer),
          out(repairer.out),
          lx(repairer.lexer),
          final_(repairer.final),
          depth(repairer.depth),
          need_comma(repairer.need_comma),
          in_object(depth > 0 && repairer.is_object[depth - 1]),
          in_key(repairer.step == Step::String && repairer.in_key),
          quote(repairer.step == Step::String ? repairer.quote : 0) {}

    // Told of each repair (compiled away when silent).
    [[no_unique_address]] const typename Policy::Observer obs;

    // The steps, in the order a value is read; each returns the next.
    CORVANE_ALWAYS_INLINE Step parse_value();
    CORVANE_ALWAYS_INLINE Step parse_value_at_byte();
    CORVANE_ALWAYS_INLINE Step next_element();
    CORVANE_ALWAYS_INLINE Step next_member();
    CORVANE_ALWAYS_INLINE Step read_colon();
    CORVANE_ALWAYS_INLINE Step repair_string();
    CORVANE_ALWAYS_INLINE Step look_past_quote();
    CORVANE_ALWAYS_INLINE Step look_for_key();
    CORVANE_ALWAYS_INLINE Step look_for_colon();
    CORVANE_ALWAYS_INLINE Step run_strict_stretch();
    CORVANE_ALWAYS_INLINE Step take_strict_stop(std::size_t from, const StrictStop& last);
    // Writes the state back into the Repairer, to resume at `step`.
    CORVANE_ALWAYS_INLINE void stop(Step step);

private:
    // What the steps share: a value or container done, a string opened or closed.
    CORVANE_ALWAYS_INLINE Step missing_value();
    CORVANE_ALWAYS_INLINE Step value_written();
    CORVANE_ALWAYS_INLINE Step open_container();
    CORVANE_ALWAYS_INLINE Step close_container();
    CORVANE_ALWAYS_INLINE Step open_string();
    CORVANE_ALWAYS_INLINE Step close_string();
    CORVANE_ALWAYS_INLINE Step pause(Step step, Need need, std::size_t at);
    // The profile's look-aheads read to the end of the input so far when it
    // cannot decide, from `from` on. Resumed at every new byte, a long
    // undecided stretch fed in small pieces would be read again for each
    // piece; waiting for as much input again keeps the rereading linear in
    // all (the decision shows up later, never differently).
    CORVANE_ALWAYS_INLINE Step pause_to_reread(Step step, std::size_t from) {
        return pause(step, Need::Reach, lx.end + std::max<std::size_t>(lx.end - from, 1));
    }
    // The text so far ends inside a string: its kind of quote and whether
    // it is a key are kept for when more arrives.
    CORVANE_ALWAYS_INLINE Step pause_in_string() {
        r.in_key = in_key;
        r.quote = quote;
        return pause(Step::String, Need::Byte, lx.pos);
    }
    CORVANE_ALWAYS_INLINE bool skip_look_gap(Lexer& probe, Step step);
    CORVANE_ALWAYS_INLINE Step refuse(RepairError error, std::size_t at);

    // The model profile's steps and tests, compiled in under ModelRules only.
    bool parse_model_value(Step& next);
    Step open_model_array(std::uint8_t closer);
    Step repair_model_string();
    bool skip_model_gap(Lexer& cursor) const;
    Step run_model_strict_stretch();
    std::size_t model_stray_punctuation() const {
        return model::fullwidth_comma(lx.data, lx.pos, lx.end) + model::fullwidth_colon(lx.data, lx.pos, lx.end);
    }
    bool starts_value(std::uint8_t byte) const {
        if constexpr (Policy::Rules::MODEL) {
            if (byte == '(' || byte == '`') return true;
        }
        return has_class(byte, byte_class::VALUE_START);
    }
    bool opens_key_string(std::uint8_t byte) const {
        if constexpr (Policy::Rules::MODEL) return model::opening_quote(lx.data, lx.pos, lx.end).kind != 0;
        return byte == '"' || byte == '\'';
    }
    std::string_view scan_key(Lexer& cursor) const {
        if constexpr (Policy::Rules::MODEL) {
            const std::size_t start = cursor.pos;
            cursor.pos = model::key_word_end(cursor.data, start, cursor.end);
            return {reinterpret_cast<const char*>(cursor.data + start), cursor.pos - start};
        }
        return scan_bareword(cursor);
    }

    // No more input will follow: always, for a whole text.
    bool final() const {
        if constexpr (ARRIVING) {
            return final_;
        } else {
            return true;
        }
    }
    // Moves a cursor over whitespace and comments; false when a comment
    // runs into the end of what has arrived (never for a whole text).
    CORVANE_ALWAYS_INLINE bool skip_gap(Lexer& cursor) const {
        if constexpr (Policy::Rules::MODEL) return skip_model_gap(cursor);
        const std::size_t from = cursor.pos;
        const bool settled = skip_whitespace_and_comments<Scan>(cursor, final());
        obs.gap(from, cursor.pos);
        return settled;
    }
    // Only a stream's snapshots read the marks of what is shown.
    CORVANE_ALWAYS_INLINE void mark_shown() {
        if (!final()) r.shown = out.size();
    }

    Repairer& r;
    OutputBuffer& out;
    Lexer lx;
    const bool final_;
    std::uint32_t depth;
    bool need_comma;
    // The innermost container is an object (a copy of the top of is_object).
    bool in_object;
    // These two matter only inside a string (and in_key up to the key's ':').
    bool in_key;
    std::uint8_t quote;
};

// The loop over the steps. A step goes on into the steps that always
// follow it (a string after its opening quote, the look-ahead after a
// quote, a value after the array loop's gap) by calling them; it comes back
// here where the pass would otherwise run in a circle (the value after a
// key's ':', the container loop after a value).
template <class Policy, class... Observer>
Outcome run_pass(Repairer& r, Observer... observer) {
    Pass<Policy> pass(r, observer...);
    Step step = r.step;
    for (;;) {
        switch (step) {
            case Step::Value: step = pass.parse_value(); break;
            case Step::ArrayNext: step = pass.next_element(); break;
            case Step::ObjectNext: step = pass.next_member(); break;
            case Step::ObjectColon: step = pass.read_colon(); break;
            case Step::String: step = pass.repair_string(); break;
            case Step::QuoteGap: step = pass.look_past_quote(); break;
            case Step::QuoteWord: step = pass.look_for_key(); break;
            case Step::QuoteColon: step = pass.look_for_colon(); break;
            case Step::Finished:
                pass.stop(Step::Finished);
                return Outcome::Finished;
            case Step::Paused: return Outcome::Paused;
            case Step::Refused: return Outcome::Refused;
        }
    }
}

// A value is due in the current place. Whitespace, comments and stray bytes
// before it are dropped; a ']', '}' or ',' is left and means "none here".
template <class Policy>
Step Pass<Policy>::parse_value() {
    if (!skip_gap(lx)) return pause(Step::Value, Need::Comment, lx.pos);
    if (lx.at_end()) {
        if (!final()) return pause(Step::Value, Need::Byte, lx.pos);
        return missing_value();
    }
    return parse_value_at_byte();
}

// The value that starts at the cursor, the gap before it skipped (the array
// loop comes here directly, so whitespace is skipped once).
template <class Policy>
Step Pass<Policy>::parse_value_at_byte() {
    if constexpr (Policy::Rules::MODEL) {
        Step next;
        if (parse_model_value(next)) return next;
    }
    const std::uint8_t byte = lx.peek();
    switch (byte) {
        case '"':
        case '\'':
            return open_string();
        case '[':
        case '{':
            // The bracket is not consumed when the limit refuses it.
            if (!may_open_container(depth)) return refuse(RepairError::DepthExceeded, lx.pos);
            return open_container();
        case ']':
        case '}':
        case ',':
            return missing_value();
        default:
            break;
    }
    const bool number = has_class(byte, byte_class::NUMBER_START);
    if (number || has_class(byte, byte_class::WORD_START)) {
        if (!final() && !word_is_whole(lx)) return pause(Step::Value, Need::Word, lx.pos);
        const std::size_t token_at = lx.pos, written = out.size();
        if (number) {
            write_number<Scan>(lx, out);
        } else {
            write_bareword(out, scan_bareword(lx));
        }
        obs.token(token_at, lx.pos, out, written);
        return value_written();
    }
    obs.stray(lx.pos);
    ++lx.pos;  // a stray byte: '#', ';', '=', a '/' that opens no comment, ...
    return Step::Value;
}

// Only a member's value can be missing inside a container (array elements
// start at a value's first byte): it becomes null. A missing first value
// is written as null at the very end.
template <class Policy>
Step Pass<Policy>::missing_value() {
    if (depth == 0) return Step::Finished;
    obs.edit(EditKind::ValueFilled, lx.pos, lx.pos, "null");
    out.append_literal("null");
    return value_written();
}

// A finished value continues in the loop of the container around it.
template <class Policy>
Step Pass<Policy>::value_written() {
    mark_shown();
    if (depth == 0) {
        r.wrote = true;
        return Step::Finished;
    }
    need_comma = true;
    return in_object ? Step::ObjectNext : Step::ArrayNext;
}

// Only containers change the depth. The pass tries the strict stretch
// inside each one it opens, unless a recent stretch ended soon.
template <class Policy>
Step Pass<Policy>::open_container() {
    const bool object = lx.peek() == '{';
    ++lx.pos;
    out.push(object ? '{' : '[');
    if constexpr (Policy::Rules::MODEL) r.closer[depth] = ']';
    r.is_object[depth++] = object;
    in_object = object;
    need_comma = false;
    mark_shown();
    if (r.strict_kernel != BlockKernel::None && lx.pos >= r.strict_retry_at) return run_strict_stretch();
    return object ? Step::ObjectNext : Step::ArrayNext;
}

template <class Policy>
Step Pass<Policy>::close_container() {
    obs.container_end();
    out.push(in_object ? '}' : ']');
    --depth;
    in_object = depth > 0 && r.is_object[depth - 1];
    return value_written();
}

// The container just opened is read as strict JSON for as long as it is;
// the rules go on from the stretch's last commit. A stretch that ends soon
// is not tried again for a while: in densely broken input it would only
// classify blocks to give them back.
template <class Policy>
Step Pass<Policy>::run_strict_stretch() {
    if constexpr (Policy::Rules::MODEL) return run_model_strict_stretch();
    const std::size_t from = lx.pos;
    const StrictStop last = strict_stretch(r.strict_kernel, lx.data, lx.pos, lx.end, out, r.is_object, depth);
    return take_strict_stop(from, last);
}

// The pass goes on from the stretch's last commit.
template <class Policy>
Step Pass<Policy>::take_strict_stop(std::size_t from, const StrictStop& last) {
    if (last.pos - from < STRICT_SHORT_RUN && !r.strict_every_container) {
        r.strict_retry_at = last.pos + STRICT_RETRY_GAP;
    }
    lx.pos = last.pos;
    out.truncate(last.out_size);
    depth = last.depth;
    need_comma = last.need_comma;
    in_object = depth > 0 && r.is_object[depth - 1];
    if (last.next == StrictNext::Written) return value_written();
    if (!final()) r.shown = last.next == StrictNext::Value ? before_last_member(out.data(), out.size()) : out.size();
    if (last.next == StrictNext::Value) return Step::Value;
    return in_object ? Step::ObjectNext : Step::ArrayNext;
}

// Commas are never copied from the input: the loop writes its own before
// every element but the first, so missing, doubled and trailing commas all
// come out right. A '}' closes the array but is left for the enclosing
// object.
template <class Policy>
Step Pass<Policy>::next_element() {
    for (;;) {
        if (!skip_gap(lx)) return pause(Step::ArrayNext, Need::Comment, lx.pos);
        if (lx.at_end()) {
            if (!final()) return pause(Step::ArrayNext, Need::Byte, lx.pos);
            obs.edit(EditKind::ContainerClosed, lx.pos, lx.pos, "]");
            return close_container();
        }
        const std::uint8_t byte = lx.peek();
        if constexpr (Policy::Rules::MODEL) {
            if (const std::size_t stray = model_stray_punctuation()) {
                lx.pos += stray;
                continue;
            }
            // A tuple's ')' and a set's '}' close them; any other ')' is a stray.
            if (byte == ')' || (byte == '}' && r.closer[depth - 1] == '}')) {
                ++lx.pos;
                if (r.closer[depth - 1] != byte) continue;
                return close_container();
            }
        }
        if (byte == ']') {
            ++lx.pos;
            return close_container();
        }
        if (byte == '}') {
            obs.edit(EditKind::ContainerClosed, lx.pos, lx.pos, "]");
            return close_container();
        }
        if (!starts_value(byte)) {
            obs.stray(lx.pos);
            ++lx.pos;  // ',', ':', ';' and other strays between elements
            continue;
        }
        obs.comma(need_comma, lx.pos);
        if (need_comma) out.push(',');
        // The next element of the innermost array (this one, or one the
        // element opened) goes on here, without a round through the loop.
        if (const Step next = parse_value_at_byte(); next != Step::ArrayNext) return next;
    }
}

// Every member gets exactly one ':' and a value ("null" when the input has
// none). A ']' closes the object but is left for the enclosing array.
template <class Policy>
Step Pass<Policy>::next_member() {
    for (;;) {
        if (!skip_gap(lx)) return pause(Step::ObjectNext, Need::Comment, lx.pos);
        if (lx.at_end()) {
            if (!final()) return pause(Step::ObjectNext, Need::Byte, lx.pos);
            obs.edit(EditKind::ContainerClosed, lx.pos, lx.pos, "}");
            return close_container();
        }
        const std::uint8_t byte = lx.peek();
        if (byte == '}') {
            ++lx.pos;
            return close_container();
        }
        if (byte == ']') {
            obs.edit(EditKind::ContainerClosed, lx.pos, lx.pos, "}");
            return close_container();
        }
        if constexpr (Policy::Rules::MODEL) {
            if (const std::size_t stray = model_stray_punctuation()) {
                lx.pos += stray;
                continue;
            }
        }
        const bool quoted = opens_key_string(byte);
        if (!quoted && !is_key_start(byte)) {
            obs.stray(lx.pos);
            ++lx.pos;  // ',', ':', '+', '.', and brackets in key position open nothing
            continue;
        }
        if (!quoted && !final() && !word_is_whole(lx)) return pause(Step::ObjectNext, Need::Word, lx.pos);
        obs.comma(need_comma, lx.pos);
        if (need_comma) out.push(',');
        in_key = true;
        Step next;
        if (quoted) {
            next = open_string();
        } else {
            // An unquoted key is written as it stands: no keyword or number rewriting.
            const std::size_t key_at = lx.pos, written = out.size();
            write_token_as_string(out, scan_key(lx));
            obs.wrote(EditKind::KeyQuoted, key_at, lx.pos, out, written);
            next = read_colon();
        }
        // The member's value, then the next member of the innermost object,
        // without a round through the loop.
        if (next == Step::Value) next = parse_value();
        if (next != Step::ObjectNext) return next;
    }
}

// After a key: its ':' is read if the input has one, and written in any case.
template <class Policy>
Step Pass<Policy>::read_colon() {
    in_key = false;
    if (!skip_gap(lx)) return pause(Step::ObjectColon, Need::Comment, lx.pos);
    if (lx.at_end() && !final()) return pause(Step::ObjectColon, Need::Byte, lx.pos);
    if (!lx.at_end() && lx.peek() == ':') {
        ++lx.pos;
    } else if constexpr (Policy::Rules::MODEL) {
        if (!lx.at_end()) lx.pos += model::fullwidth_colon(lx.data, lx.pos, lx.end);
    } else {
        obs.edit(EditKind::ColonInserted, lx.pos, lx.pos, ":");
    }
    out.push(':');
    return Step::Value;
}

// Either quote opens a string; the output's is always '"'.
template <class Policy>
Step Pass<Policy>::open_string() {
    if constexpr (Policy::Rules::MODEL) {
        const model::Quote opening = model::opening_quote(lx.data, lx.pos, lx.end);
        lx.pos += opening.length;
        quote = opening.kind;
        r.inner_odd = false;
    } else {
        quote = lx.data[lx.pos++];
        if (quote == '\'') obs.edit(EditKind::QuoteReplaced, lx.pos - 1, lx.pos, "\"");
    }
    out.push('"');
    if (!final()) r.showing_string = !in_key;
    return repair_string();
}

// A string's content up to its closing quote. A string the input leaves
// open is closed. In an object member's value the quote goes on to the
// look-ahead, which decides whether it ends the string.
template <class Policy>
Step Pass<Policy>::repair_string() {
    if constexpr (Policy::Rules::MODEL) return repair_model_string();
    const StringStop stopped =
        copy_string_content<Scan, ARRIVING>(lx.data, lx.pos, lx.end, out, quote, final(), obs);
    lx.pos = stopped.pos;
    if (!stopped.at_quote) {
        if (!final()) return pause_in_string();
        obs.edit(EditKind::StringClosed, lx.pos, lx.pos, "\"");
        return close_string();
    }
    if (quote == '\'') obs.edit(EditKind::QuoteReplaced, lx.pos - 1, lx.pos, "\"");
    if (in_key || !in_object) return close_string();
    r.look = lx.pos;
    return look_past_quote();
}

template <class Policy>
Step Pass<Policy>::close_string() {
    out.push('"');
    if (!final()) r.showing_string = false;
    if (in_key) return read_colon();
    return value_written();
}

// In an object member's value the first unescaped quote of the opening kind
// must end the string: when the text after it does not read like the next
// member's key (`"x" b: 1`, a comma missing), the quote is an inner quote
// that cannot be told apart from the end, and the repair is refused. The
// look-ahead has a cursor of its own (r.look); the real one stays just
// after the quote. First the gap after the quote:
template <class Policy>
Step Pass<Policy>::look_past_quote() {
    Lexer after(lx.data, lx.length, r.look, lx.end);
    if (!skip_look_gap(after, Step::QuoteGap)) return Step::Paused;
    // Closing here, the object loop would skip the same gap again: skip it once.
    if (after.at_end() || !is_key_start(after.peek())) {
        lx.pos = after.pos;
        return close_string();
    }
    return look_for_key();
}

// Then the word that may be the next member's key,
template <class Policy>
Step Pass<Policy>::look_for_key() {
    Lexer probe(lx.data, lx.length, r.look, lx.end);
    if (!final() && !word_is_whole(probe)) return pause(Step::QuoteWord, Need::Word, r.look);
    if (scan_bareword(probe).empty()) return refuse(RepairError::AmbiguousQuote, r.look);
    r.key_at = r.look;
    r.look = r.key_end = probe.pos;
    return look_for_colon();
}

// and the ':' that makes it one.
template <class Policy>
Step Pass<Policy>::look_for_colon() {
    Lexer probe(lx.data, lx.length, r.look, lx.end);
    if (!skip_look_gap(probe, Step::QuoteColon)) return Step::Paused;
    if (probe.at_end() || probe.peek() != ':') return refuse(RepairError::AmbiguousQuote, probe.pos);
    // A member follows with its comma missing. The look-ahead has read its
    // key and ':' exactly as the object loop would: write them from here
    // rather than read the gap, the word and the colon a second time.
    out.push('"');
    if (!final()) {
        r.showing_string = false;
        r.shown = out.size();
    }
    obs.edit(EditKind::CommaInserted, r.key_at, r.key_at, ",");
    const std::size_t key_out = out.size() + 1;
    write_missing_comma_member(out, lx.data + r.key_at, r.key_end - r.key_at);
    obs.edit(EditKind::KeyQuoted, r.key_at, r.key_end, {out.data() + key_out, out.size() - key_out - 1});
    lx.pos = probe.pos + 1;
    need_comma = true;
    in_key = false;
    return Step::Value;
}

// The gap at the look-ahead's cursor: moves the cursor past it and is true
// when what follows the gap has arrived (or never will); otherwise the pass
// pauses at `step`, to read the gap again from where it stopped.
template <class Policy>
bool Pass<Policy>::skip_look_gap(Lexer& probe, Step step) {
    const bool settled = skip_gap(probe);
    r.look = probe.pos;
    if (!settled) {
        pause(step, Need::Comment, probe.pos);
        return false;
    }
    if (probe.at_end() && !final()) {
        pause(step, Need::Byte, probe.pos);
        return false;
    }
    return true;
}

template <class Policy>
void Pass<Policy>::stop(Step step) {
    r.lexer = lx;
    r.step = step;
    r.depth = depth;
    r.need_comma = need_comma;
}

// Only while more input may follow: the pass stops where it cannot decide
// yet, and says what it waits for.
template <class Policy>
Step Pass<Policy>::pause(Step step, Need need, std::size_t at) {
    stop(step);
    r.pause = {need, at};
    return Step::Paused;
}

template <class Policy>
Step Pass<Policy>::refuse(RepairError error, std::size_t at) {
    obs.refused(at);
    stop(Step::Finished);
    r.error = error;
    return Step::Refused;
}

// ---- The model profile's steps (ModelRules): what it reads beyond the
// default rules. The look-aheads are in parser/model.cpp; these write what
// they decide, and the default steps call them from one `if constexpr` each.

// Where the value's text begins and ends: after reasoning blocks, in a
// fence's body when prose stands in front of one.
void model_whole_text_start(Repairer& r) {
    r.model = true;
    r.inner_odd = false;
    r.run.valid = false;
    Lexer& lexer = r.lexer;
    StartScan opening;
    scan_start(lexer.data, lexer.length, true, opening);
    model::Start start = model::start_at(opening.pos, opening.fenced);
    model::scan_start(lexer.data, lexer.length, true, start);
    std::size_t end = significant_end(lexer.data, start.pos, lexer.length);
    if (start.fenced) model::find_closing_fence(lexer.data, lexer.length, start, end);
    lexer.pos = start.pos;
    lexer.end = std::max(start.pos, end);
}

// The value forms the default rules do not have: full-width punctuation,
// curly and backquoted strings and prefixed ones, tuples and sets, and
// unquoted values that run over spaces. False when the default rules read
// the value at the cursor (straight strings go through open_string, which
// is the profile's too; objects and arrays).
template <class Policy>
bool Pass<Policy>::parse_model_value(Step& next) {
    const std::uint8_t* data = lx.data;
    const std::size_t p = lx.pos;
    const std::uint8_t byte = data[p];
    if (model::fullwidth_comma(data, p, lx.end)) {
        next = missing_value();
        return true;
    }
    if (const std::size_t colon = model::fullwidth_colon(data, p, lx.end)) {
        lx.pos += colon;  // a stray, as ':' is
        next = Step::Value;
        return true;
    }
    if (model::opening_quote(data, p, lx.end).kind != 0) {
        next = open_string();
        return true;
    }
    if (const std::size_t prefix = model::string_prefix(data, p, lx.end)) {
        lx.pos += prefix;  // b'..', r"..": the letters are dropped
        next = open_string();
        return true;
    }
    if (byte == '(' || byte == '{') {
        if (!may_open_container(depth)) {
            next = refuse(RepairError::DepthExceeded, p);
            return true;
        }
        if (byte == '(') {
            next = open_model_array(')');
            return true;
        }
        const model::Verdict set = model::brace_is_set(data, p, lx.end, final());
        if (set == model::Verdict::Wait) {
            next = pause_to_reread(Step::Value, p);
            return true;
        }
        if (set == model::Verdict::No) return false;
        next = open_model_array('}');
        return true;
    }
    if (!has_class(byte, byte_class::NUMBER_START) && !has_class(byte, byte_class::WORD_START)) return false;
    if constexpr (Scan::NUMBER_FAST_PATH) {
        // A number in JSON's form right before ',', ']' or '}' (most of
        // them) is a value on its own: no run of words to look for.
        if (has_class(byte, byte_class::NUMBER_START)) {
            const std::size_t end = lx.end;
            const NumberForm number =
                read_json_number(data, p, end, [data, end](std::size_t i) { return Scan::skip_digits(data, i, end); });
            const std::uint8_t after = number.end < end ? data[number.end] : 0;
            if (number.whole && (after == ',' || after == ']' || after == '}')) {
                Lexer token(data, lx.length, p, number.end);
                write_number<Scan>(token, out);
                lx.pos = number.end;
                next = value_written();
                return true;
            }
        }
    }
    const model::Run run = model::scan_value_run(data, p, lx.end, final(), r.run);
    if (run.wait) {
        // Looked at again once a word ends: a long word costs no more than
        // under the default rules.
        next = pause(Step::Value, Need::Word, p);
        return true;
    }
    const std::string_view token(reinterpret_cast<const char*>(data + p), run.end - p);
    lx.pos = run.end;
    if (run.words) {
        write_token_as_string(out, token);
    } else if (has_class(byte, byte_class::NUMBER_START)) {
        rewrite_number(out, token);
    } else {
        write_model_word(out, token);
    }
    next = value_written();
    return true;
}

// A tuple or a set is an array that its own ')' or '}' closes.
template <class Policy>
Step Pass<Policy>::open_model_array(std::uint8_t closer) {
    ++lx.pos;
    out.push('[');
    r.is_object[depth] = false;
    r.closer[depth++] = closer;
    in_object = false;
    need_comma = false;
    mark_shown();
    return Step::ArrayNext;
}

// A string's content under the profile: its escapes keep unknown
// backslashes, and in an object value or an array element a quote of its
// own kind ends it only where JSON can go on after it; any other is
// content. Keys and a value standing alone end at their first closing quote.
template <class Policy>
Step Pass<Policy>::repair_model_string() {
    for (;;) {
        const StringStop stopped = copy_string_content<Scan, ARRIVING, typename Policy::Observer, true>(
            lx.data, lx.pos, lx.end, out, model::stop_byte(quote), final(), obs);
        lx.pos = stopped.pos;
        if (!stopped.at_quote) {
            if (!final()) return pause_in_string();
            return close_string();
        }
        const std::size_t at = lx.pos - 1;
        const std::size_t length = model::closing_quote(quote, lx.data, at, lx.end);
        if (length == 0) {  // the lead byte of a character other than the closing curly quote
            out.push(static_cast<char>(lx.data[at]));
            continue;
        }
        const std::size_t after = at + length;
        const model::QuoteMeaning meaning =
            in_key || depth == 0 ? model::QuoteMeaning::Close
                                 : model::judge_quote(lx.data, at, after, lx.end, final(), in_object, quote);
        switch (meaning) {
            case model::QuoteMeaning::Wait:
                lx.pos = at;
                r.in_key = in_key;
                r.quote = quote;
                return pause_to_reread(Step::String, at);
            case model::QuoteMeaning::Content: {
                // An apostrophe between letters (don't) pairs with nothing.
                const bool apostrophe = at > 0 && after < lx.end && is_ascii_alnum(lx.data[at - 1]) &&
                                        is_ascii_alnum(lx.data[after]);
                if (!apostrophe) r.inner_odd = !r.inner_odd;
                if (quote == '"') {
                    out.append_literal("\\\"");
                } else {
                    out.append(lx.data + at, length);
                }
                lx.pos = after;
                continue;
            }
            case model::QuoteMeaning::CloseIfPaired:
                // An unpaired inner quote before it: the string may as well
                // end at a later quote. Two readings, so no guess.
                if (r.inner_odd) return refuse(RepairError::AmbiguousQuote, at);
                [[fallthrough]];
            case model::QuoteMeaning::Close:
                lx.pos = after;
                return close_string();
        }
    }
}

// The strict stretch under the profile: kept where the profile reads the
// same (then taken as run_strict_stretch takes it); otherwise its output is
// dropped and the rules read from where it began (and it is not tried again
// inside what it read).
template <class Policy>
Step Pass<Policy>::run_model_strict_stretch() {
    const std::size_t from = lx.pos;
    const std::size_t from_out = out.size();
    const StrictStop last = strict_stretch(r.strict_kernel, lx.data, lx.pos, lx.end, out, r.is_object, depth);
    const bool object = last.depth > 0 && r.is_object[last.depth - 1];
    if (!model::stretch_holds(lx.data, from, last.pos, lx.end, final(), object)) {
        out.truncate(from_out);
        r.strict_retry_at = std::max(r.strict_retry_at, last.pos + STRICT_RETRY_GAP);
        return in_object ? Step::ObjectNext : Step::ArrayNext;
    }
    for (std::uint32_t d = depth; d < last.depth; ++d) r.closer[d] = ']';
    return take_strict_stop(from, last);
}

// Whitespace and comments, '#' line comments among them.
template <class Policy>
bool Pass<Policy>::skip_model_gap(Lexer& cursor) const {
    for (;;) {
        if (!skip_whitespace_and_comments<Scan>(cursor, final())) return false;
        if (cursor.at_end() || cursor.peek() != '#') return true;
        bool open;
        const std::size_t after = model::skip_hash_comment(cursor.data, cursor.pos, cursor.end, open);
        if (open && !final()) return false;
        cursor.pos = after;
    }
}

inline bool is_digit(std::uint8_t byte) { return byte >= '0' && byte <= '9'; }

// Entered on '+', '-', '.' or a digit. Rewrites the token's text into a JSON
// number without computing its value (no rounding, no digit limit), or writes
// the whole token as a string when it is not a number.
template <class Scan>
void write_number(Lexer& lx, OutputBuffer& out) {
    if constexpr (Scan::NUMBER_FAST_PATH) {
        if (copy_plain_number<Scan>(lx, out)) return;
    }
    rewrite_number(out, scan_bareword(lx));
}

// Copies a number that already has strict JSON form, the common case, with
// its exponent marker lower-cased: for such a token the general rewrite
// changes nothing else. Returns false, having consumed nothing, otherwise.
template <class Scan>
bool copy_plain_number(Lexer& lx, OutputBuffer& out) {
    const std::uint8_t* data = lx.data;
    const std::size_t end = lx.end;
    const NumberForm number =
        read_json_number(data, lx.pos, end, [data, end](std::size_t p) { return Scan::skip_digits(data, p, end); });
    if (!number.whole) return false;
    // The token must end here, or it is not a number at all (12abc, 1/2).
    const std::size_t p = number.end;
    if (p < end && !ends_word(data, p, end)) return false;

    if (number.marker == 0) {
        out.append(data + lx.pos, p - lx.pos);
    } else {
        out.append(data + lx.pos, number.marker - lx.pos);
        out.push('e');
        out.append(data + number.marker + 1, p - number.marker - 1);
    }
    lx.pos = p;
    return true;
}

// The general number rewrite: drops a '+' sign, strips leading zeros of the
// integer part, supplies missing digits as 0, lower-cases the exponent marker.
void rewrite_number(OutputBuffer& out, std::string_view token) {
    std::string_view body = token;
    bool negative = false;
    if (body[0] == '+' || body[0] == '-') {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (body.empty()) {  // a sign alone
        out.push('0');
        return;
    }

    std::size_t marker = 0;
    while (marker < body.size() && body[marker] != 'e' && body[marker] != 'E') ++marker;
    const bool has_exponent = marker < body.size();
    const std::string_view mantissa = body.substr(0, marker);
    const std::string_view exponent = has_exponent ? body.substr(marker + 1) : std::string_view();

    bool is_number = marker != 0;
    std::size_t dot = std::string_view::npos;
    for (std::size_t i = 0; i < mantissa.size(); ++i) {
        if (mantissa[i] == '.') {
            if (dot != std::string_view::npos) is_number = false;
            dot = i;
        } else if (!is_digit(static_cast<std::uint8_t>(mantissa[i]))) {
            is_number = false;
        }
    }
    std::string_view exponent_digits = exponent;
    if (!exponent_digits.empty() && (exponent_digits[0] == '+' || exponent_digits[0] == '-')) {
        exponent_digits.remove_prefix(1);
    }
    for (const char c : exponent_digits) {
        if (!is_digit(static_cast<std::uint8_t>(c))) is_number = false;
    }
    if (!is_number) {
        write_token_as_string(out, token);
        return;
    }

    if (negative) out.push('-');
    std::string_view integer = mantissa.substr(0, dot);
    while (!integer.empty() && integer[0] == '0') integer.remove_prefix(1);
    if (integer.empty()) {
        out.push('0');
    } else {
        out.append(integer.data(), integer.size());
    }
    if (dot != std::string_view::npos) {
        const std::string_view fraction = mantissa.substr(dot + 1);
        out.push('.');
        if (fraction.empty()) {
            out.push('0');
        } else {
            out.append(fraction.data(), fraction.size());
        }
    }
    if (has_exponent) {
        out.push('e');
        out.append(exponent.data(), exponent.size());
        if (exponent_digits.empty()) out.push('0');
    }
}

// Entered on a letter, '_', '$' or a byte of 0x80 and above. Keywords in the
// forms people write them (True, None, ...) become JSON literals; any other
// word becomes a string.
void write_bareword(OutputBuffer& out, std::string_view token) {
    // Only the first letter may be upper case.
    auto matches = [&token](std::string_view lower) {
        if (token.size() != lower.size()) return false;
        const char first = token[0];
        if (first != lower[0] && first != lower[0] - ('a' - 'A')) return false;
        return token.substr(1) == lower.substr(1);
    };
    if (matches("true")) {
        out.append_literal("true");
    } else if (matches("false")) {
        out.append_literal("false");
    } else if (matches("null") || matches("none")) {
        out.append_literal("null");
    } else {
        write_token_as_string(out, token);
    }
}

// Writes a bareword or a failed number as a JSON string: plain runs are
// copied whole, the rest goes through write_escaped_byte.
void write_token_as_string(OutputBuffer& out, std::string_view token) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(token.data());
    out.push('"');
    std::size_t i = 0;
    while (i < token.size()) {
        std::size_t run = i;
        while (run < token.size() && !is_string_special(bytes[run])) ++run;
        out.append(bytes + i, run - i);
        if (run == token.size()) break;
        write_escaped_byte(out, bytes[run]);
        i = run + 1;
    }
    out.push('"');
}

// Writes the comma the input left out and the key the look-ahead read
// before it, with its ':'. Out of line: the pass's loop keeps its registers.
CORVANE_NOINLINE void write_missing_comma_member(OutputBuffer& out, const std::uint8_t* key, std::size_t size) {
    out.push(',');
    write_token_as_string(out, std::string_view(reinterpret_cast<const char*>(key), size));
    out.push(':');
}

// Entered just after a backslash inside a string, with the cursor at `p`;
// returns where the escape ends. Keeps valid escapes, completes a cut-off \u
// with zeros, and drops the backslash of any other escape. A backslash at
// the very end becomes an escaped backslash.
std::size_t write_escape(const std::uint8_t* data, std::size_t p, std::size_t end, OutputBuffer& out) {
    if (p >= end) {
        out.append_literal("\\\\");
        return p;
    }
    const std::uint8_t escaped = data[p++];
    if (is_short_escape(escaped)) {
        out.push('\\');
        out.push(static_cast<char>(escaped));
        return p;
    }
    if (escaped != 'u') {
        write_escaped_byte(out, escaped);
        return p;
    }
    out.append_literal("\\u");
    // Missing digits are filled with '0'; the byte that stopped them is read
    // again as content.
    for (int i = 0; i < 4; ++i) {
        if (p < end && is_hex_digit(data[p])) {
            out.push(static_cast<char>(data[p++]));
        } else {
            out.push('0');
        }
    }
    return p;
}

// write_escape under the model profile: an escape JSON does not know keeps
// its backslash (\d stays \d), as does a \u without four hex digits
// before the text goes on; \' and an escaped quote of the string's own
// kind give the quote.
std::size_t write_model_escape(const std::uint8_t* data, std::size_t p, std::size_t end, OutputBuffer& out,
                               std::uint8_t quote) {
    if (p >= end || is_short_escape(data[p])) return write_escape(data, p, end, out);
    const std::uint8_t escaped = data[p];
    if (escaped == '\'' || (escaped == quote && quote < 0x80)) {
        out.push(static_cast<char>(escaped));
        return p + 1;
    }
    if (escaped == 'u') {
        std::size_t digits = 0;
        while (digits < 4 && p + 1 + digits < end && is_hex_digit(data[p + 1 + digits])) ++digits;
        // Four digits, or digits cut off by the end of the text: an escape.
        if (digits == 4 || p + 1 + digits >= end) return write_escape(data, p, end, out);
    }
    out.append_literal("\\\\");
    return p;  // the byte after the backslash is read again, as content
}

// A single unquoted word under the profile: `undefined` is null too.
void write_model_word(OutputBuffer& out, std::string_view token) {
    const std::string_view lower = "undefined";
    if (token.size() == lower.size() && token.substr(1) == lower.substr(1) && (token[0] | 0x20) == 'u') {
        out.append_literal("null");
        return;
    }
    write_bareword(out, token);
}

constexpr char HEX_DIGITS[] = "0123456789abcdef";

// Appends one content byte of a JSON string, escaped as JSON requires. Only
// tab, line feed and carriage return get short escapes; other control bytes
// become \u00XX with lowercase digits. Bytes of 0x80 and above pass through.
void write_escaped_byte(OutputBuffer& out, std::uint8_t byte) {
    switch (byte) {
        case '\t': out.append_literal("\\t"); return;
        case '\n': out.append_literal("\\n"); return;
        case '\r': out.append_literal("\\r"); return;
        case '"': out.append_literal("\\\""); return;
        case '\\': out.append_literal("\\\\"); return;
        default: break;
    }
    if (byte < 0x20) {
        out.append_literal("\\u00");
        out.push(HEX_DIGITS[byte >> 4]);
        out.push(HEX_DIGITS[byte & 0x0F]);
        return;
    }
    out.push(static_cast<char>(byte));
}

}  // namespace

}  // namespace corvane
