// Reading a whole file, for every front-end that checks or measures the
// engine on files: the judges (C++ tests, fuzz replays) and the engine
// benchmark, which links the engine but not the judges.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace corvane::fuzz {

// The bytes of a file, or nothing when it cannot be read.
inline std::optional<std::string> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace corvane::fuzz
