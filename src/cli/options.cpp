#include "cli/options.hpp"

#include <charconv>
#include <string_view>

namespace corvane::cli {

namespace {

constexpr unsigned MAX_INDENT = 64;
constexpr unsigned MAX_JOBS = 1024;

unsigned parse_count(std::string_view option, std::string_view text, unsigned low, unsigned high) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        throw UsageError("invalid value '" + std::string(text) + "' for " + std::string(option) +
                         ": expected a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    }
    return value;
}

OnError parse_on_error(std::string_view text) {
    if (text == "fail") return OnError::Fail;
    if (text == "skip") return OnError::Skip;
    if (text == "null") return OnError::Null;
    throw UsageError("invalid value '" + std::string(text) + "' for --on-error: expected skip, null or fail");
}

Profile parse_profile(std::string_view text) {
    if (text == "default") return Profile::Default;
    if (text == "model") return Profile::Model;
    throw UsageError("invalid value '" + std::string(text) + "' for --profile: expected default or model");
}

void check_combinations(const Options& options, bool on_error_given) {
    if (options.in_place && options.output) throw UsageError("--in-place and -o cannot be used together");
    if (options.check && (options.in_place || options.output))
        throw UsageError("--check writes nothing: it cannot be used with --in-place or -o");
    if (options.check && options.indent) throw UsageError("--check cannot be used with --indent");
    if (options.lines && options.indent)
        throw UsageError("--indent cannot be used with --lines: each record must stay on one line");
    if (options.explain) {
        if (options.in_place || options.output)
            throw UsageError("--explain writes no repaired text: it cannot be used with --in-place or -o");
        if (options.indent) throw UsageError("--explain cannot be used with --indent");
        if (options.check) throw UsageError("--explain cannot be used with --check: it exits as --check does");
        if (on_error_given) throw UsageError("--explain writes no records: it cannot be used with --on-error");
        // The report follows the default rules; explaining them for a
        // model-profile repair would describe a different output.
        if (options.profile == Profile::Model) {
            throw UsageError("--explain reports the default rules: it cannot be used with --profile model");
        }
    }
    if (on_error_given && !options.lines) throw UsageError("--on-error only applies to --lines");
    if (options.in_place) {
        if (options.inputs.empty()) throw UsageError("--in-place needs at least one file name");
        for (const auto& input : options.inputs) {
            if (input == "-") throw UsageError("--in-place cannot replace standard input");
        }
    }
}

}  // namespace

Options parse_arguments(const std::vector<std::string>& arguments) {
    Options options;
    bool on_error_given = false;
    bool only_files = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (only_files || argument == "-" || argument.empty() || argument[0] != '-') {
            options.inputs.emplace_back(argument);
            continue;
        }
        if (argument == "--") {
            only_files = true;
            continue;
        }
        // Split "--name=value"; short options take "-oVALUE" or "-o VALUE".
        std::string_view name = argument;
        std::optional<std::string_view> inline_value;
        if (argument.starts_with("--")) {
            if (const auto equals = argument.find('='); equals != std::string_view::npos) {
                name = argument.substr(0, equals);
                inline_value = argument.substr(equals + 1);
            }
        } else if (argument.size() > 2) {
            name = argument.substr(0, 2);
            inline_value = argument.substr(2);
        }
        auto value = [&]() -> std::string_view {
            if (inline_value) return *inline_value;
            if (i + 1 >= arguments.size()) throw UsageError("option " + std::string(name) + " needs a value");
            return arguments[++i];
        };
        auto no_value = [&] {
            if (inline_value) throw UsageError("option " + std::string(name) + " takes no value");
        };

        if (name == "-h" || name == "--help") {
            no_value();
            options.help = true;
        } else if (name == "-V" || name == "--version") {
            no_value();
            options.version = true;
        } else if (name == "-o" || name == "--output") {
            options.output = std::string(value());
            if (options.output->empty()) throw UsageError("option -o needs a file name");
        } else if (name == "-i" || name == "--in-place") {
            no_value();
            options.in_place = true;
        } else if (name == "--indent") {
            options.indent = parse_count("--indent", value(), 0, MAX_INDENT);
        } else if (name == "--lines") {
            no_value();
            options.lines = true;
        } else if (name == "--on-error") {
            options.on_error = parse_on_error(value());
            on_error_given = true;
        } else if (name == "--check") {
            no_value();
            options.check = true;
        } else if (name == "--explain") {
            no_value();
            options.explain = true;
        } else if (name == "--progress") {
            no_value();
            options.progress = true;
        } else if (name == "--profile") {
            options.profile = parse_profile(value());
        } else if (name == "-j" || name == "--jobs") {
            options.jobs = parse_count("--jobs", value(), 1, MAX_JOBS);
        } else {
            throw UsageError("unknown option '" + std::string(argument) + "'");
        }
    }
    if (!options.help && !options.version) check_combinations(options, on_error_given);
    return options;
}

const char* help_text() noexcept {
    return R"(Usage: corvane [OPTION]... [FILE]...
Repair malformed JSON. Each FILE (standard input when there is none, or for
"-") is repaired into valid, compact JSON, written to standard output and
followed by a line feed.

  -o, --output FILE     write to FILE instead of standard output; a regular
                        FILE is replaced as a whole, and only when every input
                        was repaired (it is safe to name an input here); "-",
                        a device or a FIFO is written to as it goes
  -i, --in-place        replace each FILE (a regular file) with its repaired
                        text, atomically; a file that cannot be repaired is
                        left untouched
      --indent N        pretty-print with N spaces per level (0 to 64)
      --profile NAME    the rules to repair by: default, or model for the
                        replies of language models (reasoning blocks,
                        Python and JavaScript literals, curly quotes,
                        barewords, quotes inside strings; see the README)
      --lines           JSON Lines: repair every line as a record of its own
                        and write one repaired record per line, in order;
                        blank lines are skipped
      --on-error MODE   with --lines, what to write for a refused record:
                        fail (default: stop with status 1), skip (write
                        nothing) or null (write null); every refused record
                        is reported on standard error with its line number
  -j, --jobs N          with --lines, repair on N threads (default: one per
                        core); the output does not depend on N
      --check           write nothing; exit with status 0 when every input
                        is valid JSON that repairing leaves unchanged apart
                        from whitespace, else list what would change on
                        standard error and exit with status 1
      --explain         write no repaired text: list each edit the repair
                        makes as FILE:LINE:COLUMN: KIND: 'old' -> 'new'
                        (the column counts characters), then a refusal, a
                        value cut off by the end of the input, a text with
                        no value, and how many characters before and after
                        the value were dropped; exit as --check does. With
                        --lines, each line is explained on its own, under
                        its own line number (on one thread)
      --progress        with --lines, show a progress bar on standard error
                        when it is a terminal
  -h, --help            show this help and exit
  -V, --version         show the version and exit

Exit status: 0 on success; 1 when an input was refused (nesting deeper than
128 containers, or an ambiguous quote in an object value) or, with --check
or --explain, would change; 2 on a usage error, an unreadable or unwritable
file, input that is not valid UTF-8, or too little memory; 3 on an internal
error of corvane (a bug: please report it).
)";
}

}  // namespace corvane::cli
