// The command's system layer on Windows. File names are UTF-8 above this
// file and UTF-16 below it; descriptors are the C runtime's, in binary mode.
#include "cli/platform.hpp"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <iterator>
#include <sys/stat.h>

namespace corvane::cli::platform {

namespace {

thread_local std::string failure;

// Failures of the C runtime come with errno, those of Win32 with
// GetLastError; both end up as the text last_error() returns.
void fail_runtime() { failure = std::strerror(errno); }

void fail_system(DWORD code = GetLastError()) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    failure = length > 0 ? std::string(text, length) : "system error " + std::to_string(code);
    if (text != nullptr) LocalFree(text);
    while (!failure.empty() && (failure.back() == '\n' || failure.back() == '\r' || failure.back() == '.'))
        failure.pop_back();
}

std::wstring wide(const std::string& text) {
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
    return result;
}

std::string narrow(const wchar_t* text, std::size_t size) {
    if (size == 0) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), result.data(), length, nullptr, nullptr);
    return result;
}

std::string directory_of(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
    if (slash == 0) return path.substr(0, 1);
    return path.substr(0, slash);
}

// The temporary files that Ctrl-C or closing the console must remove. The
// console handler runs on a thread of its own while the others go on, so
// each name is copied into a fixed slot that is published once whole.
struct InterruptSlot {
    std::atomic<bool> used{false};
    wchar_t path[4096];
};
InterruptSlot interrupt_slots[4];

void track(const std::wstring& path) noexcept {
    if (path.size() >= std::size(interrupt_slots[0].path)) return;
    for (InterruptSlot& slot : interrupt_slots) {
        if (slot.used.load()) continue;
        std::memcpy(slot.path, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
        slot.used.store(true);
        return;
    }
}

void untrack(const std::wstring& path) noexcept {
    for (InterruptSlot& slot : interrupt_slots) {
        if (slot.used.load() && path == slot.path) slot.used.store(false);
    }
}

// Removes the temporary files and lets the default handler end the process.
BOOL WINAPI remove_temporaries(DWORD) {
    for (InterruptSlot& slot : interrupt_slots) {
        if (slot.used.load()) DeleteFileW(slot.path);
    }
    return FALSE;
}

}  // namespace

std::string last_error() { return failure; }

std::vector<std::string> command_line_arguments(int, char**) {
    // The arguments main receives are in the console's code page; the wide
    // command line holds every file name as it was typed.
    int count = 0;
    wchar_t** wide_arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(narrow(wide_arguments[i], std::wcslen(wide_arguments[i])));
    LocalFree(wide_arguments);
    return arguments;
}

void prepare_process() noexcept {
    for (int fd = STDIN; fd <= STDERR; ++fd) {
        if (_get_osfhandle(fd) == -1) {
            const int null_device = _open("NUL", fd == STDIN ? _O_RDONLY : _O_WRONLY);
            if (null_device >= 0 && null_device != fd) {
                _dup2(null_device, fd);
                _close(null_device);
            }
        }
        // Bytes go out as they are: no line feed becomes CR LF.
        _setmode(fd, _O_BINARY);
    }
    SetConsoleCtrlHandler(remove_temporaries, TRUE);
}

PathKind kind_of(const std::string& path) {
    const std::wstring name = wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return PathKind::Directory;
    // Devices (NUL, CON, COM1) and pipes are told apart from files by the
    // handle's type; opening for no access at all leaves them undisturbed.
    HANDLE handle = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return PathKind::Missing;
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);
    return type == FILE_TYPE_DISK ? PathKind::Regular : PathKind::Stream;
}

std::optional<int> standard_stream_named(const std::string&) {
    // Windows has no file names for the standard streams ("-" is handled
    // above this layer); CON and CONOUT$ are devices, written where they are.
    return std::nullopt;
}

std::string follow_links(const std::string& path) {
    const std::wstring name = wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return path;
    HANDLE handle = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    // A link whose target is missing is replaced itself: Windows cannot say
    // where it would lead.
    if (handle == INVALID_HANDLE_VALUE) return path;
    std::wstring target(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(handle, target.data(), static_cast<DWORD>(target.size()), 0);
    CloseHandle(handle);
    if (length == 0 || length >= target.size()) return path;
    return narrow(target.data(), length);
}

int open_for_reading(const std::string& path) {
    const int fd = _wopen(wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) fail_runtime();
    return fd;
}

int open_for_writing(const std::string& path) {
    const int fd = _wopen(wide(path).c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) fail_runtime();
    return fd;
}

std::optional<std::size_t> regular_file_size(int fd) {
    struct _stat64 info;
    if (_fstat64(fd, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return std::nullopt;
    return static_cast<std::size_t>(info.st_size);
}

std::int64_t read(int fd, void* data, std::size_t size) {
    // The runtime reads at most INT_MAX bytes at a time.
    const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
    const int got = _read(fd, data, chunk);
    if (got < 0) fail_runtime();
    return got;
}

bool write_all(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
        const int wrote = _write(fd, bytes, chunk);
        if (wrote < 0) {
            fail_runtime();
            return false;
        }
        bytes += wrote;
        size -= static_cast<std::size_t>(wrote);
    }
    return true;
}

void close(int fd) noexcept { _close(fd); }

bool is_terminal(int fd) noexcept { return _isatty(fd) != 0; }

std::optional<Temporary> create_temporary_beside(const std::string& target) {
    // Names no other process can have picked: this process's number, the
    // time and a count, tried again in the unlikely event that one exists.
    static std::atomic<unsigned> count{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, "%06lx",
                      (GetCurrentProcessId() * 2654435761u + GetTickCount() + count++ * 40503u) & 0xFFFFFFu);
        std::string path = directory_of(target) + "\\.corvane-" + suffix;
        const std::wstring name = wide(path);
        const int fd = _wopen(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                              _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            track(name);
            return Temporary{fd, std::move(path)};
        }
        if (errno != EEXIST) break;
    }
    fail_runtime();
    return std::nullopt;
}

bool flush_to_disk(int fd) {
    if (_commit(fd) == 0) return true;
    fail_runtime();
    return false;
}

bool replace(Temporary& temporary, const std::string& target) {
    const int closed = _close(temporary.fd);
    temporary.fd = -1;
    if (closed != 0) {
        fail_runtime();
        return false;
    }
    const std::wstring from = wide(temporary.path);
    const std::wstring to = wide(target);
    // ReplaceFileW keeps what the old file had (attributes, security,
    // creation time), as the mode and owner are kept elsewhere; a new
    // target is simply moved into place.
    const bool exists = GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES;
    const bool replaced =
        (exists && ReplaceFileW(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) ||
        MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!replaced) {
        fail_system();
        return false;
    }
    untrack(from);
    temporary.path.clear();
    return true;
}

void discard(Temporary& temporary) noexcept {
    if (temporary.fd >= 0) _close(temporary.fd);
    temporary.fd = -1;
    if (temporary.path.empty()) return;
    const std::wstring name = wide(temporary.path);
    DeleteFileW(name.c_str());
    untrack(name);
    temporary.path.clear();
}

}  // namespace corvane::cli::platform
