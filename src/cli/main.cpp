// corvane: the command-line front-end of the repair engine. Reads files or
// standard input, repairs them (whole, or line by line with --lines) and
// writes, checks or replaces; see help_text() for the options.
#include "cli/explain.hpp"
#include "cli/io.hpp"
#include "cli/lines.hpp"
#include "cli/options.hpp"
#include "cli/progress.hpp"
#include "cli/text.hpp"
#include "parser/repair.hpp"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#ifndef CORVANE_VERSION
#error "CORVANE_VERSION must be defined by the build"
#endif

namespace corvane::cli {

namespace {

constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_TROUBLE = 2;   // usage, I/O and invalid UTF-8
constexpr int EXIT_INTERNAL = 3;  // a broken invariant of the engine: a bug

void print_error(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

void report_invalid_utf8(const std::string& name, std::string_view text, std::size_t offset) {
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
    std::fprintf(stderr, "%s: invalid UTF-8 at line %zu (byte offset %zu)\n", name.c_str(), line, offset);
}

// True when `text` is `repaired` and a line feed: what --in-place would write.
bool is_written_form(std::string_view text, std::string_view repaired) {
    return text.size() == repaired.size() + 1 && text.back() == '\n' && text.substr(0, repaired.size()) == repaired;
}

// Repairs one input as a single JSON document. Returns its exit status.
// Memory: the input and the output at once, and no other copy of either.
int repair_document(InputFile& input, OutputSink* shared_output, const Options& options) {
    std::string text = input.read_all();
    if (const std::size_t bad = find_invalid_utf8(text); bad != text.size()) {
        report_invalid_utf8(input.name(), text, bad);
        return EXIT_TROUBLE;
    }
    RepairResult repaired = repair_text(text.data(), text.size(), options.profile);
    if (!repaired.ok()) {
        const std::string_view message = error_message(repaired.error());
        print_error(input.name() + ": " + std::string(message));
        return EXIT_REFUSED;
    }
    if (options.check) {
        if (equals_ignoring_whitespace(text, repaired.text())) return 0;
        print_error(input.name() + ": would change");
        return EXIT_REFUSED;
    }
    // Only --in-place looks at the input again.
    if (!options.in_place) std::string().swap(text);
    OutputText compact = repaired.take_text();
    std::string indented;
    if (options.indent) {
        indented = reindent(compact.view(), *options.indent);
        compact = OutputText();
    }
    const std::string_view result = options.indent ? std::string_view(indented) : compact.view();
    if (options.in_place) {
        if (is_written_form(text, result)) return 0;  // leave an already repaired file and its times alone
        std::string().swap(text);
        input.close();
        OutputSink replacement = OutputSink::replacing(input.name());
        replacement.write(result);
        replacement.write("\n");
        replacement.commit();
        return 0;
    }
    shared_output->write(result);
    shared_output->write("\n");
    return 0;
}

// --explain: the whole input is read, checked and explained; nothing is
// repaired into the output.
int explain_input(InputFile& input, OutputSink& output, const Options& options) {
    const std::string text = input.read_all();
    if (const std::size_t bad = find_invalid_utf8(text); bad != text.size()) {
        report_invalid_utf8(input.name(), text, bad);
        return EXIT_TROUBLE;
    }
    return explain(input.name(), text, options.lines, output);
}

int repair_lines_of(InputFile& input, OutputSink* shared_output, const Options& options) {
    Progress progress(options.progress, input.known_size());
    if (!options.in_place) return repair_lines(input, options.check ? nullptr : shared_output, options, progress);
    // A refused or invalid line leaves the file as it was.
    OutputSink replacement = OutputSink::replacing(input.name());
    const int status = repair_lines(input, &replacement, options, progress);
    input.close();
    if (status == 0) replacement.commit();
    return status;
}

// Runs one input under the guards that turn its failures into a status.
int process(const std::string& path, OutputSink* shared_output, const Options& options) {
    const std::string name = path == "-" ? std::string(STDIN_NAME) : path;
    try {
        InputFile input(path, options.in_place);
        if (options.explain) return explain_input(input, *shared_output, options);
        return options.lines ? repair_lines_of(input, shared_output, options)
                             : repair_document(input, shared_output, options);
    } catch (const IoError& error) {
        if (error.fatal()) throw;
        print_error(error.what());
        return EXIT_TROUBLE;
    } catch (const std::bad_alloc&) {
        print_error(name + ": out of memory");
        return EXIT_TROUBLE;
    } catch (const InternalFault& fault) {
        print_error("corvane: internal error while repairing " + name + ": " + fault.what() +
                    " (this is a bug in corvane; please report it)");
        return EXIT_INTERNAL;
    }
}

int run(const Options& options) {
    std::vector<std::string> inputs = options.inputs;
    if (inputs.empty()) inputs.emplace_back("-");

    std::optional<OutputSink> shared_output;
    try {
        if (options.output) {
            shared_output.emplace(OutputSink::to(*options.output));
        } else if (!options.in_place && !options.check) {
            shared_output.emplace(OutputSink::standard_output());
        }
        if (shared_output) shared_output->make_failures_fatal();

        int status = 0;
        for (const std::string& path : inputs) {
            status = std::max(status, process(path, shared_output ? &*shared_output : nullptr, options));
            if (status != 0 && options.lines && options.on_error == OnError::Fail && !options.check &&
                !options.explain)
                break;
        }
        if (shared_output) {
            if (status == 0 || !shared_output->replaces()) {
                shared_output->commit();
            } else {
                shared_output->discard();
                print_error("corvane: " + *options.output + " left unchanged because of the errors above");
            }
        }
        return status;
    } catch (const IoError& error) {
        print_error(error.what());
        return EXIT_TROUBLE;
    }
}

}  // namespace

}  // namespace corvane::cli

int main(int argc, char** argv) {
    using namespace corvane::cli;
    platform::prepare_process();
    const std::vector<std::string> arguments = platform::command_line_arguments(argc, argv);
    Options options;
    try {
        options = parse_arguments(arguments);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "corvane: %s\nTry 'corvane --help' for more information.\n", error.what());
        return EXIT_TROUBLE;
    }
    if (options.help) {
        std::fputs(help_text(), stdout);
        return std::fflush(stdout) == 0 ? 0 : EXIT_TROUBLE;
    }
    if (options.version) {
        std::puts("corvane " CORVANE_VERSION);
        return std::fflush(stdout) == 0 ? 0 : EXIT_TROUBLE;
    }
    // Every failure ends here as a status, after the unwinding has removed
    // any temporary file; none may reach std::terminate.
    try {
        return run(options);
    } catch (const std::bad_alloc&) {
        std::fputs("corvane: out of memory\n", stderr);
        return EXIT_TROUBLE;
    } catch (const std::system_error& error) {
        // The system refused a resource (a thread, a lock): not corvane's fault.
        std::fprintf(stderr, "corvane: %s\n", error.what());
        return EXIT_TROUBLE;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "corvane: internal error: %s (this is a bug in corvane; please report it)\n", error.what());
        return EXIT_INTERNAL;
    } catch (...) {
        std::fputs("corvane: internal error (this is a bug in corvane; please report it)\n", stderr);
        return EXIT_INTERNAL;
    }
}
