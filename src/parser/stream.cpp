#include "parser/stream.hpp"

#include <algorithm>

#include "parser/utf8.hpp"

namespace corvane {

namespace {

// Small to start with: streams are often short, and the buffer doubles.
constexpr std::size_t FIRST_OUTPUT_BYTES = 256;
// Settled input is dropped once it is at least this much, and at least as
// much as what is kept, so that each byte is moved a bounded number of times.
constexpr std::size_t DISCARD_BYTES = 1 << 12;

// Whitespace and backquotes at the end of the input may yet turn out to be
// trailing whitespace or a closing fence, which the repair drops; any other
// byte stays significant whatever follows.
bool is_firm(std::uint8_t byte) { return !is_whitespace(byte) && byte != '`'; }

// Where a UTF-8 sequence cut off at the end of `data[0, size)` starts, or size.
std::size_t before_cut_character(const std::uint8_t* data, std::size_t size) {
    for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
        const std::uint8_t byte = data[size - back];
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? size - back : size;
    }
    return size;
}

}  // namespace

// The stream takes the strict stretch as the whole text does: the stretch
// commits only at bytes that have arrived, decided by what comes before them
// (a token cut off by the end of the input so far is never committed), and
// the pass goes on from its last commit.
RepairStream::RepairStream(Profile profile) : repairer_(FIRST_OUTPUT_BYTES, Lexer(nullptr, 0, 0, 0), false) {
    static const BlockKernel kernel = fast_block_kernel();
    repairer_.model = profile == Profile::Model;
    repairer_.inner_odd = false;
    repairer_.run = {false, 0, 0, 0, false, false};
    repairer_.strict_kernel = kernel;
}

std::optional<RepairError> RepairStream::feed(std::string_view bytes) {
    if (refused_ || phase_ == Phase::Done || final_) return refused_;
    const std::size_t old_size = input_.size();
    input_.append(bytes);
    note_firm_bytes(old_size);
    if (awaited_has_arrived()) run();
    discard_settled_input();
    return refused_;
}

void RepairStream::note_firm_bytes(std::size_t from) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(input_.data());
    std::size_t i = input_.size();
    while (i > from && !is_firm(data[i - 1])) --i;
    if (i > from) firm_end_ = i == input_.size() ? before_cut_character(data, i) : i;
}

// Whether what the pass paused for can now be seen, looking only at bytes
// not looked at before: a comment's or a word's end, or any further byte.
bool RepairStream::awaited_has_arrived() {
    if (phase_ == Phase::Start) return true;
    const auto* data = reinterpret_cast<const std::uint8_t*>(input_.data());
    const std::size_t end = firm_end_;
    const Pause& pause = phase_ == Phase::Seek ? prose_pause_ : repairer_.pause;
    const std::size_t seen = watched_;
    if (end <= seen) return false;
    watched_ = end;
    const std::size_t at = pause.at;
    switch (pause.need) {
        case Need::Byte:
            return true;
        case Need::Comment: {
            if (at + 1 >= seen) return true;  // the byte after the '/' is new
            if (data[at] == '/' && data[at + 1] == '*') {
                // "*/" after the opener's own '*'; the pair may straddle old and new bytes.
                for (std::size_t i = std::max(seen, at + 3); i < end; ++i) {
                    if (data[i - 1] == '*' && data[i] == '/') return true;
                }
                return false;
            }
            for (std::size_t i = std::max(seen, at + 2); i < end; ++i) {
                if (data[i] == '\n' || data[i] == '\r') return true;
            }
            return false;
        }
        case Need::Word:
            // From the last byte seen: a '/' there may now have its partner.
            for (std::size_t i = seen - 1; i < end; ++i) {
                if (ends_word(data, i, end)) return true;
            }
            return false;
        case Need::Reach:
            return end >= at;
    }
    return true;
}

void RepairStream::run() {
    const auto* data = reinterpret_cast<const std::uint8_t*>(input_.data());
    Lexer& lexer = repairer_.lexer;
    if (phase_ == Phase::Start) {
        if (!scan_start(data, input_.size(), final_, start_scan_)) return;
        start_ = start_scan_.pos;
        lexer.pos = start_;
        phase_ = repairer_.model ? Phase::Model : Phase::Seek;
        model_start_ = model::start_at(start_, start_scan_.fenced);
    }
    // Under the model profile the value may begin only where the whole
    // text says (after reasoning, in a fence), which the input so far may
    // not settle: until it does, nothing is parsed.
    if (phase_ == Phase::Model) {
        watched_ = firm_end_;
        if (!model::scan_start(data, final_ ? input_.size() : firm_end_, final_, model_start_)) return;
        start_ = lexer.pos = model_start_.pos;
        phase_ = Phase::Seek;
    }
    lexer.data = data;
    lexer.length = input_.size();
    lexer.end = final_ ? significant_end(data, start_, input_.size()) : std::max(lexer.pos, firm_end_);
    // A fenced value ends at its closing fence, as if the text ended there.
    bool ends = final_;
    if (repairer_.model && model_start_.fenced) {
        std::size_t value_end;
        if (model::find_closing_fence(data, final_ ? input_.size() : firm_end_, model_start_, value_end)) {
            lexer.end = std::max(lexer.pos, value_end);
            ends = true;
        }
    }
    watched_ = lexer.end;
    if (phase_ == Phase::Seek) {
        if (seek_container_start(lexer, ends, prose_, prose_pause_) == SeekResult::Paused) return;
        phase_ = Phase::Parse;
    }
    if (phase_ == Phase::Parse) {
        repairer_.final = ends;
        const Outcome outcome = continue_repair(repairer_);
        if (outcome == Outcome::Paused) return;
        if (outcome == Outcome::Refused) refused_ = repairer_.error;
        if (outcome == Outcome::Finished && ends) {
            // A pass run to the end keeps no marks of what is shown: all is.
            repairer_.shown = repairer_.out.size();
            repairer_.showing_string = false;
        }
        phase_ = Phase::Done;
    }
}

