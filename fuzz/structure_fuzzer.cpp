// Structure-aware target: valid JSON documents, cut and spliced, then damaged
// the way hand-edited or generated JSON is (dropped commas, quotes and
// brackets, comments, cut-offs, prose, fences, inner quotes).
//
// An input is either a plain document (how seeds start: any JSON file) or
//     0xFF, P, P bytes of damage program, document
// 0xFF never occurs in UTF-8, so the two forms cannot be confused. Each damage
// step is three program bytes: an operation with a variant, and a 16-bit
// position scaled to the document's length. libFuzzer mutates the program
// mostly, and splices documents from two inputs in crossover, so documents
// stay close to real JSON while the damage explores.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include "checks.hpp"

namespace {

constexpr unsigned char PROGRAM_MARK = 0xFF;
constexpr std::size_t STEP_BYTES = 3;
constexpr std::size_t MAX_PROGRAM = 255;

struct FuzzInput {
    std::string program;
    std::string document;
};

FuzzInput split_input(const std::uint8_t* data, std::size_t size) {
    FuzzInput in;
    const char* bytes = reinterpret_cast<const char*>(data);
    if (size >= 2 && data[0] == PROGRAM_MARK) {
        std::size_t length = std::min<std::size_t>(data[1], size - 2);
        in.program.assign(bytes + 2, length);
        in.document.assign(bytes + 2 + length, size - 2 - length);
    } else {
        in.document.assign(bytes, size);
    }
    return in;
}

std::size_t find_any(const std::string& text, std::size_t from, std::string_view bytes) {
    return text.find_first_of(bytes.data(), from, bytes.size());
}

void erase_at(std::string& text, std::size_t at) {
    if (at < text.size()) text.erase(at, 1);
}

constexpr std::string_view STRAY_BYTES = "\"',:\\}]{[#; \n/*\x0b";
constexpr std::string_view COMMENTS[] = {"/* note */", "// note\n", "/*", "//", "/* { [ \" */"};
constexpr std::string_view PREFIXES[] = {"Here is the JSON: ", "```json\n", "\xEF\xBB\xBF",
                                         "Sure! ", "'quoted' ", "\"quoted\" ", "x /* [ */ "};
constexpr std::string_view SUFFIXES[] = {"\n```", " trailing", " [2]", "\n```\n\nmore", "}", "]"};
constexpr std::string_view INSERTS[] = {"\"hi\" ", " x: ", "\\", "\\u12", "\"\" ", " b", "'",
                                        ": :", "=>", "\\u", "\xC3\xA9", "\xF0\x9F\x98\x80"};

// Rewrites the scalar that begins at the next letter or digit from `at`.
void damage_scalar(std::string& text, std::size_t at, unsigned variant) {
    std::size_t p = text.find_first_of("tfn0123456789", at);
    if (p == std::string::npos) return;
    switch (variant % 6) {
        case 0:
            if (text.compare(p, 4, "true") == 0) text[p] = 'T';
            break;
        case 1:
            if (text.compare(p, 4, "null") == 0) text.replace(p, 4, "None");
            break;
        case 2:
            if (text.compare(p, 5, "false") == 0) text[p] = 'F';
            break;
        case 3:
            if (text[p] >= '0' && text[p] <= '9') text.insert(p, "+");
            break;
        case 4: {
            std::size_t dot = text.find('.', p);
            if (dot != std::string::npos && dot > 0) text.erase(dot - 1, 1);  // ".5"
            break;
        }
        default: {
            std::size_t dot = text.find('.', p);
            if (dot != std::string::npos) text.erase(dot + 1, 1);  // "5."
            break;
        }
    }
}

// Applies one three-byte step of the damage program.
void apply_step(std::string& text, const unsigned char* step) {
    const unsigned op = step[0] % 16;
    const unsigned variant = step[0] / 16;
    const std::size_t at = text.empty()
                               ? 0
                               : static_cast<std::size_t>((step[1] << 8 | step[2]) *
                                                          text.size() / 65536);
    switch (op) {
        case 0: erase_at(text, text.find(',', at)); break;
        case 1: erase_at(text, text.find('"', at)); break;
        case 2: erase_at(text, find_any(text, at, "[]{}")); break;
        case 3: erase_at(text, text.find(':', at)); break;
        case 4: text.insert(at, COMMENTS[variant % std::size(COMMENTS)]); break;
        case 5: text.resize(at); break;
        case 6: {
            std::size_t q = text.find('"', at);
            if (q != std::string::npos) text[q] = '\'';
            break;
        }
        case 7: text.insert(at, 1, STRAY_BYTES[variant % STRAY_BYTES.size()]); break;
        case 8: {  // splice out a stretch
            std::size_t length = (variant + 1) * (variant + 1) * 4;
            text.erase(at, std::min(length, text.size() - at));
            break;
        }
        case 9: {  // repeat a stretch in place
            std::size_t length = std::min<std::size_t>((variant + 1) * 8, text.size() - at);
            if (text.size() < (1u << 20)) text.insert(at, text.substr(at, length));
            break;
        }
        case 10: damage_scalar(text, at, variant); break;
        case 11: {  // unquote a string: drop its quotes
            std::size_t open = text.find('"', at);
            if (open == std::string::npos) break;
            std::size_t close = text.find('"', open + 1);
            if (close != std::string::npos) text.erase(close, 1);
            text.erase(open, 1);
            break;
        }
        case 12: text.insert(0, PREFIXES[variant % std::size(PREFIXES)]); break;
        case 13: text.append(SUFFIXES[variant % std::size(SUFFIXES)]); break;
        case 14: text.insert(at, INSERTS[variant % std::size(INSERTS)]); break;
        default: {  // open a run of containers
            if (text.size() < (1u << 20)) text.insert(at, std::string(variant * 9 + 1, "[{"[variant & 1]));
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in = split_input(data, size);
    // The untouched document first: valid JSON must keep its text.
    corvane::fuzz::check_repair(in.document);
    if (in.program.size() < STEP_BYTES) return 0;
    std::string text = in.document;
    const auto* program = reinterpret_cast<const unsigned char*>(in.program.data());
    for (std::size_t i = 0; i + STEP_BYTES <= in.program.size(); i += STEP_BYTES) {
        apply_step(text, program + i);
    }
    corvane::fuzz::check_repair(text);
    return 0;
}

#ifdef CORVANE_LIBFUZZER

// Writes the input form back; cuts the document to fit `max_size`.
static std::size_t join_input(const FuzzInput& in, std::uint8_t* out, std::size_t max_size) {
    if (max_size < 2) return 0;
    std::size_t program = std::min({in.program.size(), MAX_PROGRAM, max_size - 2});
    std::size_t document = std::min(in.document.size(), max_size - 2 - program);
    out[0] = PROGRAM_MARK;
    out[1] = static_cast<std::uint8_t>(program);
    std::memcpy(out + 2, in.program.data(), program);
    std::memcpy(out + 2 + program, in.document.data(), document);
    return 2 + program + document;
}

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned int seed) {
    FuzzInput in = split_input(data, size);
    std::minstd_rand rng(seed);
    switch (rng() % 8) {
        case 0:
        case 1:
        case 2: {  // reshape the program
            std::size_t used = in.program.size();
            in.program.resize(std::min<std::size_t>(used + 12, MAX_PROGRAM));
            std::size_t n = LLVMFuzzerMutate(reinterpret_cast<std::uint8_t*>(in.program.data()),
                                             used, in.program.size());
            in.program.resize(n);
            break;
        }
        case 3:
        case 4: {  // one more step of damage
            if (in.program.size() + STEP_BYTES <= MAX_PROGRAM) {
                for (std::size_t k = 0; k < STEP_BYTES; ++k) in.program += static_cast<char>(rng());
            }
            break;
        }
        case 5: {  // cut the document to a window
            if (in.document.size() > 1) {
                std::size_t a = rng() % in.document.size();
                std::size_t b = a + 1 + rng() % (in.document.size() - a);
                in.document = in.document.substr(a, b - a);
            }
            break;
        }
        case 6: {  // raw byte damage to the document
            std::size_t used = in.document.size();
            in.document.resize(used + 16);
            std::size_t n = LLVMFuzzerMutate(reinterpret_cast<std::uint8_t*>(in.document.data()),
                                             used, in.document.size());
            in.document.resize(n);
            break;
        }
        default:  // drop a step
            if (in.program.size() >= STEP_BYTES) in.program.resize(in.program.size() - STEP_BYTES);
            break;
    }
    return join_input(in, data, max_size);
}

extern "C" std::size_t LLVMFuzzerCustomCrossOver(const std::uint8_t* data1, std::size_t size1,
                                                 const std::uint8_t* data2, std::size_t size2,
                                                 std::uint8_t* out, std::size_t max_out_size,
                                                 unsigned int seed) {
    FuzzInput first = split_input(data1, size1);
    FuzzInput second = split_input(data2, size2);
    std::minstd_rand rng(seed);
    // A head of one document on the tail of the other.
    std::size_t cut1 = first.document.empty() ? 0 : rng() % (first.document.size() + 1);
    std::size_t cut2 = second.document.empty() ? 0 : rng() % (second.document.size() + 1);
    FuzzInput child;
    child.program = rng() % 2 ? first.program : second.program;
    child.document = first.document.substr(0, cut1) + second.document.substr(cut2);
    return join_input(child, out, max_out_size);
}

#endif
