#include "checks.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>

#include <nlohmann/json.hpp>

#include "parser/reference.hpp"
#include "parser/repair.hpp"
#include "parser/stream.hpp"
#include "parser/utf8.hpp"

namespace corvane::fuzz {

namespace {

constexpr std::string_view DEPTH_MESSAGE = "JSON nesting exceeds the limit of 128 containers";
constexpr std::string_view QUOTE_MESSAGE =
    "Ambiguous unescaped quote in object value; escape inner quotes before repair";

// Value of the four hex digits at `at`, or -1 when they are not all there.
long hex4(std::string_view s, std::size_t at) {
    if (at + 4 > s.size()) return -1;
    long v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        const char c = s[at + k];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return -1;
        v = v * 16 + d;
    }
    return v;
}

std::string printable(std::string_view bytes, std::size_t limit = 600) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    if (bytes.size() > limit) out += "...";
    return out;
}

// The outcome of one engine on `input`: its result, or that it faulted
// (which only input that is not UTF-8 may make it do), or the verdict of
// anything else it threw.
struct Run {
    std::optional<RepairResult> result;
    std::string fault;  // the internal fault's text, when there was one
    std::string verdict;
};
Run run_engine(RepairResult (*engine)(const char*, std::size_t), std::string_view input) {
    Run run;
    try {
        run.result.emplace(engine(input.data(), input.size()));
    } catch (const InternalFault& fault) {
        run.fault = fault.what();
    } catch (const std::exception& e) {
        run.verdict = std::string("unexpected exception: ") + e.what();
    }
    return run;
}

RepairResult fast_engine(const char* data, std::size_t size) { return repair_text(data, size); }
RepairResult fast_model_engine(const char* data, std::size_t size) {
    return repair_text(data, size, Profile::Model);
}
RepairResult reference_model_engine(const char* data, std::size_t size) {
    return repair_text_reference(data, size, Profile::Model);
}
RepairResult scalar_blocks_model_engine(const char* data, std::size_t size) {
    return repair_text_scalar_blocks(data, size, Profile::Model);
}

bool same_outcome(const RepairResult& a, const RepairResult& b) {
    return a.ok() == b.ok() && (a.ok() ? a.text() == b.text() : a.error() == b.error());
}

std::string shown(const RepairResult& result) {
    return result.ok() ? printable(result.text()) : "refused: " + std::string(error_message(result.error()));
}

}  // namespace

void fail(std::string_view what, std::string_view input, std::string_view detail) {
    std::fprintf(stderr, "\n*** repair property broken: %.*s\n", static_cast<int>(what.size()),
                 what.data());
    if (!detail.empty()) std::fprintf(stderr, "    detail: %s\n", printable(detail).c_str());
    std::fprintf(stderr, "    input (%zu bytes): %s\n", input.size(), printable(input).c_str());
    std::abort();
}

bool is_valid_utf8(std::string_view text) { return is_valid_utf8_reference(text.data(), text.size()); }

std::string neutralise_lone_surrogates(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    bool in_string = false;
    std::size_t i = 0;
    while (i < json.size()) {
        const char c = json[i];
        if (!in_string) {
            if (c == '"') in_string = true;
            out += c;
            ++i;
            continue;
        }
        if (c == '"') {
            in_string = false;
            out += c;
            ++i;
            continue;
        }
        if (c != '\\' || i + 1 >= json.size()) {
            out += c;
            ++i;
            continue;
        }
        if (json[i + 1] != 'u') {
            // Any two-byte escape, \\ included, is copied whole so that an
            // escaped backslash never looks like the start of a \u escape.
            out.append(json.substr(i, 2));
            i += 2;
            continue;
        }
        const long unit = hex4(json, i + 2);
        if (unit < 0 || unit < 0xD800 || unit > 0xDFFF) {
            out.append(json.substr(i, 2));
            i += 2;
            continue;
        }
        if (unit <= 0xDBFF && i + 8 <= json.size() && json[i + 6] == '\\' && json[i + 7] == 'u') {
            const long low = hex4(json, i + 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out.append(json.substr(i, 12));
                i += 12;
                continue;
            }
        }
        out += "\\u0000";
        i += 6;
    }
    return out;
}

