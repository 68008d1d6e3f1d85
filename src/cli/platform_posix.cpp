// The command's system layer on Linux, macOS and the other POSIX systems.
#include "cli/platform.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::cli::platform {

namespace {

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

mode_t current_umask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// The temporary files that an interrupt must remove. A signal handler may
// only read memory that is never freed, so each name is copied into a fixed
// slot, which is published only once the copy is whole.
struct InterruptSlot {
    std::atomic<bool> used{false};
    char path[PATH_MAX];
};
InterruptSlot interrupt_slots[4];
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler reads the flags");

void track(const std::string& path) noexcept {
    if (path.size() >= PATH_MAX) return;
    for (InterruptSlot& slot : interrupt_slots) {
        if (slot.used.load()) continue;
        std::memcpy(slot.path, path.c_str(), path.size() + 1);
        slot.used.store(true);
        return;
    }
}

void untrack(const std::string& path) noexcept {
    for (InterruptSlot& slot : interrupt_slots) {
        if (slot.used.load() && path == slot.path) slot.used.store(false);
    }
}

// Removes the temporary files, then lets the signal end the process as it
// would have without us: the handler was reset to the default on entry, and
// the signal raised here is delivered as soon as the handler returns.
extern "C" void remove_temporaries_and_end(int signal_number) {
    for (InterruptSlot& slot : interrupt_slots) {
        if (slot.used.load()) ::unlink(slot.path);
    }
    ::raise(signal_number);
}

// The signals that end the process by default and that leave a temporary
// file behind unless caught: an interrupt, a termination, a hang-up, and a
// write to a pipe whose reader is gone (`corvane ... 2>&1 | head`).
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void install_interrupt_cleanup() noexcept {
    for (const int signal_number : ENDING_SIGNALS) {
        struct sigaction previous;
        if (::sigaction(signal_number, nullptr, &previous) != 0) continue;
        // A signal ignored on purpose (nohup, a shell's background job) stays ignored.
        if (previous.sa_handler == SIG_IGN) continue;
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = remove_temporaries_and_end;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal_number, &action, nullptr);
    }
}

}  // namespace

std::string last_error() { return std::strerror(errno); }

std::vector<std::string> command_line_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

void prepare_process() noexcept {
    for (int fd = STDIN; fd <= STDERR; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is `fd` itself, since those below it are open.
        const int null_device = ::open("/dev/null", fd == STDIN ? O_RDONLY : O_WRONLY);
        if (null_device >= 0 && null_device != fd) {
            ::dup2(null_device, fd);
            ::close(null_device);
        }
    }
    install_interrupt_cleanup();
}

PathKind kind_of(const std::string& path) {
    struct stat info;
    // A path that cannot be looked at is left to the open or create that
    // follows, which reports the system's reason.
    if (::stat(path.c_str(), &info) != 0) return PathKind::Missing;
    if (S_ISREG(info.st_mode)) return PathKind::Regular;
    if (S_ISDIR(info.st_mode)) return PathKind::Directory;
    return PathKind::Stream;
}

std::optional<int> standard_stream_named(const std::string& path) {
    if (path == "/dev/stdout" || path == "/dev/fd/1") return STDOUT;
    if (path == "/dev/stderr" || path == "/dev/fd/2") return STDERR;
    return std::nullopt;
}

std::string follow_links(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        char target[PATH_MAX];
        const ssize_t length = ::readlink(current.c_str(), target, sizeof target);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof target) return current;
        const std::string next(target, static_cast<std::size_t>(length));
        current = next.front() == '/' ? next : directory_of(current) + "/" + next;
    }
    errno = ELOOP;
    return {};
}

int open_for_reading(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }

int open_for_writing(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
}

std::optional<std::size_t> regular_file_size(int fd) {
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::size_t>(info.st_size);
}

std::int64_t read(int fd, void* data, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd, data, size);
        if (got >= 0 || errno != EINTR) return got;
    }
}

bool write_all(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t wrote = ::write(fd, bytes, size);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += wrote;
        size -= static_cast<std::size_t>(wrote);
    }
    return true;
}

void close(int fd) noexcept { ::close(fd); }

bool is_terminal(int fd) noexcept { return ::isatty(fd) == 1; }

std::optional<Temporary> create_temporary_beside(const std::string& target) {
    std::string pattern = directory_of(target) + "/.corvane-XXXXXX";
    // A signal between the file's creation and its tracking would leave it
    // behind: the signals wait until it is tracked.
    sigset_t ending, previous;
    sigemptyset(&ending);
    for (const int signal_number : ENDING_SIGNALS) sigaddset(&ending, signal_number);
    ::pthread_sigmask(SIG_BLOCK, &ending, &previous);
    const int fd = ::mkstemp(pattern.data());
    if (fd >= 0) track(pattern);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (fd < 0) return std::nullopt;
    // mkstemp makes the file private. The owner goes first: a change of
    // owner clears the set-user-ID and set-group-ID bits that the mode sets.
    struct stat info;
    if (::stat(target.c_str(), &info) == 0) {
        if (::fchown(fd, info.st_uid, info.st_gid) != 0) {
            // Only root may give a file away; the mode is what matters then.
        }
        ::fchmod(fd, info.st_mode & 07777);
    } else {
        ::fchmod(fd, 0666 & ~current_umask());
    }
    return Temporary{fd, std::move(pattern)};
}

bool flush_to_disk(int fd) {
#ifdef F_FULLFSYNC
    // macOS: fsync only reaches the drive's cache; this reaches the medium.
    if (::fcntl(fd, F_FULLFSYNC) == 0) return true;
#endif
    return ::fsync(fd) == 0;
}

bool replace(Temporary& temporary, const std::string& target) {
    const int closed = ::close(temporary.fd);
    temporary.fd = -1;
    if (closed != 0 || ::rename(temporary.path.c_str(), target.c_str()) != 0) return false;
    untrack(temporary.path);
    temporary.path.clear();
    // The rename itself is only durable once the directory is on disk.
    const int directory = ::open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return true;
}

void discard(Temporary& temporary) noexcept {
    if (temporary.fd >= 0) ::close(temporary.fd);
    temporary.fd = -1;
    if (temporary.path.empty()) return;
    ::unlink(temporary.path.c_str());
    untrack(temporary.path);
    temporary.path.clear();
}

}  // namespace corvane::cli::platform
