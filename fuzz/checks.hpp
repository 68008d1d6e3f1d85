// The properties every repair must have, as verdicts (what broke, or
// nothing), shared by the engine's C++ tests, the fuzz targets and their
// replay builds. In a fuzz target a broken property prints what broke and
// aborts, so libFuzzer keeps the input and a replay run fails loudly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/repair.hpp"
#include "parser/report.hpp"
#include "read_file.hpp"

namespace corvane::fuzz {

// The judges of every repair, for the fuzz targets and the engine's tests
// alike: one definition each of valid UTF-8 and of strict JSON.

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
// The engine's own scalar check, which the vector one is held to.
bool is_valid_utf8(std::string_view text);

// Rewrites every `\u` escape of a lone surrogate inside JSON strings to
// `\u0000`, leaving surrogate pairs and everything else as it is. Such escapes
// are well-formed JSON but the strict reader refuses them.
std::string neutralise_lone_surrogates(std::string_view json);

// Cuts every run of more than two digits outside strings to its first two.
// The JSON grammar never depends on how many digits a run has beyond one (nor
// on more than its first digit being '0'), but the strict reader refuses
// numbers too large for a double, which are valid JSON all the same.
std::string shorten_digit_runs(std::string_view json);

// True when `text` is one strictly valid JSON text for nlohmann's parser,
// with lone surrogate escapes and out-of-range numbers counted as valid (the
// grammar allows both; the parser refuses them for reasons of its own).
bool is_strict_json(std::string_view text);

// For a text that is already known to be valid JSON: the compact form the
// engine must give (byte-order mark and whitespace gone, exponent markers
// lower case), and the deepest container nesting in `depth`.
std::string compact_valid_json(std::string_view text, std::size_t& depth);

// The verdicts: what broke, or an empty string when nothing did.
//
// The fast engine, the scalar reference and the engine with the strict
// stretch's scalar kernel must agree byte for byte, refusals included; an
// internal fault is allowed only for input that is not UTF-8, from all three.
//
// Each verdict takes the rule set (the model profile: its fast engine and
// its reference agree, and its results have the same properties, repairing
// to themselves under it).
std::string differential_violation(std::string_view input, Profile profile = Profile::Default);
// What every result of `input` must satisfy: a refusal is one of the two
// kinds with its message, and never of valid JSON within the limit; a text
// is valid UTF-8, strict JSON, compact, within the limit, the input's own
// text (compacted) when that is valid JSON, and repairs to itself.
std::string property_violation(std::string_view input, const RepairResult& result,
                               Profile profile = Profile::Default);
// Both of the above, for the fast engine's result.
std::string repair_violation(std::string_view input, Profile profile = Profile::Default);

// What a report of `input` must satisfy, given repair_text's `result`: the
// same text or refusal; on a refusal an offset within the input and no
// edits; otherwise edits in input order within [start, end) that, applied
// to input[start, end) with the whitespace outside strings then dropped,
// give exactly the text; nothing found only for the text "null"; and for
// input that is valid JSON already, no edit but an exponent's marker.
std::string rebuild_violation(std::string_view input, const RepairResult& result, const RepairReport& report);
// rebuild_violation of report_text's report. Part of differential_violation
// and repair_violation, so every input they judge judges the report too.
std::string report_violation(std::string_view input, const RepairResult& result);
// report_every_value against reporting the rest of the text from each value's
// end (inputs up to 4 KiB). Part of report_violation.
std::string every_value_violation(std::string_view input);
// How many reports report_violation has judged in this process.
std::size_t reports_judged();

// repair_violation under both rule sets, for the fuzz targets: aborts on
// the first violation.
void check_repair(std::string_view input);

// Whether the compact JSON text `before` grows into `after`: the same type,
// and a string only longer, an array only with more elements, an object
// only with more members after the same keys, each value growing into its
// counterpart; other scalars equal. So a shown value never changes type,
// shrinks or disappears.
bool grows_into(std::string_view before, std::string_view after);

// Feeds `input` to a stream in pieces cut at `cuts` (ascending offsets),
// taking a snapshot after each piece, and returns what broke, or nothing:
// the report of the whole input must hold (report_violation), the stream
// must close with exactly repair_text's result (or refusal), every
// snapshot must be compact JSON that repairs to itself and grow into the next
// one and into the result, and once complete the snapshot is the result.
// Snapshots are taken after every `snapshot_every`-th piece only (they cost
// the output's size each). `input` must be valid UTF-8.
std::string stream_violation(std::string_view input, const std::vector<std::size_t>& cuts,
                             std::size_t snapshot_every = 1, Profile profile = Profile::Default);

// Prints the broken property and the input, then aborts.
[[noreturn]] void fail(std::string_view what, std::string_view input,
                       std::string_view detail = {});

}  // namespace corvane::fuzz
