// The strict stretch (see strict.hpp). Each block goes through three steps:
// classify, combine the classes into what lies inside and outside strings
// (plain 64-bit arithmetic, as in simdjson's first stage), and copy
// everything but the whitespace outside strings. Classify and copy are the
// block kernel's: the platform layer has one per instruction set, and
// lexer/blocks.hpp the scalar twin. Then the tokens of the block are checked
// in order against the grammar of strict JSON; a token that does not fit
// ends the stretch at the last commit.
#include "parser/strict.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "lexer/blocks.hpp"
#include "lexer/lexer.hpp"
#include "platform/platform.hpp"

namespace corvane {

namespace {

constexpr std::size_t MAX_UNCOMMITTED = std::size_t(1) << 16;

// Each bit set from an odd-numbered set bit of `bits` up to the next one:
// with quote bits, the insides of strings (the opening quote included).
constexpr std::uint64_t prefix_xor(std::uint64_t bits) {
    bits ^= bits << 1;
    bits ^= bits << 2;
    bits ^= bits << 4;
    bits ^= bits << 8;
    bits ^= bits << 16;
    bits ^= bits << 32;
    return bits;
}

// A backslash at `p` and what follows make one of JSON's escapes.
bool is_strict_escape(const std::uint8_t* data, std::size_t p, std::size_t end) {
    if (p + 1 >= end) return false;
    if (is_short_escape(data[p + 1])) return true;
    return data[p + 1] == 'u' && end - p >= 6 && is_hex_digit(data[p + 2]) && is_hex_digit(data[p + 3]) &&
           is_hex_digit(data[p + 4]) && is_hex_digit(data[p + 5]);
}

// The bytes of the block at `pos` that a backslash escapes: each backslash
// not itself escaped escapes the byte after it, which may be the next
// block's first (`carry`). Such a backslash outside an escape of JSON's
// marks the input as not strict from there on (`bad_from`).
CORVANE_NOINLINE std::uint64_t escaped_bytes(const std::uint8_t* data, std::size_t pos, std::size_t end,
                                             std::uint64_t backslash, std::uint64_t& carry, std::size_t& bad_from) {
    std::uint64_t escaped = carry;
    carry = 0;
    for (; backslash != 0; backslash &= backslash - 1) {
        const unsigned i = static_cast<unsigned>(std::countr_zero(backslash));
        if ((escaped >> i) & 1) continue;
        if (!is_strict_escape(data, pos + i, end)) bad_from = std::min(bad_from, pos + i);
        if (i == BLOCK - 1) {
            carry = 1;
        } else {
            escaped |= std::uint64_t(2) << i;
        }
    }
    return escaped;
}

// Whether bytes[begin, stop), a whole number or word (the bytes up to the
// next whitespace, structural byte or quote), is one of strict JSON: a
// number in JSON's form (the pass's own test, lexer.hpp), or true, false or
// null. The pass writes exactly
// such a token as it stands (with 'E' as 'e', done by the caller).
// `digits_end(p)` is the end of the run of digits at p.
template <class DigitsEnd>
bool is_strict_scalar(const std::uint8_t* bytes, std::size_t begin, std::size_t stop, DigitsEnd digits_end) {
    auto literal = [&](const char* text, std::size_t size) {
        return stop - begin == size && std::memcmp(bytes + begin, text, size) == 0;
    };
    switch (bytes[begin]) {
        case 't': return literal("true", 4);
        case 'f': return literal("false", 5);
        case 'n': return literal("null", 4);
        default: break;
    }
    const NumberForm number = read_json_number(bytes, begin, stop, digits_end);
    return number.whole && number.end == stop;
}

// The same for a token that ends inside its block, the usual case: its
// digit runs come from the block's mask.
bool is_strict_scalar_in_block(const std::uint8_t* block, unsigned begin, unsigned stop, std::uint64_t digit) {
    return is_strict_scalar(block, begin, stop, [digit](std::size_t p) {
        return p + static_cast<std::size_t>(std::countr_zero(~(digit >> p)));
    });
}

// And for one that goes on past its block: its end is found first.
bool is_strict_scalar_in_input(const std::uint8_t* data, std::size_t begin, std::size_t end) {
    std::size_t stop = begin;
    while (stop < end && !is_whitespace(data[stop]) && !is_structural(data[stop]) && data[stop] != '"') ++stop;
    return is_strict_scalar(data, begin, stop, [data, stop](std::size_t p) {
        return FastScan::skip_digits(data, p, stop);
    });
}

// What the grammar allows at the next token.
enum class Expect : std::uint8_t {
    FirstElement,  // after '[': a value or ']'
    Element,       // after ',' in an array: a value
    FirstKey,      // after '{': a key or '}'
    Key,           // after ',' in an object: a key
    KeyEnd,        // inside a key: its closing quote
    Colon,         // after a key: ':'
    MemberValue,   // after ':': a value
    StringEnd,     // inside a value string: its closing quote
    AfterValue,    // after a value: ',' or the container's closing bracket
};

// What the pass does from a commit on.
enum class Commit : std::uint8_t {
    Opened,   // the container loop, before the first element or member
    Members,  // the container loop, after an element or member
    Value,    // a member's value
    Written,  // the stretch's own container is closed
};

// A byte the output gets that the input lacks (a missing comma, the quotes
// of an unquoted key), before the block's copied byte number `at`.
struct Insertion {
    std::size_t at;
    char byte;
};
// At most one per token and two more per key, which needs a ':' after it.
constexpr std::size_t MAX_INSERTIONS = 2 * BLOCK;

// The stretch itself, flattened into one function per kernel (below) so
// that each is compiled for its kernel's instruction set.
template <class Kernel>
StrictStop run_stretch(const std::uint8_t* data, std::size_t pos, std::size_t end, OutputBuffer& out,
                       std::array<bool, MAX_DEPTH>& is_object, std::uint32_t depth) {
    const std::uint32_t entry_depth = depth;
    bool in_object = is_object[depth - 1];
    Expect expect = in_object ? Expect::FirstKey : Expect::FirstElement;
    // The last commit of an earlier block, as plain values: built up field
    // by field in memory, a StrictStop would be read back whole before the
    // stores are done. Only containers change the depth, and each of them
    // commits: the depth at any commit is the depth when the stretch stops.
    std::size_t last_pos = pos;
    std::size_t last_out = out.size();
    Commit last_kind = Commit::Opened;
    const auto stopped = [&] {
        const StrictNext next = last_kind == Commit::Value     ? StrictNext::Value
                                : last_kind == Commit::Written ? StrictNext::Written
                                                               : StrictNext::Members;
        return StrictStop{last_pos, last_out, depth, next, last_kind != Commit::Opened};
    };
    // The first byte known not to be strict: a control byte or a backslash
    // that is no escape of JSON's, inside a string the tokens have not
    // reached yet. No commit goes past it.
    std::size_t bad_from = SIZE_MAX;
    std::uint64_t in_string_carry = 0;  // all ones while a string goes on into the next block
    std::uint64_t escape_carry = 0;
    std::uint64_t scalar_carry = 0;     // a number or word goes on into the next block
    std::uint8_t tail[BLOCK];
    Insertion insertions[MAX_INSERTIONS];

    for (; pos < end; pos += BLOCK) {
        const std::uint8_t* block = data + pos;
        if (end - pos < BLOCK) {
            // Spaces after the end make no tokens, and are not copied
            // outside a string; inside an unclosed one nothing commits.
            Kernel::pad(tail, block, end - pos);
            block = tail;
        }
        const BlockBits raw = Kernel::classify(block);
        std::uint64_t escaped = 0;
        if (raw.backslash != 0 || escape_carry != 0) {
            escaped = escaped_bytes(data, pos, end, raw.backslash, escape_carry, bad_from);
        }
        const std::uint64_t quote = raw.quote & ~escaped;
        const std::uint64_t in_string = prefix_xor(quote) ^ in_string_carry;
        in_string_carry = static_cast<std::uint64_t>(static_cast<std::int64_t>(in_string) >> 63);
        const std::uint64_t structural = raw.structural & ~in_string;
        const std::uint64_t scalar = ~(in_string | raw.whitespace | raw.structural | quote);
        const std::uint64_t scalar_start = scalar & ~(scalar << 1 | scalar_carry);
        scalar_carry = scalar >> 63;
        if (const std::uint64_t control = raw.control & in_string; control != 0) {
            bad_from = std::min(bad_from, pos + static_cast<std::size_t>(std::countr_zero(control)));
        }
        std::uint64_t tokens = structural | quote | scalar_start;
        if (bad_from != SIZE_MAX) tokens &= (std::uint64_t(1) << (bad_from - pos)) - 1;

        // Everything but whitespace outside strings is copied; an exponent's
        // 'E' (the only 'E' strict JSON has outside strings but in keys
        // without quotes, which put theirs back) becomes 'e'.
        const std::uint64_t keep = ~(raw.whitespace & ~in_string);
        const std::size_t block_out = out.size();
        static_assert(BLOCK + MAX_INSERTIONS + BLOCK <= STRICT_OUTPUT_ROOM);
        char* const written = out.room(STRICT_OUTPUT_ROOM);
        const std::size_t copied = Kernel::compress(block, keep, written);
        const auto copied_before = [&](std::uint64_t below) {
            return static_cast<std::size_t>(std::popcount(keep & below));
        };
        for (std::uint64_t marker = raw.upper_e & scalar; marker != 0; marker &= marker - 1) {
            written[copied_before((marker & (~marker + 1)) - 1)] = 'e';
        }

        // The block's last commit, kept as the tokens pass and turned into
        // a StrictStop when the block is done.
        std::size_t inserted = 0;
        int commit_end = -1;  // the block's bytes it covers; -1: none in this block
        Commit commit_kind = Commit::Members;
        std::size_t commit_inserted = 0;
        // Puts the insertions in place: the copied bytes after the first go
        // back from a copy of the block's output, a whole block at a time
        // (the output has the room), each piece after its insertion.
        const auto finish_block = [&] {
            if (inserted != 0) {
                char copy[2 * BLOCK];  // its second half only pads the whole-block copies
                std::memcpy(copy, written, BLOCK);
                for (std::size_t k = 0; k < inserted; ++k) {
                    const std::size_t at = insertions[k].at;
                    written[at + k] = insertions[k].byte;
                    std::memcpy(written + at + k + 1, copy + at, BLOCK);
                }
            }
            out.advance(copied + inserted);
            if (commit_end >= 0) {
                const std::uint64_t below =
                    commit_end == static_cast<int>(BLOCK) ? ~std::uint64_t(0) : (std::uint64_t(1) << commit_end) - 1;
                last_pos = pos + static_cast<std::size_t>(commit_end);
                last_out = block_out + commit_inserted + copied_before(below);
                last_kind = commit_kind;
            }
            return stopped();
        };

        for (; tokens != 0; tokens &= tokens - 1) {
            const unsigned i = static_cast<unsigned>(std::countr_zero(tokens));
            const std::uint8_t byte = block[i];
            const std::uint64_t below = (std::uint64_t(1) << i) - 1;
            const auto commit_after = [&](Commit kind) {
                commit_end = static_cast<int>(i) + 1;
                commit_kind = kind;
                commit_inserted = inserted;
            };
            // Before a ',', which the general pass drops (writing its own
            // before the next element), and before an element or a quoted
            // key whose comma is missing.
            const auto commit_before = [&](Commit kind) {
                commit_end = static_cast<int>(i);
                commit_kind = kind;
                commit_inserted = inserted;
            };
            const auto insert = [&](std::uint64_t before, char text) {
                insertions[inserted++] = {copied_before(before), text};
            };
            // A string opens at the token. When it closes in this block, its
            // closing quote is passed over here rather than as a token.
            const auto open_string = [&](Expect inside, Expect after) {
                const std::uint64_t later = quote & ~(below << 1 | 1);
                if (later == 0) {
                    expect = inside;
                    return;
                }
                tokens &= ~(later & (~later + 1));
                expect = after;
            };
            // Where the number or word at the token ends (BLOCK: not in this block).
            const auto scalar_end = [&] {
                return i + static_cast<unsigned>(std::countr_zero(~(scalar >> i)));
            };
            // A key without quotes is written as it stands, in quotes, its
            // 'E's kept: when it starts as a key may, and holds nothing the
            // general rules would end it at or escape (a quote, a '/', a
            // backslash, a control byte).
            const auto unquoted_key = [&] {
                const unsigned stop = scalar_end();
                if (stop >= BLOCK || !is_key_start(byte)) return false;
                const std::uint64_t key = ((std::uint64_t(1) << stop) - 1) & ~below;
                if (((raw.control | raw.backslash | raw.word_stop) & key) != 0) return false;
                for (std::uint64_t marker = raw.upper_e & key; marker != 0; marker &= marker - 1) {
                    written[copied_before((marker & (~marker + 1)) - 1)] = 'E';
                }
                insert(below, '"');
                insert(key | below, '"');
                return true;
            };
            switch (expect) {
                case Expect::FirstElement:
                    if (byte == ']') goto close;
                    [[fallthrough]];
                case Expect::Element:
                case Expect::MemberValue:
                value:
                    if (byte == '"') {
                        open_string(Expect::StringEnd, Expect::AfterValue);
                    } else if (byte == '[' || byte == '{') {
                        if (!may_open_container(depth)) return finish_block();  // the general pass refuses it
                        in_object = byte == '{';
                        is_object[depth++] = in_object;
                        expect = in_object ? Expect::FirstKey : Expect::FirstElement;
                        commit_after(Commit::Opened);
                    } else if ((structural >> i) & 1) {
                        return finish_block();
                    } else if (const unsigned stop = scalar_end();
                               stop < BLOCK ? !is_strict_scalar_in_block(block, i, stop, raw.digit)
                                            : !is_strict_scalar_in_input(data, pos + i, end)) {
                        return finish_block();
                    } else {
                        expect = Expect::AfterValue;
                    }
                    continue;
                case Expect::StringEnd:
                    expect = Expect::AfterValue;
                    continue;
                case Expect::FirstKey:
                    if (byte == '}') goto close;
                    [[fallthrough]];
                case Expect::Key:
                    if (byte == '"') {
                        open_string(Expect::KeyEnd, Expect::Colon);
                    } else if (unquoted_key()) {
                        expect = Expect::Colon;
                    } else {
                        return finish_block();
                    }
                    continue;
                case Expect::KeyEnd:
                    expect = Expect::Colon;
                    continue;
                case Expect::Colon:
                    if (byte != ':') return finish_block();
                    expect = Expect::MemberValue;
                    commit_after(Commit::Value);
                    continue;
                case Expect::AfterValue:
                    if (byte == ',') {
                        expect = in_object ? Expect::Key : Expect::Element;
                        commit_before(Commit::Members);
                        continue;
                    }
                    if (byte == (in_object ? '}' : ']')) goto close;
                    if (byte == ':' || byte == ']' || byte == '}') return finish_block();
                    // The next element or key follows with its comma
                    // missing: the general pass writes one, and so does this.
                    if (!in_object || byte == '"') {
                        commit_before(Commit::Members);
                        insert(below, ',');
                        if (!in_object) goto value;
                        open_string(Expect::KeyEnd, Expect::Colon);
                        continue;
                    }
                    // A key without quotes: no commit before it, for after
                    // a string the general pass decides on the string's end
                    // and this key together (and refuses without a ':').
                    insert(below, ',');
                    if (!unquoted_key()) return finish_block();
                    expect = Expect::Colon;
                    continue;
            }
        close:
            --depth;
            if (depth < entry_depth) {
                commit_after(Commit::Written);
                return finish_block();
            }
            in_object = is_object[depth - 1];
            expect = Expect::AfterValue;
            commit_after(Commit::Members);
        }
        finish_block();
        // No commit can pass a byte that is not strict; and a stretch that
        // has not committed for long (an unclosed string) gives back no more
        // than this much work to the general pass.
        if (bad_from != SIZE_MAX || last_pos + MAX_UNCOMMITTED < pos) return stopped();
    }
    return stopped();
}

// One entry per kernel, compiled with the attributes of its instruction set.
CORVANE_FLATTEN CORVANE_NOINLINE StrictStop scalar_stretch(const std::uint8_t* data, std::size_t pos,
                                                           std::size_t end, OutputBuffer& out,
                                                           std::array<bool, MAX_DEPTH>& is_object,
                                                           std::uint32_t depth) {
    return run_stretch<ScalarKernel>(data, pos, end, out, is_object, depth);
}
#define CORVANE_STRETCH_ENTRY(Name, Kernel, Target)                                                          \
    Target CORVANE_FLATTEN CORVANE_NOINLINE StrictStop Name##_stretch(                                      \
        const std::uint8_t* data, std::size_t pos, std::size_t end, OutputBuffer& out,                      \
        std::array<bool, MAX_DEPTH>& is_object, std::uint32_t depth) {                                      \
        return run_stretch<Kernel>(data, pos, end, out, is_object, depth);                                  \
    }
CORVANE_VECTOR_BLOCK_KERNELS(CORVANE_STRETCH_ENTRY)
#undef CORVANE_STRETCH_ENTRY

}  // namespace

StrictStop strict_stretch(BlockKernel kernel, const std::uint8_t* data, std::size_t pos, std::size_t end,
                          OutputBuffer& out, std::array<bool, MAX_DEPTH>& is_object, std::uint32_t depth) {
    switch (kernel) {
#define CORVANE_STRETCH_CASE(Name, Kernel, Target) \
    case BlockKernel::Name: return Name##_stretch(data, pos, end, out, is_object, depth);
        CORVANE_VECTOR_BLOCK_KERNELS(CORVANE_STRETCH_CASE)
#undef CORVANE_STRETCH_CASE
        case BlockKernel::Scalar: return scalar_stretch(data, pos, end, out, is_object, depth);
        default: return {pos, out.size(), depth, StrictNext::Members, false};
    }
}

}  // namespace corvane
