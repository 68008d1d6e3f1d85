// Byte-level text helpers of the command: UTF-8 validation, blank-line
// detection, whitespace-insensitive comparison and re-indentation of the
// engine's compact output. None of them allocate except `reindent`.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane::cli {

// Offset of the first byte that does not start or continue a well-formed
// UTF-8 sequence (overlong forms, surrogates and code points above U+10FFFF
// are refused, as a strict decoder does), or text.size() when all is valid.
std::size_t find_invalid_utf8(std::string_view text) noexcept;

// True when the text holds nothing but tab, line feed, form feed, carriage
// return and space: the bytes the engine itself treats as whitespace.
bool is_blank(std::string_view text) noexcept;

// True when `text` equals the compact JSON `compact` once the JSON
// whitespace between tokens (space, tab, line feed, carriage return) is
// ignored. Whitespace inside a string counts, as does any other byte.
bool equals_ignoring_whitespace(std::string_view text, std::string_view compact) noexcept;

// Pretty-prints compact JSON (no whitespace outside strings, as the engine
// writes it) with `indent` spaces per level: one member or element per line,
// ": " after keys, empty containers kept as [] and {}. Every token is copied
// byte for byte; only line feeds and spaces are added.
std::string reindent(std::string_view compact, unsigned indent);

}  // namespace corvane::cli