namespace {

// Copies `json` with its strings whole (escapes included); each byte outside
// them goes to `outside(c, out)`, which appends what it keeps.
template <class Outside>
std::string map_outside_strings(std::string_view json, Outside outside) {
    std::string out;
    out.reserve(json.size());
    bool in_string = false;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (in_string) {
            out += c;
            if (c == '\\' && i + 1 < json.size()) out += json[++i];
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') in_string = true;
        outside(c, out);
    }
    return out;
}

}  // namespace

std::string shorten_digit_runs(std::string_view json) {
    std::size_t run = 0;
    return map_outside_strings(json, [&run](char c, std::string& out) {
        if (c >= '0' && c <= '9') {
            if (++run <= 2) out += c;
            return;
        }
        run = 0;
        out += c;
    });
}

bool is_strict_json(std::string_view text) {
    // nlohmann's lexer takes a NUL byte for the end of the input; in JSON it
    // is never valid raw, in a string or outside one.
    if (text.find('\0') != std::string_view::npos) return false;
    return nlohmann::json::accept(shorten_digit_runs(neutralise_lone_surrogates(text)));
}

std::string compact_valid_json(std::string_view text, std::size_t& depth) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
    std::size_t open = 0;
    depth = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '"') {
            std::size_t j = i + 1;
            while (j < text.size() && text[j] != '"') j += text[j] == '\\' ? 2 : 1;
            out.append(text.substr(i, j + 1 - i));
            i = j + 1;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '[' || c == '{') {
            ++open;
            if (open > depth) depth = open;
        } else if (c == ']' || c == '}') {
            --open;
        }
        out += c == 'E' ? 'e' : c;
        ++i;
    }
    return out;
}

namespace {

// The model profile's three engines: the reference takes no strict stretch,
// the twin takes it at every container, so that wherever the stretch hands
// back, the profile's check of it is held to the rules.
std::string compare_model_engines(std::string_view input, Run& fast) {
    fast = run_engine(fast_model_engine, input);
    const Run reference = run_engine(reference_model_engine, input);
    const Run twin = run_engine(scalar_blocks_model_engine, input);
    for (const Run* run : {static_cast<const Run*>(&fast), &reference, &twin}) {
        if (!run->verdict.empty()) return run->verdict;
        if (!run->result && is_valid_utf8(input)) return "internal fault on valid UTF-8 input: " + run->fault;
    }
    if (!fast.result || !reference.result || !twin.result) {
        return fast.result || reference.result || twin.result ? "only some of the engines fault" : "";
    }
    if (!same_outcome(*fast.result, *reference.result)) {
        return "the model profile's fast engine and reference differ: " + shown(*fast.result) + " <> " +
               shown(*reference.result);
    }
    if (!same_outcome(*twin.result, *reference.result)) {
        return "the model profile's stretch at every container and the reference differ: " + shown(*twin.result) +
               " <> " + shown(*reference.result);
    }
    return {};
}

// differential_violation, keeping the fast engine's run in `fast`.
std::string compare_engines(std::string_view input, Run& fast, Profile profile) {
    if (profile == Profile::Model) return compare_model_engines(input, fast);
    const bool input_is_utf8 = is_valid_utf8(input);
    fast = run_engine(fast_engine, input);
    const Run reference = run_engine(repair_text_reference, input);
    // The engine with the strict stretch's scalar kernel, tried at every
    // container: its output is the fast engine's.
    const Run twin = run_engine(repair_text_scalar_blocks, input);
    for (const Run* run : {static_cast<const Run*>(&fast), &reference, &twin}) {
        if (!run->verdict.empty()) return run->verdict;
        // The engine refuses to hand out invalid UTF-8; with invalid input
        // that is its documented way out, with valid input it is a bug.
        if (!run->result && input_is_utf8) return "internal fault on valid UTF-8 input: " + run->fault;
    }
    if (!fast.result || !reference.result || !twin.result) {
        if (fast.result || reference.result || twin.result) return "only some of the engines fault";
        return {};
    }
    if (!same_outcome(*fast.result, *reference.result)) {
        return "the fast engine and the reference differ: " + shown(*fast.result) + " <> " +
               shown(*reference.result);
    }
    if (!same_outcome(*twin.result, *reference.result)) {
        return "the strict stretch's scalar kernel and the reference differ: " + shown(*twin.result) + " <> " +
               shown(*reference.result);
    }
    return report_violation(input, *fast.result);
}

std::atomic<std::size_t> judged_reports{0};

// JSON's own four whitespace bytes and the form feed, which the repair
// drops as whitespace too.
bool is_gap_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// `text` without the whitespace that stands outside its strings.
std::string drop_outer_whitespace(std::string_view text) {
    return map_outside_strings(text, [](char c, std::string& out) {
        if (!is_gap_space(c)) out += c;
    });
}

}  // namespace