// Drops the input before the earliest position the pass may still read.
void RepairStream::discard_settled_input() {
    std::size_t keep = input_.size();
    switch (phase_) {
        case Phase::Start:
            keep = start_scan_.phase == StartScan::Phase::Mark ? 0 : start_scan_.pos;
            break;
        case Phase::Model:
            keep = start_;
            break;
        case Phase::Seek:
            keep = prose_.leading ? repairer_.lexer.pos : prose_.start;
            break;
        case Phase::Parse:
            keep = repairer_.lexer.pos;  // the look-ahead and any pause are at or after it
            break;
        case Phase::Done:
            break;
    }
    // The search for a fenced value's closing fence goes on from its own place.
    if (repairer_.model && model_start_.fenced && !model_start_.fence_closed) keep = std::min(keep, model_start_.fence_at);
    if (keep >= DISCARD_BYTES && keep * 2 >= input_.size()) erase_input(0, keep);
    drop_waiting_comment_body();
}

// A comment that the pass waits to see closed is skipped whole once its end
// arrives, and nothing inside it can change anything but its end: a line
// break for a line comment (none has come: the pass would have gone on), a
// last '*' of a block comment (half of a "*/" still to come). So a long body
// is dropped as it arrives rather than kept: an open comment of many
// megabytes costs no memory. While parsing, and in the seek for the first
// bracket only before the prose begins: inside prose a comment is not yet
// known to be one.
void RepairStream::drop_waiting_comment_body() {
    const bool waiting = phase_ == Phase::Parse || (phase_ == Phase::Seek && prose_.leading);
    const Pause& pause = phase_ == Phase::Parse ? repairer_.pause : prose_pause_;
    if (!waiting || pause.need != Need::Comment || watched_ < pause.at + 2 || input_[pause.at] != '/') return;
    const char kind = input_[pause.at + 1];
    if (kind != '*' && kind != '/') return;
    const std::size_t body = pause.at + 2;
    const std::size_t end = kind == '*' && input_[watched_ - 1] == '*' ? watched_ - 1 : watched_;
    // What follows moves back too: only when that costs less than what goes.
    if (end < body + DISCARD_BYTES || end - body < input_.size() - end) return;
    erase_input(body, end);
}

// Removes input_[from, to) and moves every position at or after `to` back.
// No position lies inside the range.
void RepairStream::erase_input(std::size_t from, std::size_t to) {
    input_.erase(from, to - from);
    const std::size_t count = to - from;
    auto move_back = [from, count](std::size_t& position) {
        if (position > from) position = position >= from + count ? position - count : from;
    };
    move_back(firm_end_);
    move_back(watched_);
    move_back(start_);
    start_scan_.each_position(move_back);
    prose_.each_position(move_back);
    prose_pause_.each_position(move_back);
    model_start_.each_position(move_back);
    repairer_.each_position(move_back);
    repairer_.lexer.data = reinterpret_cast<const std::uint8_t*>(input_.data());
    repairer_.lexer.length = input_.size();
}

namespace {

// How much of an open string's output a snapshot shows. Not a trailing
// escape of a high surrogate: a low one may follow and make one character
// of the two, and a snapshot that is decoded would then see its last
// character change instead of the string growing.
std::size_t open_string_shown(const char* out, std::size_t size) {
    if (size < 6) return size;
    const char* escape = out + size - 6;
    const bool high = escape[0] == '\\' && escape[1] == 'u' && (escape[2] == 'd' || escape[2] == 'D') &&
                      std::string_view("89abAB").find(escape[3]) != std::string_view::npos;
    if (!high) return size;
    std::size_t backslashes = 0;  // before it: an even run leaves it an escape
    while (escape - backslashes > out && escape[-1 - static_cast<std::ptrdiff_t>(backslashes)] == '\\') ++backslashes;
    return backslashes % 2 == 0 ? size - 6 : size;
}

}  // namespace

std::optional<std::string> RepairStream::snapshot() const {
    if (phase_ == Phase::Start || phase_ == Phase::Model || phase_ == Phase::Seek) return std::nullopt;
    const Repairer& r = repairer_;
    if (phase_ == Phase::Done && !r.wrote) return std::string("null");
    // Under the model profile the first bracket may wait to be read (is a
    // brace a set?): nothing has begun yet.
    if (phase_ == Phase::Parse && r.out.size() == 0) return std::nullopt;
    const std::size_t shown = r.showing_string ? open_string_shown(r.out.data(), r.out.size()) : r.shown;
    std::string text;
    text.reserve(shown + 1 + r.depth);
    text.assign(r.out.data(), shown);
    if (r.showing_string) text.push_back('"');
    for (std::size_t d = r.depth; d-- > 0;) text.push_back(r.is_object[d] ? '}' : ']');
    return text;
}

RepairResult RepairStream::close() {
    if (!final_) {
        final_ = true;
        if (!refused_ && phase_ != Phase::Done) run();
    }
    if (refused_) return RepairResult::failure(*refused_);
    Repairer& r = repairer_;
    if (!r.wrote) r.out.append_literal("null");
    r.wrote = true;
    if (!is_valid_utf8(r.out.data(), r.out.size())) throw InternalFault("repair output is always utf-8");
    input_ = std::string();
    return RepairResult::success(r.out.take());
}

}  // namespace corvane
