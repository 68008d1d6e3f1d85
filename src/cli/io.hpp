// Files and streams for the command: reading inputs whole or in blocks, a
// buffered output that is either a stream or a file replaced atomically, and
// the one error type that carries a path and the system's reason.
#pragma once

#include "cli/platform.hpp"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace corvane::cli {

// An I/O failure: what was being done, to which file, and the system's reason.
class IoError : public std::runtime_error {
public:
    IoError(const std::string& path, const std::string& action, const std::string& reason, bool fatal = false);
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
    // `path` "-" is standard input, which is never closed. A file that is to
    // be replaced in place must be a regular file: anything else is refused
    // before it is opened (opening a FIFO would wait for a writer).
    explicit InputFile(const std::string& path, bool to_replace = false);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const std::string& name() const noexcept { return name_; }
    // Size of a regular file, or 0 when the input is a stream.
    std::size_t known_size() const noexcept { return known_size_; }
    // Appends up to `limit` bytes to `buffer`; returns how many (0 at the end,
    // and for every call after that, so a terminal is not asked twice).
    std::size_t read_some(std::string& buffer, std::size_t limit);
    // Reads everything that is left. A regular file is read into a buffer of
    // its own size, with no room to spare.
    std::string read_all();
    // Closes the file before it is replaced: some systems refuse to rename
    // over a file that is open.
    void close() noexcept;

private:
    std::size_t read_into(char* data, std::size_t limit);

    int fd_ = -1;
    bool owned_ = false;
    std::string name_;
    std::size_t known_size_ = 0;
    bool at_end_ = false;
};

// Buffered output to a stream (standard output, a device, a FIFO), or to a
// regular file that only appears, whole, when `commit` is called: the bytes
// go to a temporary file in the same directory, which is flushed to disk and
// renamed over the target. Without a commit the temporary file is removed
// and the target is left as it was.
class OutputSink {
public:
    static OutputSink standard_output();
    // Where -o writes: "-" and the system's names of the standard streams are
    // those streams; a device, FIFO or socket is written where it is, as
    // shell redirection does; a regular file, or a new one, is replaced.
    static OutputSink to(const std::string& path);
    // A regular file, replaced. It keeps its mode (and owner where permitted);
    // symbolic links are followed, so the link stays and its target changes
    // (or is created, when the link dangles).
    static OutputSink replacing(const std::string& target);

    // True when the output is a replacement, which only a commit makes visible.
    bool replaces() const noexcept { return replaces_; }

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
    void write_out(std::string_view bytes);

    int fd_ = -1;
    bool owns_fd_ = false;               // a device or FIFO that -o opened
    bool replaces_ = false;
    std::string name_;                   // for messages: "standard output" or the target
    std::string target_;                 // the replaced file, links followed
    platform::Temporary temporary_;      // while a replacement is open
    std::string buffer_;
    bool fatal_ = false;
};

}  // namespace corvane::cli
