// The strict stretch (see strict.hpp). Each block goes through three steps:
// classify, combine the classes into what lies inside and outside strings
// (plain 64-bit arithmetic, as in simdjson's first stage), and copy
// everything but the whitespace outside strings. Classify and copy are the
// block kernel's: the platform layer has one per instruction set, and
// lexer/blocks.hpp the scalar twin. Then the tokens of the block are checked
// in order against the grammar of strict JSON; a token that does not fit
// ends the stretch at the last commit. In the code: read_block (classify and
// combine), copy_block, run_stretch's token loop, finish_block.
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

// The last commit of an earlier block, as plain values: built up field by
// field in memory, a StrictStop would be read back whole before the stores
// are done.
struct LastCommit {
    std::size_t pos;
    std::size_t out_size;
    Commit kind;

    // Only containers change the depth, and each of them commits: the depth
    // at any commit is the depth when the stretch stops.
    StrictStop stop(std::uint32_t depth) const {
        const StrictNext next = kind == Commit::Value     ? StrictNext::Value
                                : kind == Commit::Written ? StrictNext::Written
                                                          : StrictNext::Members;
        return StrictStop{pos, out_size, depth, next, kind != Commit::Opened};
    }
};

// What one block carries into the next.
struct Carries {
    std::uint64_t in_string = 0;  // all ones while a string goes on into the next block
    std::uint64_t escape = 0;     // the next block's first byte is escaped
    std::uint64_t scalar = 0;     // a number or word goes on into the next block
};

// One block's bytes by what they are to the grammar.
struct BlockMasks {
    BlockBits raw;
    std::uint64_t quote;       // the quotes not escaped
    std::uint64_t structural;  // structural bytes outside strings
    std::uint64_t scalar;      // the bytes of numbers and words
    std::uint64_t tokens;      // where tokens start, short of the first byte not strict
    std::uint64_t keep;        // what is copied: all but whitespace outside strings
};

// Classifies the block at `pos` (`block`: its bytes, padded at the end of
// the input) and combines the classes with what the block before carries.
// A control byte in a string, or a backslash that is no escape of JSON's,
// moves `bad_from` back to it: no token past it is checked.
template <class Kernel>
CORVANE_ALWAYS_INLINE BlockMasks read_block(const std::uint8_t* block, const std::uint8_t* data, std::size_t pos,
                                            std::size_t end, Carries& carry, std::size_t& bad_from) {
    BlockMasks m;
    m.raw = Kernel::classify(block);
    std::uint64_t escaped = 0;
    if (m.raw.backslash != 0 || carry.escape != 0) {
        std::uint64_t escape = carry.escape;
        escaped = escaped_bytes(data, pos, end, m.raw.backslash, escape, bad_from);
        carry.escape = escape;
    }
    m.quote = m.raw.quote & ~escaped;
    const std::uint64_t in_string = prefix_xor(m.quote) ^ carry.in_string;
    carry.in_string = static_cast<std::uint64_t>(static_cast<std::int64_t>(in_string) >> 63);
    m.structural = m.raw.structural & ~in_string;
    m.scalar = ~(in_string | m.raw.whitespace | m.raw.structural | m.quote);
    const std::uint64_t scalar_start = m.scalar & ~(m.scalar << 1 | carry.scalar);
    carry.scalar = m.scalar >> 63;
    if (const std::uint64_t control = m.raw.control & in_string; control != 0) {
        bad_from = std::min(bad_from, pos + static_cast<std::size_t>(std::countr_zero(control)));
    }
    m.tokens = m.structural | m.quote | scalar_start;
    if (bad_from != SIZE_MAX) m.tokens &= (std::uint64_t(1) << (bad_from - pos)) - 1;
    m.keep = ~(m.raw.whitespace & ~in_string);
    return m;
}

// A block's output: its kept bytes, copied ahead of the checks, the bytes
// to insert among them, and the last commit the block's tokens have made.
struct BlockOutput {
    char* written;
    std::size_t start;  // the output's size before the block
    std::size_t copied;
    std::uint64_t keep;
    std::size_t inserted = 0;
    int commit_end = -1;  // the block's bytes the commit covers; -1: none in this block
    Commit commit_kind = Commit::Members;
    std::size_t commit_inserted = 0;

    std::size_t copied_before(std::uint64_t below) const {
        return static_cast<std::size_t>(std::popcount(keep & below));
    }
    // The pass stands at a commit just before the block's byte `at`.
    void commit(unsigned at, Commit kind) {
        commit_end = static_cast<int>(at);
        commit_kind = kind;
        commit_inserted = inserted;
    }
    void insert(Insertion* insertions, std::uint64_t before, char byte) {
        insertions[inserted++] = {copied_before(before), byte};
    }
};

