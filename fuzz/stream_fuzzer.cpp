// The stream against the whole-text repair, cut where the fuzzer says.
//
// An input is either a plain text (how seeds start: any file), cut into
// pieces of 1, 2, ... 7 bytes in turn, or
//     0xFE, N, N piece lengths, text
// with the pieces 1 + each length byte long, the lengths used in turn until
// the text runs out. 0xFE never occurs in UTF-8, so the two forms cannot be
// confused. The checks, under both rule sets: the stream closes with exactly
// repair_text's result or refusal, every snapshot is valid and grows into the
// next and the result.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "checks.hpp"

namespace {

constexpr unsigned char CUTS_MARK = 0xFE;
// Each snapshot is checked in time proportional to the text, so a snapshot
// after every piece is quadratic: beyond this size a text gets 64 snapshots
// spread over its pieces (the pieces themselves stay as small).
constexpr std::size_t SNAPSHOT_EVERY_PIECE_BELOW = 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view lengths;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (size >= 2 && data[0] == CUTS_MARK) {
        const std::size_t count = std::min<std::size_t>(data[1], size - 2);
        lengths = text.substr(2, count);
        text.remove_prefix(2 + count);
    }
    // Text from Python is always valid UTF-8; it is the stream's precondition.
    if (!corvane::fuzz::is_valid_utf8(text)) return 0;

    std::vector<std::size_t> cuts;
    std::size_t at = 0;
    for (std::size_t piece = 0;; ++piece) {
        at += lengths.empty() ? 1 + piece % 7 : 1 + static_cast<unsigned char>(lengths[piece % lengths.size()]);
        if (at >= text.size()) break;
        cuts.push_back(at);
    }
    const std::size_t snapshot_every = text.size() < SNAPSHOT_EVERY_PIECE_BELOW ? 1 : cuts.size() / 64 + 1;
    // Under both rule sets: the model profile's stream has its own pauses.
    // On a large text (the benchmark documents the replay reads) the model
    // profile takes 8 snapshots, not 64: its constructs are short, and the
    // replay stays within the time a unit is given.
    for (const corvane::Profile profile : {corvane::Profile::Default, corvane::Profile::Model}) {
        const bool fewer = profile == corvane::Profile::Model && text.size() >= SNAPSHOT_EVERY_PIECE_BELOW;
        const std::size_t every = fewer ? cuts.size() / 8 + 1 : snapshot_every;
        const std::string broken = corvane::fuzz::stream_violation(text, cuts, every, profile);
        if (!broken.empty()) corvane::fuzz::fail(profile == corvane::Profile::Model ? "model stream" : "stream", text, broken);
    }
    return 0;
}
