#include "cli/io.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace corvane::cli {

namespace {

constexpr std::size_t OUTPUT_BUFFER_BYTES = 1 << 16;

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Follows symbolic links so that replacing a linked file rewrites the file
// the link points to and leaves the link alone.
std::string resolve_target(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
    return path;  // does not exist yet: it will be created as named
}

mode_t current_umask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

}  // namespace

IoError::IoError(const std::string& path, const std::string& action, int error_number, bool fatal)
    : std::runtime_error(path + ": " + action + ": " + std::strerror(error_number)), path_(path), fatal_(fatal) {}

InputFile::InputFile(const std::string& path) {
    if (path == "-") {
        fd_ = STDIN_FILENO;
        name_ = std::string(STDIN_NAME);
        return;
    }
    name_ = path;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw IoError(name_, "cannot open", errno);
    owned_ = true;
    struct stat info;
    if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode)) known_size_ = static_cast<std::size_t>(info.st_size);
}

InputFile::~InputFile() {
    if (owned_) ::close(fd_);
}

std::size_t InputFile::read_some(std::string& buffer, std::size_t limit) {
    if (at_end_) return 0;
    const std::size_t old_size = buffer.size();
    buffer.resize(old_size + limit);
    for (;;) {
        const ssize_t got = ::read(fd_, buffer.data() + old_size, limit);
        if (got >= 0) {
            buffer.resize(old_size + static_cast<std::size_t>(got));
            at_end_ = got == 0;
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            const int saved = errno;
            buffer.resize(old_size);
            throw IoError(name_, "cannot read", saved);
        }
    }
}

std::string InputFile::read_all() {
    std::string text;
    text.reserve(known_size_ + 1);
    const std::size_t block = std::max<std::size_t>(known_size_ + 1, 1 << 16);
    while (read_some(text, block) > 0) {
    }
    return text;
}

OutputSink OutputSink::standard_output() {
    OutputSink sink;
    sink.fd_ = STDOUT_FILENO;
    sink.name_ = "standard output";
    return sink;
}

OutputSink OutputSink::replacing(const std::string& target) {
    OutputSink sink;
    sink.name_ = target;
    sink.target_ = resolve_target(target);
    std::string pattern = directory_of(sink.target_) + "/.corvane-XXXXXX";
    sink.fd_ = ::mkstemp(pattern.data());
    if (sink.fd_ < 0) throw IoError(target, "cannot create a temporary file beside it", errno);
    sink.temporary_ = pattern;
    // mkstemp makes the file private; give it the target's mode, or the mode
    // a newly created file would get.
    struct stat info;
    if (::stat(sink.target_.c_str(), &info) == 0) {
        ::fchmod(sink.fd_, info.st_mode & 07777);
        if (::fchown(sink.fd_, info.st_uid, info.st_gid) != 0) {
            // Only the owner's mode matters to an unprivileged user.
        }
    } else {
        ::fchmod(sink.fd_, 0666 & ~current_umask());
    }
    return sink;
}

OutputSink::OutputSink(OutputSink&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      name_(std::move(other.name_)),
      target_(std::move(other.target_)),
      temporary_(std::exchange(other.temporary_, {})),
      buffer_(std::move(other.buffer_)),
      fatal_(other.fatal_) {}

OutputSink::~OutputSink() {
    if (!temporary_.empty()) discard();
}

void OutputSink::write(std::string_view bytes) {
    if (buffer_.size() + bytes.size() > OUTPUT_BUFFER_BYTES) {
        flush_buffer();
        if (bytes.size() > OUTPUT_BUFFER_BYTES) {
            buffer_.assign(bytes);
            flush_buffer();
            return;
        }
    }
    buffer_.append(bytes);
}

void OutputSink::flush_buffer() {
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t wrote = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            const int saved = errno;
            buffer_.clear();
            throw IoError(name_, "cannot write", saved, fatal_);
        }
        done += static_cast<std::size_t>(wrote);
    }
    buffer_.clear();
}

void OutputSink::commit() {
    flush_buffer();
    if (temporary_.empty()) return;
    if (::fsync(fd_) != 0) throw IoError(name_, "cannot write", errno, fatal_);
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) throw IoError(name_, "cannot write", errno, fatal_);
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) throw IoError(name_, "cannot replace", errno, fatal_);
    temporary_.clear();
    // The rename itself is only durable once the directory is on disk.
    const int directory = ::open(directory_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
}

void OutputSink::discard() noexcept {
    buffer_.clear();
    if (temporary_.empty()) return;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    ::unlink(temporary_.c_str());
    temporary_.clear();
}

}  // namespace corvane::cli