std::string rebuild_violation(std::string_view input, const RepairResult& result, const RepairReport& report) {
    if (result.ok() == report.error.has_value()) return "the report and repair_text disagree on refusing";
    if (!result.ok()) {
        if (*report.error != result.error()) return "the report refuses for another reason";
        if (report.error_offset > input.size()) return "refusal offset past the input";
        if (!report.edits.empty()) return "a refused report has edits";
        return {};
    }
    if (report.text != result.text()) return "the report's text differs: " + printable(report.text);
    if (report.start > report.end || report.end > input.size()) return "start and end out of order";
    std::string rebuilt;
    std::size_t at = report.start;
    for (const Edit& edit : report.edits) {
        if (edit.start < at || edit.end < edit.start || edit.end > report.end) {
            return "edit out of order or place at " + std::to_string(edit.start) + ".." + std::to_string(edit.end);
        }
        if (static_cast<std::size_t>(edit.kind) >= EDIT_KIND_COUNT || edit_kind_name(edit.kind).empty()) {
            return "edit of no kind";
        }
        rebuilt.append(input.substr(at, edit.start - at));
        rebuilt.append(edit.text);
        at = edit.end;
    }
    rebuilt.append(input.substr(at, report.end - at));
    if (const std::string text = drop_outer_whitespace(rebuilt); text != report.text) {
        return "the edits rebuild " + printable(text) + " <> " + printable(report.text);
    }
    if (!report.found && report.text != "null") return "nothing found, yet a value: " + printable(report.text);
    if (is_valid_utf8(input) && is_strict_json(input)) {
        if (!report.found || !report.complete) return "valid JSON reported as not found or cut off";
        for (const Edit& edit : report.edits) {
            if (edit.kind != EditKind::NumberRewritten || edit.text.find('e') == std::string::npos) {
                return "valid JSON has an edit of kind " + std::string(edit_kind_name(edit.kind));
            }
        }
    }
    return {};
}

std::string report_violation(std::string_view input, const RepairResult& result) {
    ++judged_reports;
    RepairReport report;
    try {
        report = report_text(input.data(), input.size());
    } catch (const std::exception& e) {
        return std::string("the report failed: ") + e.what();
    }
    std::string violation = rebuild_violation(input, result, report);
    if (violation.empty()) violation = every_value_violation(input);
    return violation;
}

std::string every_value_mismatch(std::string_view input);

// Reading value after value must give what reporting the rest of the text
// from each value's end gives, however the search for a bracket was spared.
// Done report by report, which takes time quadratic in the values: only on
// texts short enough for that.
std::string every_value_violation(std::string_view input) {
    constexpr std::size_t LONGEST = 4096;
    if (input.size() > LONGEST || !is_valid_utf8(input)) return {};
    try {
        return every_value_mismatch(input);
    } catch (const std::exception& e) {
        return std::string("reporting value after value failed: ") + e.what();
    }
}

