#include "cli/io.hpp"

#include <cerrno>
#include <cstring>
#include <utility>

namespace corvane::cli {

namespace {

constexpr std::size_t OUTPUT_BUFFER_BYTES = 1 << 16;
constexpr std::size_t STREAM_BLOCK_BYTES = 1 << 16;

}  // namespace

IoError::IoError(const std::string& path, const std::string& action, const std::string& reason, bool fatal)
    : std::runtime_error(path + ": " + action + ": " + reason), path_(path), fatal_(fatal) {}

InputFile::InputFile(const std::string& path, bool to_replace) {
    if (path == "-") {
        fd_ = platform::STDIN;
        name_ = std::string(STDIN_NAME);
        return;
    }
    name_ = path;
    const platform::PathKind kind = platform::kind_of(path);
    if (to_replace && kind != platform::PathKind::Regular && kind != platform::PathKind::Missing)
        throw IoError(name_, "cannot edit in place", "not a regular file");
    // Some systems open a directory and fail the read, others fail the open:
    // the report is the same everywhere.
    if (kind == platform::PathKind::Directory) throw IoError(name_, "cannot read", std::strerror(EISDIR));
    fd_ = platform::open_for_reading(path);
    if (fd_ < 0) throw IoError(name_, "cannot open", platform::last_error());
    owned_ = true;
    known_size_ = platform::regular_file_size(fd_).value_or(0);
}

InputFile::~InputFile() { close(); }

void InputFile::close() noexcept {
    if (owned_) platform::close(fd_);
    owned_ = false;
    at_end_ = true;
}

std::size_t InputFile::read_into(char* data, std::size_t limit) {
    if (at_end_) return 0;
    const std::int64_t got = platform::read(fd_, data, limit);
    if (got < 0) throw IoError(name_, "cannot read", platform::last_error());
    at_end_ = got == 0;
    return static_cast<std::size_t>(got);
}

std::size_t InputFile::read_some(std::string& buffer, std::size_t limit) {
    const std::size_t old_size = buffer.size();
    buffer.resize(old_size + limit);
    std::size_t got = 0;
    try {
        got = read_into(buffer.data() + old_size, limit);
    } catch (...) {
        buffer.resize(old_size);
        throw;
    }
    buffer.resize(old_size + got);
    return got;
}

std::string InputFile::read_all() {
    std::string text(known_size_, '\0');
    std::size_t filled = 0;
    while (filled < known_size_) {
        const std::size_t got = read_into(text.data() + filled, known_size_ - filled);
        if (got == 0) break;  // the file shrank since it was measured
        filled += got;
    }
    text.resize(filled);
    // Whatever is left (all of a stream, or what a file gained meanwhile).
    // The probe goes to the stack, so that a file that did not grow is not
    // copied into a buffer twice its size only to learn it is at its end.
    char probe[4096];
    const std::size_t extra = read_into(probe, sizeof probe);
    if (extra == 0) return text;
    text.append(probe, extra);
    while (read_some(text, STREAM_BLOCK_BYTES) > 0) {
    }
    return text;
}

OutputSink OutputSink::standard_output() {
    OutputSink sink;
    sink.fd_ = platform::STDOUT;
    sink.name_ = "standard output";
    return sink;
}

OutputSink OutputSink::to(const std::string& path) {
    if (path == "-") return standard_output();
    if (const std::optional<int> stream = platform::standard_stream_named(path)) {
        OutputSink sink;
        sink.fd_ = *stream;
        sink.name_ = path;
        return sink;
    }
    const platform::PathKind kind = platform::kind_of(path);
    if (kind == platform::PathKind::Regular || kind == platform::PathKind::Missing) return replacing(path);
    // Replacing a device or FIFO by a file would break it for everyone; a
    // directory cannot be opened for writing, and the system says why.
    OutputSink sink;
    sink.name_ = path;
    sink.fd_ = platform::open_for_writing(path);
    if (sink.fd_ < 0) throw IoError(path, "cannot open", platform::last_error());
    sink.owns_fd_ = true;
    return sink;
}

OutputSink OutputSink::replacing(const std::string& target) {
    OutputSink sink;
    sink.name_ = target;
    sink.replaces_ = true;
    sink.target_ = platform::follow_links(target);
    if (sink.target_.empty()) throw IoError(target, "cannot follow its links", platform::last_error());
    std::optional<platform::Temporary> temporary = platform::create_temporary_beside(sink.target_);
    if (!temporary) throw IoError(target, "cannot create a temporary file beside it", platform::last_error());
    sink.temporary_ = std::move(*temporary);
    sink.fd_ = sink.temporary_.fd;
    return sink;
}

OutputSink::OutputSink(OutputSink&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      owns_fd_(std::exchange(other.owns_fd_, false)),
      replaces_(other.replaces_),
      name_(std::move(other.name_)),
      target_(std::move(other.target_)),
      temporary_(std::exchange(other.temporary_, {})),
      buffer_(std::move(other.buffer_)),
      fatal_(other.fatal_) {}

OutputSink::~OutputSink() {
    discard();
    if (owns_fd_) platform::close(fd_);
}

void OutputSink::write(std::string_view bytes) {
    if (buffer_.size() + bytes.size() > OUTPUT_BUFFER_BYTES) {
        flush_buffer();
        // A large piece goes out from where it is, without a copy.
        if (bytes.size() > OUTPUT_BUFFER_BYTES) {
            write_out(bytes);
            return;
        }
    }
    buffer_.append(bytes);
}

void OutputSink::write_out(std::string_view bytes) {
    if (!platform::write_all(fd_, bytes.data(), bytes.size())) {
        buffer_.clear();
        throw IoError(name_, "cannot write", platform::last_error(), fatal_);
    }
}

void OutputSink::flush_buffer() {
    write_out(buffer_);
    buffer_.clear();
}

void OutputSink::commit() {
    flush_buffer();
    if (temporary_.path.empty()) return;
    if (!platform::flush_to_disk(fd_)) throw IoError(name_, "cannot write", platform::last_error(), fatal_);
    fd_ = -1;  // replace() closes it, whatever happens
    if (!platform::replace(temporary_, target_)) throw IoError(name_, "cannot replace", platform::last_error(), fatal_);
}

void OutputSink::discard() noexcept {
    buffer_.clear();
    if (temporary_.path.empty()) return;
    platform::discard(temporary_);
    fd_ = -1;
}

}  // namespace corvane::cli
