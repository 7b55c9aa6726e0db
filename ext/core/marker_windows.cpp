// The marker on Windows, with the same contract as on POSIX. Paths arrive as the UTF-8 that
// the file-system converter yields there, and are widened for the wide (UTF-16) calls.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <utility>

#include "marker.hpp"

namespace hook::marker {

namespace {

// A path in UTF-16, NUL-terminated; none when the text is not valid UTF-8 (a name with a
// lone surrogate, which the converter passes through), so that such a name gets no marker.
class WidePath {
public:
    explicit WidePath(const char* utf8) {
        const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
        if (length <= 0) {
            return;
        }
        chars_ = static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * static_cast<std::size_t>(length)));
        if (chars_ && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, chars_, length) != length) {
            std::free(std::exchange(chars_, nullptr));
        }
    }
    WidePath(const WidePath&) = delete;
    WidePath& operator=(const WidePath&) = delete;
    ~WidePath() { std::free(chars_); }

    wchar_t* get() const { return chars_; }

private:
    wchar_t* chars_ = nullptr;
};

wchar_t* last_separator(wchar_t* path) {
    wchar_t* last = nullptr;
    for (wchar_t* c = path; *c; ++c) {
        if (*c == L'\\' || *c == L'/') {
            last = c;
        }
    }
    return last;
}

// mkdir -p, as Path.mkdir(parents=True, exist_ok=True) does. A drive ("C:") or an empty
// start is not made: the walk up ends there.
bool make_folders(wchar_t* path) {
    if (CreateDirectoryW(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
        return true;
    }
    if (GetLastError() != ERROR_PATH_NOT_FOUND) {
        return false;
    }
    wchar_t* separator = last_separator(path);
    if (!separator || separator == path || separator[-1] == L':') {
        return false;
    }
    const wchar_t kept = *separator;
    *separator = L'\0';
    const bool made_parent = make_folders(path);
    *separator = kept;
    return made_parent && (CreateDirectoryW(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
}

bool make_parent_folder(wchar_t* path) {
    wchar_t* separator = last_separator(path);
    if (!separator || separator == path) {
        return false;
    }
    const wchar_t kept = *separator;
    *separator = L'\0';
    const bool made = make_folders(path);
    *separator = kept;
    return made;
}

HANDLE create_exclusively(const wchar_t* path) {
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// FILETIME counts 100 ns steps from 1601; os.stat() splits it into whole seconds since 1970
// and nanoseconds, then adds the two as a float. The same steps give the same float.
double unix_seconds(const FILETIME& time) {
    constexpr std::int64_t steps_per_second = 10'000'000;
    constexpr std::int64_t seconds_from_1601_to_1970 = 11'644'473'600;
    const std::int64_t steps =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    const std::int64_t nanoseconds = (steps % steps_per_second) * 100;
    const std::int64_t seconds = steps / steps_per_second - seconds_from_1601_to_1970;
    return static_cast<double>(seconds) + static_cast<double>(nanoseconds) * 1e-9;
}

}  // namespace

Claim create(const char* path) {
    WidePath wide(path);
    if (!wide.get()) {
        return Claim::Failed;
    }
    HANDLE handle = create_exclusively(wide.get());
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND && make_parent_folder(wide.get())) {
        handle = create_exclusively(wide.get());
    }
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return Claim::Created;
    }
    return GetLastError() == ERROR_FILE_EXISTS ? Claim::Existing : Claim::Failed;
}

LockedMarker::~LockedMarker() {
    if (handle_) {
        // Windows frees the locks of a closed handle only when it gets round to it: unlock first,
        // so that the next hook process need not wait. Without the lock this fails, harmlessly.
        OVERLAPPED whole_file = {};
        UnlockFileEx(static_cast<HANDLE>(handle_), 0, MAXDWORD, MAXDWORD, &whole_file);
        CloseHandle(static_cast<HANDLE>(handle_));
    }
}

bool LockedMarker::lock(const char* path) {
    WidePath wide(path);
    if (!wide.get()) {
        return false;
    }
    // Other hook processes open the same marker at the same time: share everything, and
    // leave the exclusion to the lock. Writing attributes is what the refresh needs.
    HANDLE handle = CreateFileW(wide.get(), GENERIC_READ | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    handle_ = handle;
    // Sleep(1) may sleep a whole timer tick (15.6 ms by default): the bound is kept by the
    // clock, not by counting attempts.
    const ULONGLONG give_up = GetTickCount64() + lock_wait_ms;
    for (;;) {
        OVERLAPPED whole_file = {};
        if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                       &whole_file)) {
            return true;
        }
        if (GetLastError() != ERROR_LOCK_VIOLATION || GetTickCount64() >= give_up) {
            return false;
        }
        Sleep(1);
    }
}

bool LockedMarker::modified(double& seconds) const {
    FILETIME written;
    if (!GetFileTime(static_cast<HANDLE>(handle_), nullptr, nullptr, &written)) {
        return false;
    }
    seconds = unix_seconds(written);
    return true;
}

bool LockedMarker::refresh() const {
    // As os.utime(path, None) does on Windows.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return SetFileTime(static_cast<HANDLE>(handle_), nullptr, &now, &now);
}

}  // namespace hook::marker
