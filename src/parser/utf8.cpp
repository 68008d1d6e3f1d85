#include "parser/utf8.hpp"

#include <cstdint>

#include "lexer/scan.hpp"
#include "lexer/utf8_scan.hpp"
#include "platform/platform.hpp"

namespace corvane {

std::size_t find_invalid_utf8(const char* text, std::size_t length) noexcept {
    return find_invalid_sequence<ScalarScan>(reinterpret_cast<const std::uint8_t*>(text), length);
}

bool is_valid_utf8_reference(const char* text, std::size_t length) noexcept {
    return find_invalid_utf8(text, length) == length;
}

}  // namespace corvane