// Copies everything of the block but whitespace outside strings; an
// exponent's 'E' (the only 'E' strict JSON has outside strings but in keys
// without quotes, which put theirs back) becomes 'e'.
template <class Kernel>
CORVANE_ALWAYS_INLINE BlockOutput copy_block(OutputBuffer& out, const std::uint8_t* block, const BlockMasks& m) {
    static_assert(BLOCK + MAX_INSERTIONS + BLOCK <= STRICT_OUTPUT_ROOM);
    BlockOutput b;
    b.start = out.size();
    b.written = out.room(STRICT_OUTPUT_ROOM);
    b.keep = m.keep;
    b.copied = Kernel::compress(block, m.keep, b.written);
    for (std::uint64_t marker = m.raw.upper_e & m.scalar; marker != 0; marker &= marker - 1) {
        b.written[b.copied_before((marker & (~marker + 1)) - 1)] = 'e';
    }
    return b;
}

// Puts the insertions in place: the copied bytes after the first go back
// from a copy of the block's output, a whole block at a time (the output
// has the room), each piece after its insertion. Then the block's commit,
// if it made one, becomes the last.
CORVANE_ALWAYS_INLINE void finish_block(OutputBuffer& out, const BlockOutput& b, const Insertion* insertions,
                                        std::size_t pos, LastCommit& last) {
    if (b.inserted != 0) {
        char copy[2 * BLOCK];  // its second half only pads the whole-block copies
        std::memcpy(copy, b.written, BLOCK);
        for (std::size_t k = 0; k < b.inserted; ++k) {
            const std::size_t at = insertions[k].at;
            b.written[at + k] = insertions[k].byte;
            std::memcpy(b.written + at + k + 1, copy + at, BLOCK);
        }
    }
    out.advance(b.copied + b.inserted);
    if (b.commit_end >= 0) {
        const std::uint64_t below =
            b.commit_end == static_cast<int>(BLOCK) ? ~std::uint64_t(0) : (std::uint64_t(1) << b.commit_end) - 1;
        last = {pos + static_cast<std::size_t>(b.commit_end), b.start + b.commit_inserted + b.copied_before(below),
                b.commit_kind};
    }
}

// Where the number or word at the block's byte `i` ends (BLOCK: not in this block).
CORVANE_ALWAYS_INLINE unsigned scalar_end(const BlockMasks& m, unsigned i) {
    return i + static_cast<unsigned>(std::countr_zero(~(m.scalar >> i)));
}

// Whether the number or word at the block's byte `i` is one of strict JSON.
CORVANE_ALWAYS_INLINE bool is_strict_scalar_at(const std::uint8_t* block, const BlockMasks& m, unsigned i,
                                               const std::uint8_t* data, std::size_t pos, std::size_t end) {
    const unsigned stop = scalar_end(m, i);
    return stop < BLOCK ? is_strict_scalar_in_block(block, i, stop, m.raw.digit)
                        : is_strict_scalar_in_input(data, pos + i, end);
}

// A string opens at the block's byte `i`. When it closes in this block, its
// closing quote is taken off the tokens (it is passed over here), and the
// grammar goes on `after` it; otherwise it stays `inside`.
CORVANE_ALWAYS_INLINE Expect open_string(const BlockMasks& m, unsigned i, std::uint64_t& tokens, Expect inside,
                                         Expect after) {
    const std::uint64_t later = m.quote & ~(((std::uint64_t(2) << i) - 1));
    if (later == 0) return inside;
    tokens &= ~(later & (~later + 1));
    return after;
}

// A key without quotes at the block's byte `i` is written as it stands, in
// quotes, its 'E's kept: when it starts as a key may, ends in the block, and
// holds nothing the general rules would end it at or escape (a quote, a '/',
// a backslash, a control byte). False, with nothing written, otherwise.
CORVANE_ALWAYS_INLINE bool quote_unquoted_key(const BlockMasks& m, BlockOutput& b, Insertion* insertions,
                                              unsigned i, std::uint8_t byte) {
    const unsigned stop = scalar_end(m, i);
    if (stop >= BLOCK || !is_key_start(byte)) return false;
    const std::uint64_t below = (std::uint64_t(1) << i) - 1;
    const std::uint64_t key = ((std::uint64_t(1) << stop) - 1) & ~below;
    if (((m.raw.control | m.raw.backslash | m.raw.word_stop) & key) != 0) return false;
    for (std::uint64_t marker = m.raw.upper_e & key; marker != 0; marker &= marker - 1) {
        b.written[b.copied_before((marker & (~marker + 1)) - 1)] = 'E';
    }
    b.insert(insertions, below, '"');
    b.insert(insertions, key | below, '"');
    return true;
}

// An array or object opens one deeper; the grammar expects its first
// element or key.
CORVANE_ALWAYS_INLINE Expect open_container(std::array<bool, MAX_DEPTH>& is_object, std::uint32_t& depth,
                                            bool& in_object, bool object) {
    in_object = object;
    is_object[depth++] = object;
    return object ? Expect::FirstKey : Expect::FirstElement;
}

