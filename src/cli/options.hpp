// The command line of `corvane`: what the user asked for, parsed and checked
// for contradictions before any file is touched.
#pragma once

#include "parser/repair.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane::cli {

// What `--lines` writes for a record the engine refuses.
enum class OnError { Fail, Skip, Null };

struct Options {
    std::vector<std::string> inputs;   // "-" is standard input; empty means "-"
    std::optional<std::string> output; // -o FILE
    bool in_place = false;
    std::optional<unsigned> indent;
    bool lines = false;
    OnError on_error = OnError::Fail;
    bool check = false;
    bool explain = false;              // --explain: what the repair did, not its text
    bool progress = false;
    unsigned jobs = 0;                 // --lines threads; 0 means one per core
    Profile profile = Profile::Default; // --profile: the rules to repair by
    bool help = false;
    bool version = false;
};

// A command line that cannot be run; the message names the offending part.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses the arguments after the program name.
Options parse_arguments(const std::vector<std::string>& arguments);

// The text printed by --help.
const char* help_text() noexcept;

}  // namespace corvane::cli