std::string every_value_mismatch(std::string_view input) {
    const std::vector<PlacedReport> all = report_every_value(input.data(), input.size());
    std::size_t position = 0;
    for (std::size_t i = 0;; ++i) {
        const RepairReport one = report_text(input.data() + position, input.size() - position);
        const bool refused = one.error.has_value();
        const bool listed = refused || (one.found && one.end > one.start);
        if (!listed) {
            if (i != all.size()) return "report_every_value lists more values than there are";
            return {};
        }
        if (i == all.size()) return "report_every_value misses the value at " + std::to_string(position);
        const RepairReport& got = all[i].report;
        const bool same = all[i].base == position && got.text == one.text && got.error == one.error &&
                          got.error_offset == one.error_offset && got.found == one.found &&
                          got.start == one.start && got.end == one.end && got.complete == one.complete &&
                          got.edits.size() == one.edits.size();
        if (!same) return "report_every_value differs at the value read from " + std::to_string(position);
        if (refused) return i + 1 == all.size() ? std::string() : "values listed after a refusal";
        position += one.end;
    }
}

std::size_t reports_judged() { return judged_reports; }

std::string differential_violation(std::string_view input, Profile profile) {
    Run fast;
    return compare_engines(input, fast, profile);
}

std::string property_violation(std::string_view input, const RepairResult& result, Profile profile) {
    const bool input_is_json = is_valid_utf8(input) && is_strict_json(input);
    std::size_t depth = 0;
    std::string expected;
    if (input_is_json) expected = compact_valid_json(input, depth);

    if (!result.ok()) {
        const RepairError kind = result.error();
        const std::string_view message = error_message(kind);
        if (kind == RepairError::DepthExceeded) {
            if (message != DEPTH_MESSAGE) return "wrong nesting message: " + std::string(message);
        } else if (kind == RepairError::AmbiguousQuote) {
            if (message != QUOTE_MESSAGE) return "wrong quote message: " + std::string(message);
            if (input_is_json) return "valid JSON refused as ambiguous";
        } else {
            return "refusal of an unknown kind";
        }
        if (input_is_json && depth <= MAX_DEPTH) return "valid JSON within the limit refused";
        return {};
    }

    const std::string text(result.text());
    if (!is_valid_utf8(text)) return "output is not valid UTF-8: " + printable(text);
    if (!is_strict_json(text)) return "output is not valid JSON: " + printable(text);
    std::size_t output_depth = 0;
    if (compact_valid_json(text, output_depth) != text) return "output is not compact: " + printable(text);
    if (output_depth > MAX_DEPTH) return "output nested past the limit: " + printable(text);
    if (input_is_json) {
        if (depth > MAX_DEPTH) return "valid JSON past the limit was not refused: " + printable(text);
        if (text != expected) return "valid JSON did not keep its text: " + printable(text);
    }
    const Run again = run_engine(profile == Profile::Model ? fast_model_engine : fast_engine, text);
    if (!again.result) return "repairing the output fails: " + again.verdict + again.fault;
    if (!again.result->ok()) return "repairing the output is refused: " + printable(text);
    if (again.result->text() != text) return "repairing the output changes it: " + printable(again.result->text());
    return {};
}

std::string repair_violation(std::string_view input, Profile profile) {
    Run fast;
    if (std::string broken = compare_engines(input, fast, profile); !broken.empty()) return broken;
    if (!fast.result) return {};  // input that is not UTF-8, given up on by every engine alike
    return property_violation(input, *fast.result, profile);
}

void check_repair(std::string_view input) {
    for (const Profile profile : {Profile::Default, Profile::Model}) {
        if (const std::string broken = repair_violation(input, profile); !broken.empty()) {
            fail(profile == Profile::Model ? "model profile: " + broken : broken, input);
        }
    }
}

namespace {

// Walks one compact JSON value of the engine's output at `i` (never any
// whitespace) and returns where it ends.
std::size_t value_end(std::string_view text, std::size_t i) {
    if (i >= text.size()) return i;
    const char c = text[i];
    if (c == '"') {
        std::size_t j = i + 1;
        while (j < text.size() && text[j] != '"') j += text[j] == '\\' ? 2 : 1;
        return j + 1;
    }
    if (c == '[' || c == '{') {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == ']' || text[j] == '}')) return j + 1;
        for (;;) {
            if (c == '{') j = value_end(text, j) + 1;  // the key and its ':'
            j = value_end(text, j);
            if (j >= text.size() || text[j] != ',') return j + 1;
            ++j;
        }
    }
    std::size_t j = i;
    while (j < text.size() && text[j] != ',' && text[j] != ']' && text[j] != '}' && text[j] != ':') ++j;
    return j;
}

