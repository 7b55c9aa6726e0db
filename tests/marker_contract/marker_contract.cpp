// The contract of the marker layer (ext/core/marker.hpp), checked on whichever
// platform file it is built with: marker_posix.cpp natively, marker_windows.cpp under wine.
//
//   marker_contract FOLDER              runs every check in FOLDER, which must not exist yet
//   marker_contract hold MARKER FOLDER  the second process of the lock check: holds the lock
//                                       on MARKER until FOLDER/release appears
//
// Ends with "N passed, N failed" and exits 1 when a check failed. Like the module, it needs
// nothing of the C++ library beyond its headers, so it links as a C program does.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "marker.hpp"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;
#endif

namespace marker = hook::marker;

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const char* what, const char* detail = "") {
    if (ok) {
        ++passed;
        return;
    }
    ++failed;
    std::printf("FAILED: %s%s%s\n", what, *detail ? ": " : "", detail);
}

void check(bool ok, const char* what, double value) {
    char detail[64];
    std::snprintf(detail, sizeof detail, "%.9f", value);
    check(ok, what, detail);
}

struct Path {
    char text[1024];
    const char* c_str() const { return text; }
};

// What the checks need of the file system, the clocks and processes, on each platform.
#ifdef _WIN32
constexpr char separator = '\\';

struct WidePath {
    wchar_t text[1024];
};

WidePath wide(const char* utf8) {
    WidePath path;
    if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, path.text, 1024) <= 0) {
        path.text[0] = L'\0';
    }
    return path;
}

bool make_folder(const char* path) { return CreateDirectoryW(wide(path).text, nullptr); }