// The stretch itself, flattened into one function per kernel (below) so
// that each is compiled for its kernel's instruction set. Block by block:
// read the masks, copy, check the tokens in order against the grammar, and
// keep the last commit. The grammar's `switch (expect)` stays in this one
// loop: split across functions, the compiler no longer threads it from one
// token to the next, which costs instructions on every token.
template <class Kernel>
StrictStop run_stretch(const std::uint8_t* data, std::size_t pos, std::size_t end, OutputBuffer& out,
                       std::array<bool, MAX_DEPTH>& is_object, std::uint32_t depth) {
    const std::uint32_t entry_depth = depth;
    bool in_object = is_object[depth - 1];
    Expect expect = in_object ? Expect::FirstKey : Expect::FirstElement;
    LastCommit last{pos, out.size(), Commit::Opened};
    // The first byte known not to be strict: a control byte or a backslash
    // that is no escape of JSON's, inside a string the tokens have not
    // reached yet. No commit goes past it.
    std::size_t bad_from = SIZE_MAX;
    Carries carry;
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
        const BlockMasks m = read_block<Kernel>(block, data, pos, end, carry, bad_from);
        BlockOutput b = copy_block<Kernel>(out, block, m);
        const auto stop_here = [&] {
            finish_block(out, b, insertions, pos, last);
            return last.stop(depth);
        };
        for (std::uint64_t tokens = m.tokens; tokens != 0; tokens &= tokens - 1) {
            const unsigned i = static_cast<unsigned>(std::countr_zero(tokens));
            const std::uint8_t byte = block[i];
            const std::uint64_t below = (std::uint64_t(1) << i) - 1;
            switch (expect) {
                case Expect::FirstElement:
                    if (byte == ']') goto close;
                    [[fallthrough]];
                case Expect::Element:
                case Expect::MemberValue:
                value:
                    if (byte == '"') {
                        expect = open_string(m, i, tokens, Expect::StringEnd, Expect::AfterValue);
                    } else if (byte == '[' || byte == '{') {
                        if (!may_open_container(depth)) return stop_here();  // the general pass refuses it
                        // One path per kind, on which the next token's case is known.
                        expect = byte == '[' ? open_container(is_object, depth, in_object, false)
                                             : open_container(is_object, depth, in_object, true);
                        b.commit(i + 1, Commit::Opened);
                    } else if (((m.structural >> i) & 1) || !is_strict_scalar_at(block, m, i, data, pos, end)) {
                        return stop_here();
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
                        expect = open_string(m, i, tokens, Expect::KeyEnd, Expect::Colon);
                    } else if (quote_unquoted_key(m, b, insertions, i, byte)) {
                        expect = Expect::Colon;
                    } else {
                        return stop_here();
                    }
                    continue;
                case Expect::KeyEnd:
                    expect = Expect::Colon;
                    continue;
                case Expect::Colon:
                    if (byte != ':') return stop_here();
                    expect = Expect::MemberValue;
                    b.commit(i + 1, Commit::Value);
                    continue;
                case Expect::AfterValue:
                    // A ',' commits before it: the general pass drops it, and
                    // writes its own before the next element.
                    if (byte == ',') {
                        expect = in_object ? Expect::Key : Expect::Element;
                        b.commit(i, Commit::Members);
                        continue;
                    }
                    if (byte == (in_object ? '}' : ']')) goto close;
                    if (byte == ':' || byte == ']' || byte == '}') return stop_here();
                    // The next element or key follows with its comma
                    // missing: the general pass writes one, and so does this.
                    if (!in_object || byte == '"') {
                        b.commit(i, Commit::Members);
                        b.insert(insertions, below, ',');
                        if (!in_object) goto value;
                        expect = open_string(m, i, tokens, Expect::KeyEnd, Expect::Colon);
                        continue;
                    }
                    // A key without quotes: no commit before it, for after
                    // a string the general pass decides on the string's end
                    // and this key together (and refuses without a ':').
                    b.insert(insertions, below, ',');
                    if (!quote_unquoted_key(m, b, insertions, i, byte)) return stop_here();
                    expect = Expect::Colon;
                    continue;
            }
        close:
            --depth;
            if (depth < entry_depth) {
                b.commit(i + 1, Commit::Written);
                return stop_here();
            }
            in_object = is_object[depth - 1];
            expect = Expect::AfterValue;
            b.commit(i + 1, Commit::Members);
        }
        finish_block(out, b, insertions, pos, last);
        // No commit can pass a byte that is not strict; and a stretch that
        // has not committed for long (an unclosed string) gives back no more
        // than this much work to the general pass.
        if (bad_from != SIZE_MAX || last.pos + MAX_UNCOMMITTED < pos) break;
    }
    return last.stop(depth);
}

// One entry per kernel, compiled with the attributes of its instruction set,
// each on a cache line of its own (see platform.hpp).
CORVANE_CACHE_LINE_ALIGNED CORVANE_FLATTEN CORVANE_NOINLINE StrictStop scalar_stretch(const std::uint8_t* data, std::size_t pos,
                                                           std::size_t end, OutputBuffer& out,
                                                           std::array<bool, MAX_DEPTH>& is_object,
                                                           std::uint32_t depth) {
    return run_stretch<ScalarKernel>(data, pos, end, out, is_object, depth);
}
#define CORVANE_STRETCH_ENTRY(Name, Kernel, Target)                                                          \
    Target CORVANE_CACHE_LINE_ALIGNED CORVANE_FLATTEN CORVANE_NOINLINE StrictStop Name##_stretch(                                      \
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
