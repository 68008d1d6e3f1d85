// The byte rules every scan shares (whitespace, string content), and the
// byte-run scanners in their plain scalar form: the reference that the
// vector forms of the platform layer (platform/platform.hpp: FastScan) must
// match position for position. The engine is instantiated with either (see
// parser/reference.hpp). Nothing here depends on the compiler or processor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace corvane {

// The bytes the engine treats as whitespace: tab, line feed, form feed,
// carriage return and space. 0x0B (vertical tab) is not one. Every
// whitespace test (the scalar one, the vector one, the command's) is made
// from this list.
inline constexpr std::uint8_t WHITESPACE_BYTES[] = {'\t', '\n', '\f', '\r', ' '};

namespace detail {
// Bit b - 9 set for each whitespace byte b: all of them lie in 9..32.
constexpr std::uint32_t whitespace_mask() {
    std::uint32_t mask = 0;
    for (const std::uint8_t byte : WHITESPACE_BYTES) mask |= 1u << (byte - 9u);
    return mask;
}
}  // namespace detail

// One range check and one bit test: byte - 9 indexes the mask above.
inline constexpr bool is_whitespace(std::uint8_t byte) {
    const unsigned index = static_cast<unsigned>(byte) - 9u;
    return index <= 23u && ((detail::whitespace_mask() >> index) & 1u) != 0;
}

// A byte that ends a run of plain string content: a control byte, '"' or
// '\\'. The opening quote of a single-quoted string is checked separately.
inline constexpr bool is_string_special(std::uint8_t byte) {
    return byte < 0x20 || byte == '"' || byte == '\\';
}

// The reference scanners: one byte at a time.
struct ScalarScan {
    // Index of the first byte at or after `i` that is not whitespace, or `end`.
    static std::size_t skip_whitespace_run(const std::uint8_t* data, std::size_t i, std::size_t end) {
        while (i < end && is_whitespace(data[i])) ++i;
        return i;
    }
    // Index of the first byte at or after `i` that is string-special or equal
    // to `quote`, or `end`.
    static std::size_t find_string_special(const std::uint8_t* data, std::size_t i, std::size_t end,
                                           std::uint8_t quote) {
        while (i < end && !is_string_special(data[i]) && data[i] != quote) ++i;
        return i;
    }
    // Index of the first byte at or after `i` that is not an ASCII digit, or `end`.
    static std::size_t skip_digits(const std::uint8_t* data, std::size_t i, std::size_t end) {
        while (i < end && data[i] >= '0' && data[i] <= '9') ++i;
        return i;
    }
    // Index of the first byte at or after `i` with the high bit set, or `end`.
    static std::size_t skip_ascii(const std::uint8_t* data, std::size_t i, std::size_t end) {
        while (i < end && data[i] < 0x80) ++i;
        return i;
    }
    // Appends the plain run that starts at `i` to `out` and returns where it
    // stops (as find_string_special).
    template <class Output>
    static std::size_t copy_string_run(const std::uint8_t* data, std::size_t i, std::size_t end,
                                       std::uint8_t quote, Output& out) {
        const std::size_t stop = find_string_special(data, i, end, quote);
        out.append(data + i, stop - i);
        return stop;
    }
    // Whether numbers in strict JSON form are copied without the general rewrite.
    static constexpr bool NUMBER_FAST_PATH = false;
    // The reference engine's scanners: every check it makes is scalar.
    static constexpr bool REFERENCE = true;
};

// The scanners that vector forms hand long runs to on a target without
// wider vectors: none, so nothing is ever handed over.
struct NoWideScan : ScalarScan {
    static constexpr std::size_t LANES = 32;
    static constexpr bool usable() { return false; }
};

namespace detail {
// A sixteen-entry table whose entry b & 15 is b exactly for the whitespace
// bytes (each has a low nibble of its own) and 0x80 elsewhere, which no
// byte below 0x80 equals; the lookup gives 0 for bytes of 0x80 and above.
// So lookup(table, block) == block finds whitespace in two instructions.
constexpr std::array<std::uint8_t, 16> whitespace_table() {
    std::array<std::uint8_t, 16> table{};
    for (auto& entry : table) entry = 0x80;
    for (const std::uint8_t byte : WHITESPACE_BYTES) {
        if (byte >= 0x80 || table[byte & 15] != 0x80) throw "whitespace bytes must differ in their low nibble";
        table[byte & 15] = byte;
    }
    return table;
}
inline constexpr std::array<std::uint8_t, 16> WHITESPACE_TABLE = whitespace_table();
}  // namespace detail

}  // namespace corvane
