// What the command needs from the operating system, and nothing else: files
// by descriptor, the kind of a path, atomic replacement of a regular file,
// standard streams and interrupts. Everything above this header is the same
// on every system; each system has one implementation file.
//
// Calls that can fail return false or -1 and leave the reason for
// last_error(), as errno does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::cli::platform {

inline constexpr int STDIN = 0;
inline constexpr int STDOUT = 1;
inline constexpr int STDERR = 2;

// The reason for the last failed call on this thread, as the system words it.
std::string last_error();

// The arguments after the program's name, in UTF-8 whatever the system's
// own encoding of its command line.
std::vector<std::string> command_line_arguments(int argc, char** argv);

// Once, before anything is opened: a standard descriptor that is closed is
// opened on the null device, so that no file opened later takes its number
// (and an error report cannot land in an output file); standard streams
// carry bytes untranslated; an interrupt removes the temporary files below.
void prepare_process() noexcept;

enum class PathKind {
    Missing,
    Regular,
    Directory,
    Stream,  // a device, FIFO or socket: written to where it is, never replaced
};

// What `path` names once symbolic links are followed (Missing when it, or the
// end of its links, does not exist).
PathKind kind_of(const std::string& path);

// The standard descriptor that an output name stands for: "-", and the
// system's names for standard output and standard error.
std::optional<int> standard_stream_named(const std::string& path);

// The path that a chain of symbolic links at `path` ends at; the last one
// may not exist yet, so that writing there creates the link's target.
// `path` itself when it is no link. Empty on failure (a loop).
std::string follow_links(const std::string& path);

int open_for_reading(const std::string& path);
// Opens an existing device, FIFO or socket for writing, as shell redirection
// does: no replacement, no truncation.
int open_for_writing(const std::string& path);
// Size of the regular file open at `fd`; nothing for anything else.
std::optional<std::size_t> regular_file_size(int fd);
// Bytes read (0 at the end) or -1; an interrupted call is retried.
std::int64_t read(int fd, void* data, std::size_t size);
// Writes all of the bytes or fails; an interrupted call is retried.
bool write_all(int fd, const void* data, std::size_t size);
void close(int fd) noexcept;
bool is_terminal(int fd) noexcept;

// A new file in the directory of `target` (which has had its links
// followed), open for writing, with the mode and owner that `target` has,
// or the mode a newly created file gets. Until replace() or discard(), an
// interrupt of the process removes it.
struct Temporary {
    int fd = -1;
    std::string path;
};
std::optional<Temporary> create_temporary_beside(const std::string& target);
// Flushes the file's bytes to the disk.
bool flush_to_disk(int fd);
// Closes the temporary file and puts it in place of `target` in one step:
// a reader sees the old file or the new one, never a mixture.
bool replace(Temporary& temporary, const std::string& target);
// Closes and removes the temporary file; `target` stays as it was.
void discard(Temporary& temporary) noexcept;

}  // namespace corvane::cli::platform