bool write_file(const char* path) {
    HANDLE file = CreateFileW(wide(path).text, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file != INVALID_HANDLE_VALUE && CloseHandle(file);
}

DWORD attributes(const char* path) { return GetFileAttributesW(wide(path).text); }
bool exists(const char* path) { return attributes(path) != INVALID_FILE_ATTRIBUTES; }
bool is_folder(const char* path) { return exists(path) && (attributes(path) & FILE_ATTRIBUTE_DIRECTORY); }
bool is_file(const char* path) { return exists(path) && !(attributes(path) & FILE_ATTRIBUTE_DIRECTORY); }

long long file_size(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide(path).text, GetFileExInfoStandard, &data)) {
        return -1;
    }
    return static_cast<long long>((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

// How many entries the folder has, and whether one of them is `name`, compared as UTF-16.
int entries(const char* folder, const wchar_t* name, bool& found) {
    WidePath pattern = wide(folder);
    std::wcscat(pattern.text, L"\\*");
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern.text, &entry);
    int count = 0;
    found = false;
    if (search == INVALID_HANDLE_VALUE) {
        return count;
    }
    do {
        if (std::wcscmp(entry.cFileName, L".") != 0 && std::wcscmp(entry.cFileName, L"..") != 0) {
            ++count;
            found = found || (name && std::wcscmp(entry.cFileName, name) == 0);
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return count;
}

constexpr long long steps_per_second = 10'000'000;  // FILETIME counts 100 ns steps from 1601
constexpr long long seconds_from_1601_to_1970 = 11'644'473'600;

FILETIME filetime(long long unix_seconds, long long nanoseconds) {
    const auto steps = static_cast<unsigned long long>((unix_seconds + seconds_from_1601_to_1970) * steps_per_second +
                                                       nanoseconds / 100);
    return FILETIME{static_cast<DWORD>(steps), static_cast<DWORD>(steps >> 32)};
}

// As os.stat() gives it: the whole seconds since 1970 plus the nanoseconds.
double unix_seconds(const FILETIME& time) {
    const auto steps =
        static_cast<long long>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    return static_cast<double>(steps / steps_per_second - seconds_from_1601_to_1970) +
           static_cast<double>(steps % steps_per_second * 100) * 1e-9;
}

HANDLE open_attributes(const char* path, DWORD access) {
    return CreateFileW(wide(path).text, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool set_times(const char* path, long long seconds, long long nanoseconds) {
    HANDLE file = open_attributes(path, FILE_WRITE_ATTRIBUTES);
    const FILETIME time = filetime(seconds, nanoseconds);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool set = SetFileTime(file, nullptr, &time, &time);
    CloseHandle(file);
    return set;
}

bool get_times(const char* path, double& accessed, double& modified) {
    HANDLE file = open_attributes(path, FILE_READ_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILETIME access, write;
    const bool got = GetFileTime(file, nullptr, &access, &write);
    CloseHandle(file);
    accessed = unix_seconds(access);
    modified = unix_seconds(write);
    return got;
}

double wall_clock() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return unix_seconds(now);
}

double steady_clock() { return static_cast<double>(GetTickCount64()) / 1000; }

void sleep_ms(int ms) { Sleep(static_cast<DWORD>(ms)); }

using Child = HANDLE;

Child start_holder(const char* marker_path, const char* folder) {
    wchar_t command[4096];
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::swprintf(command, 4096, L"\"%ls\" hold \"%ls\" \"%ls\"", self, wide(marker_path).text, wide(folder).text);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        return nullptr;
    }
    CloseHandle(started.hThread);
    return started.hProcess;
}

bool started(Child child) { return child != nullptr; }

int exit_status(Child child) {
    DWORD status = 1;
    if (WaitForSingleObject(child, 60'000) != WAIT_OBJECT_0 || !GetExitCodeProcess(child, &status)) {
        return -1;
    }
    CloseHandle(child);
    return static_cast<int>(status);
}
#else
constexpr char separator = '/';

bool make_folder(const char* path) { return mkdir(path, 0777) == 0; }

bool write_file(const char* path) {
    const int file = open(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    return file >= 0 && close(file) == 0;
}

bool exists(const char* path) {
    struct stat status;
    return lstat(path, &status) == 0;
}
bool is_folder(const char* path) {
    struct stat status;
    return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}
bool is_file(const char* path) {
    struct stat status;
    return stat(path, &status) == 0 && S_ISREG(status.st_mode);
}

long long file_size(const char* path) {
    struct stat status;
    return stat(path, &status) == 0 ? static_cast<long long>(status.st_size) : -1;
}

// How many entries the folder has, and whether one of them is `name`, compared as bytes.
int entries(const char* folder, const char* name, bool& found) {
    int count = 0;
    found = false;
    DIR* listing = opendir(folder);
    if (!listing) {
        return count;
    }
    while (const dirent* entry = readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            ++count;
            found = found || (name && std::strcmp(entry->d_name, name) == 0);
        }
    }
    closedir(listing);
    return count;
}

double seconds_of(const timespec& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

bool set_times(const char* path, long long seconds, long long nanoseconds) {
    const timespec time = {static_cast<time_t>(seconds), static_cast<long>(nanoseconds)};
    const timespec times[2] = {time, time};
    return utimensat(AT_FDCWD, path, times, 0) == 0;
}

bool get_times(const char* path, double& accessed, double& modified) {
    struct stat status;
    if (stat(path, &status) != 0) {
        return false;
    }
#ifdef __APPLE__
    accessed = seconds_of(status.st_atimespec);
    modified = seconds_of(status.st_mtimespec);
#else
    accessed = seconds_of(status.st_atim);
    modified = seconds_of(status.st_mtim);
#endif
    return true;
}

double clock_seconds(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return seconds_of(now);
}
double wall_clock() { return clock_seconds(CLOCK_REALTIME); }
double steady_clock() { return clock_seconds(CLOCK_MONOTONIC); }

void sleep_ms(int ms) {
    const timespec pause = {ms / 1000, (ms % 1000) * 1'000'000L};
    nanosleep(&pause, nullptr);
}

using Child = pid_t;
const char* self_path = nullptr;

Child start_holder(const char* marker_path, const char* folder) {
    const char* argv[] = {self_path, "hold", marker_path, folder, nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, self_path, nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
        return -1;
    }
    return pid;
}

bool started(Child child) { return child > 0; }

int exit_status(Child child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}
#endif

Path join(const char* folder, const char* name) {
    Path path;
    const int length = std::snprintf(path.text, sizeof path.text, "%s%c%s", folder, separator, name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path.text) {
        std::fprintf(stderr, "path too long: %s\n", folder);
        std::exit(2);
    }
    return path;
}

// Waits for a file that another process makes; false after a minute, so that nothing hangs.
bool await_file(const char* path) {
    const double start = steady_clock();
    while (!exists(path)) {
        if (steady_clock() - start > 60) {
            return false;
        }
        sleep_ms(1);
    }
    return true;
}

template <typename Unit, std::size_t N>
bool keeps(const Unit (&name)[N]) {
    return marker::name_keeps_a_marker(name, N - 1);  // the literal's own NUL is not part of the name
}

void check_name_rule() {
    check(keeps("tov-auth") && keeps("my skill") && keeps(".a") && keeps("\x7f") && keeps("\xe6\x8a\x80-\xc3\xbc"),
          "ordinary names keep a marker");
    check(!keeps("a/b") && !keeps("..\\x") && !keeps("a\0b") && !keeps("/") && !keeps(u"a/b") && !keeps(U"a\\b"),
          "a separator or a NUL gives no marker, on every platform");
    // U+013A has ':' as its low byte but is no colon; U+FF1A is a colon that Windows allows.
    check(keeps(u"tovrin\u013atov-auth") && keeps(U"tovrin\U0000013Atov-auth") && keeps(u"a\uff1ab"),
          "a wide character is judged whole");
    const char* const windows_refuses[] = {"tovrin:tov-auth", "a*", "a?", "a\"b", "<a", "a>", "a|b", "a\x01", "\x1f", "\t",
                                           "..", "a.", "a "};
    for (const char* name : windows_refuses) {
#ifdef _WIN32
        check(!marker::name_keeps_a_marker(name, std::strlen(name)), "Windows gives no marker to the name", name);
#else
        check(marker::name_keeps_a_marker(name, std::strlen(name)), "POSIX keeps a marker for the name", name);
#endif
    }
#ifdef _WIN32
    check(!keeps(u"tovrin:tov-auth") && !keeps(U"a\x01"), "in wide storage too");
#endif
}

void check_create(const char* root) {
    const Path folder = join(join(join(root, "home").c_str(), ".tovrin").c_str(), "hooks");
    const Path path = join(folder.c_str(), ".dedup_tov-auth");
    check(marker::create(path.c_str()) == marker::Claim::Created, "a missing marker is created");
    check(is_folder(folder.c_str()), "its missing folders are made");
    check(is_file(path.c_str()) && file_size(path.c_str()) == 0, "the marker is an empty file");
    check(marker::create(path.c_str()) == marker::Claim::Existing, "a second create finds it existing");
    check(file_size(path.c_str()) == 0, "an existing marker is left empty");

    // The path's UTF-8 becomes the file's name, whatever the system's encoding of names.
    const Path beyond_ascii = join(folder.c_str(), ".dedup_\xe6\x8a\x80\xe8\x83\xbd-\xc3\xbc");
    check(marker::create(beyond_ascii.c_str()) == marker::Claim::Created, "a name beyond ASCII is created");
    bool found = false;
#ifdef _WIN32
    entries(folder.c_str(), L".dedup_\u6280\u80fd-\u00fc", found);
    check(found, "with its name in UTF-16");
    // A lone surrogate, which the converter passes through on Windows, makes no valid name.
    check(marker::create(join(folder.c_str(), ".dedup_\xed\xa0\x80").c_str()) == marker::Claim::Failed,
          "a name with a lone surrogate gets no marker");
#else
    entries(folder.c_str(), ".dedup_\xe6\x8a\x80\xe8\x83\xbd-\xc3\xbc", found);
    check(found, "with its name's bytes");
#endif

    // A regular file where a folder should be (which holds for root too, unlike permissions).
    const Path blocker = join(root, "blocker");
    write_file(blocker.c_str());
    check(marker::create(join(blocker.c_str(), ".dedup_x").c_str()) == marker::Claim::Failed,
          "a file in place of the marker's folder fails");
    const Path deeper = join(join(blocker.c_str(), "hooks").c_str(), ".dedup_x");
    check(marker::create(deeper.c_str()) == marker::Claim::Failed, "a file in place of a parent folder fails");
    check(is_file(blocker.c_str()) && file_size(blocker.c_str()) == 0, "the file in the way is left as it was");

    // A folder where the marker should be exists, and stays a folder: no marker is made in it.
    const Path folder_marker = join(folder.c_str(), ".dedup_folder");
    make_folder(folder_marker.c_str());
    check(marker::create(folder_marker.c_str()) == marker::Claim::Existing, "a folder in place of the marker exists");
    {
        marker::LockedMarker held;
        const double start = steady_clock();
        held.lock(folder_marker.c_str());  // a layer may hold it or not; either way it comes back
        check(steady_clock() - start < 30, "locking a folder comes back");
    }
    check(is_folder(folder_marker.c_str()) && entries(folder_marker.c_str(), nullptr, found) == 0,
          "the folder is left as it was");

    marker::LockedMarker missing;
    const Path missing_path = join(folder.c_str(), ".dedup_missing");
    check(!missing.lock(missing_path.c_str()) && !exists(missing_path.c_str()),
          "a missing marker is neither locked nor made");
}

void check_times(const char* root) {
    const Path path = join(root, ".dedup_time");
    marker::create(path.c_str());
    check(set_times(path.c_str(), 1'000'000'000, 500'000'000), "(setting the marker's times)");
    marker::LockedMarker held;
    check(held.lock(path.c_str()), "an existing marker is locked");
    double modified = 0;
    check(held.modified(modified) && modified == 1'000'000'000.5, "the modification time, in seconds since 1970",
          modified);
    check(held.refresh(), "the marker is refreshed");
    const double now = wall_clock();
    double read_accessed = 0, read_modified = 0;
    check(get_times(path.c_str(), read_accessed, read_modified), "(reading the marker's times)");
    check(read_modified > now - 5 && read_modified < now + 5, "the refresh sets the modification time to now",
          read_modified - now);
    check(read_accessed > now - 5 && read_accessed < now + 5, "and the access time", read_accessed - now);
    check(held.modified(modified) && modified == read_modified, "the held marker reads the refreshed time", modified);
    check(file_size(path.c_str()) == 0, "a refresh writes nothing");
}

void check_lock(const char* root) {
    const Path path = join(root, ".dedup_locked");
    const Path signals = join(root, "signals");
    make_folder(signals.c_str());
    marker::create(path.c_str());
    const Child holder = start_holder(path.c_str(), signals.c_str());
    check(started(holder), "the second process starts");
    if (!started(holder)) {
        return;
    }
    check(await_file(join(signals.c_str(), "held").c_str()), "the second process holds the lock");
    {
        marker::LockedMarker waiter;
        const double start = steady_clock();
        const bool got = waiter.lock(path.c_str());
        const double waited = steady_clock() - start;
        check(!got, "a held lock is not taken");
        // The wait is bounded: it gives up after its time, not before and not long after.
        check(waited >= 0.9 * marker::lock_wait_ms / 1000 && waited < 30, "the waiter gives up after its time",
              waited);
    }
    write_file(join(signals.c_str(), "release").c_str());
    {
        marker::LockedMarker waiter;
        check(waiter.lock(path.c_str()), "the waiter gets the lock once its holder lets go");
    }
    check(exit_status(holder) == 0, "the second process ends well");
}

// The second process: takes the lock, says so, and keeps it until told to let go.
int hold(const char* path, const char* signals) {
    marker::LockedMarker held;
    if (!held.lock(path)) {
        return 2;
    }
    write_file(join(signals, "held").c_str());
    return await_file(join(signals, "release").c_str()) ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);  // plain line feeds, like the native run's
#else
    self_path = argv[0];
#endif
    if (argc == 4 && std::strcmp(argv[1], "hold") == 0) {
        return hold(argv[2], argv[3]);
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER | hold MARKER FOLDER\n", argv[0]);
        return 2;
    }
    if (!make_folder(argv[1])) {
        std::fprintf(stderr, "%s: cannot make %s, which must not exist yet\n", argv[0], argv[1]);
        return 2;
    }
    check_name_rule();
    check_create(argv[1]);
    check_times(argv[1]);
    check_lock(argv[1]);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
