// The properties every repair must have, shared by the fuzz targets and their
// replay builds. A broken property prints what broke and aborts, so libFuzzer
// keeps the input and a replay run fails loudly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::fuzz {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);

// Rewrites every `\uXXXX` escape of an unpaired surrogate into the escape of
// a plain character of the same length, so a strict parser that refuses lone
// surrogates judges the rest of the text. Nothing else changes.
std::string neutralise_lone_surrogates(std::string_view text);

// True when `text` is one strictly valid JSON text for nlohmann's parser,
// with lone surrogate escapes and out-of-range numbers counted as valid (the
// grammar allows both; the parser refuses them for reasons of its own).
bool is_strict_json(std::string_view text);

// For a text that is already known to be valid JSON: the compact form the
// engine must give (byte-order mark and whitespace gone, exponent markers
// lower case), and the deepest container nesting in `depth`.
std::string compact_valid_json(std::string_view text, std::size_t& depth);

// Repairs `input` and checks every property; aborts on the first violation.
void check_repair(std::string_view input);

// Prints the broken property and the input, then aborts.
[[noreturn]] void fail(std::string_view what, std::string_view input,
                       std::string_view detail = {});

}  // namespace corvane::fuzz
