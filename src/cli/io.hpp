// Files and streams for the command: reading inputs whole or in blocks, a
// buffered output that is either a stream or a file replaced atomically, and
// the one error type that carries a path and the system's reason.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace corvane::cli {

// An I/O failure: what was being done, to which file, and errno's reason.
class IoError : public std::runtime_error {
public:
    IoError(const std::string& path, const std::string& action, int error_number, bool fatal = false);
    const std::string& path() const noexcept { return path_; }
    // True when the run cannot go on (the shared output failed), false when
    // only the current input is lost.
    bool fatal() const noexcept { return fatal_; }

private:
    std::string path_;
    bool fatal_;
};

// The name diagnostics use for an input given as "-" or not given at all.
inline constexpr std::string_view STDIN_NAME = "<stdin>";

// An open input: standard input, or a file opened for reading.
class InputFile {
public:
    // `path` "-" is standard input, which is never closed.
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const std::string& name() const noexcept { return name_; }
    // Size of a regular file, or 0 when the input is a stream.
    std::size_t known_size() const noexcept { return known_size_; }
    // Appends up to `limit` bytes to `buffer`; returns how many (0 at the end,
    // and for every call after that, so a terminal is not asked twice).
    std::size_t read_some(std::string& buffer, std::size_t limit);
    // Reads everything that is left.
    std::string read_all();

private:
    int fd_ = -1;
    bool owned_ = false;
    std::string name_;
    std::size_t known_size_ = 0;
    bool at_end_ = false;
};

// Buffered output to standard output, or to a file that only appears, whole,
// when `commit` is called: the bytes go to a temporary file in the same
// directory, which is flushed to disk and renamed over the target. Without a
// commit the temporary file is removed and the target is left as it was.
class OutputSink {
public:
    static OutputSink standard_output();
    // `target` keeps its mode (and owner where permitted) when it exists;
    // a symbolic link is followed so that the link itself stays in place.
    static OutputSink replacing(const std::string& target);

    // Makes write failures end the whole run (for the one output that every
    // input shares), not just the current input.
    void make_failures_fatal() noexcept { fatal_ = true; }

    OutputSink(OutputSink&& other) noexcept;
    OutputSink& operator=(OutputSink&&) = delete;
    OutputSink(const OutputSink&) = delete;
    ~OutputSink();

    void write(std::string_view bytes);
    // Writes out the buffer (standard output) or finishes the replacement.
    void commit();
    // Gives up a replacement: the target keeps its old contents.
    void discard() noexcept;

private:
    OutputSink() = default;
    void flush_buffer();

    int fd_ = -1;
    std::string name_;       // for messages: "standard output" or the target
    std::string target_;     // resolved target path (replacement only)
    std::string temporary_;  // temporary path while a replacement is open
    std::string buffer_;
    bool fatal_ = false;
};

}  // namespace corvane::cli