// The elements (or key and value pairs, flattened) of the container at `i`.
std::vector<std::string_view> parts(std::string_view value) {
    std::vector<std::string_view> out;
    std::size_t j = 1;
    while (j + 1 < value.size()) {
        const std::size_t stop = value_end(value, j);
        out.push_back(value.substr(j, stop - j));
        j = stop + 1;  // past ',' or ':'
    }
    return out;
}

}  // namespace

bool grows_into(std::string_view before, std::string_view after) {
    if (before.empty() || after.empty() || before[0] != after[0]) return false;
    switch (before[0]) {
        case '"':
            return before.size() <= after.size() &&
                   after.substr(0, before.size() - 1) == before.substr(0, before.size() - 1);
        case '[':
        case '{': {
            const auto old_parts = parts(before);
            const auto new_parts = parts(after);
            if (old_parts.size() > new_parts.size()) return false;
            for (std::size_t k = 0; k < old_parts.size(); ++k) {
                const bool key = before[0] == '{' && k % 2 == 0;
                if (key ? old_parts[k] != new_parts[k] : !grows_into(old_parts[k], new_parts[k])) return false;
            }
            return true;
        }
        default:
            return before == after;
    }
}

std::string stream_violation(std::string_view input, const std::vector<std::size_t>& cuts,
                             std::size_t snapshot_every, Profile profile) {
    std::optional<RepairResult> whole;
    try {
        whole.emplace(repair_text(input.data(), input.size(), profile));
    } catch (const std::exception& e) {
        return std::string("repair_text failed: ") + e.what();
    }
    // The report is of the default rules.
    if (profile == Profile::Default) {
        if (std::string broken = report_violation(input, *whole); !broken.empty()) return broken;
    }
    auto same_refusal = [&](RepairError error) { return !whole->ok() && whole->error() == error; };

    RepairStream stream(profile);
    std::optional<std::string> last;
    std::size_t done = 0;
    for (std::size_t k = 0; k <= cuts.size(); ++k) {
        const std::size_t stop = k < cuts.size() ? std::min(cuts[k], input.size()) : input.size();
        if (stop < done) continue;
        const std::optional<RepairError> refused = stream.feed(input.substr(done, stop - done));
        done = stop;
        if (refused) {
            if (!same_refusal(*refused)) return "feed refused what repair_text does not: " + std::string(error_message(*refused));
            return {};
        }
        if ((k + 1) % snapshot_every != 0) continue;
        const std::optional<std::string> snapshot = stream.snapshot();
        if (!snapshot) {
            if (last) return "a snapshot disappeared after " + std::to_string(done) + " bytes";
            continue;
        }
        if (!is_strict_json(*snapshot)) return "snapshot is not JSON: " + printable(*snapshot);
        std::size_t depth = 0;
        if (compact_valid_json(*snapshot, depth) != *snapshot) return "snapshot is not compact: " + printable(*snapshot);
        const RepairResult again = repair_text(snapshot->data(), snapshot->size());
        if (!again.ok() || again.text() != *snapshot) return "snapshot does not repair to itself: " + printable(*snapshot);
        if (last && !grows_into(*last, *snapshot)) {
            return "snapshot after " + std::to_string(done) + " bytes shrank: " + printable(*last) + " -> " +
                   printable(*snapshot);
        }
        if (stream.complete() && whole->ok() && *snapshot != whole->text()) {
            return "complete, but the snapshot is not the result: " + printable(*snapshot);
        }
        last = snapshot;
    }
    const RepairResult closed = stream.close();
    if (closed.ok() != whole->ok()) return closed.ok() ? "close repaired what repair_text refuses" : "close refused";
    if (!closed.ok()) {
        if (closed.error() != whole->error()) return "close refused for another reason";
        return {};
    }
    if (closed.text() != whole->text()) {
        return "close gave " + printable(closed.text()) + " instead of " + printable(whole->text());
    }
    if (last && !grows_into(*last, closed.text())) return "the last snapshot does not grow into the result";
    return {};
}

}  // namespace corvane::fuzz
