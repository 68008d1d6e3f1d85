// The strict stretch: the forward pass's fast path for input that is already
// strict JSON, which most input is for most of its length. Inside a
// container it classifies 64 bytes at a time into bit masks (quotes, string
// interiors, whitespace, structural bytes, the starts of numbers and words),
// writes each block's bytes minus its whitespace to the output in one go,
// and then checks only the tokens the masks point at. What strict JSON
// repairs to is known without the general rules: itself, minus whitespace
// outside strings, with an exponent's 'E' written 'e'.
//
// It writes ahead of what it has checked. At every ',', ':' and bracket it
// records where the pass stands (a commit); at the first byte that is not
// strict JSON it hands back the last commit, and the pass takes back the
// output written after it and reads on from there with the general rules.
// So the output is the general pass's byte for byte, which the differential
// test holds against the reference engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "parser/errors.hpp"
#include "parser/output.hpp"
#include "platform/platform.hpp"

namespace corvane {

// Where the pass goes on after a strict stretch.
enum class StrictNext : std::uint8_t {
    Members,  // in the container loop of the innermost open container
    Value,    // just after a ':'
    Written,  // the container the stretch began in was closed: a value is written
};

// The last commit: the input up to `pos` became the output up to `out_size`,
// with `depth` containers open (their kinds in the pass's is_object).
struct StrictStop {
    std::size_t pos;
    std::size_t out_size;
    std::uint32_t depth;
    StrictNext next;
    bool need_comma;
};

// Runs from `pos`, just after the opening bracket of the innermost of the
// `depth` open containers, through `data[pos, end)` until the input stops
// being strict JSON, that container closes, or the input ends. `out` may
// hold bytes past the returned out_size: the caller drops them.
StrictStop strict_stretch(BlockKernel kernel, const std::uint8_t* data, std::size_t pos, std::size_t end,
                          OutputBuffer& out, std::array<bool, MAX_DEPTH>& is_object, std::uint32_t depth);

// The room a stretch needs in the output beyond the bytes it keeps: it
// stores whole blocks, and may add a comma or quotes before each token.
inline constexpr std::size_t STRICT_OUTPUT_ROOM = 256;

}  // namespace corvane
