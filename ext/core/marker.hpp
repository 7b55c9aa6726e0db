// The file-system calls behind duplicate suppression, kept apart so that another platform
// only needs a file of its own (marker_posix.cpp, marker_windows.cpp). No Python objects
// here: every failure is a plain `false`.
#pragma once

#include <cstddef>
#include <type_traits>

namespace hook::marker {

// Whether a skill name can end a marker's file name, ".dedup_<name>", in the marker folder.
// A name with a path separator or a NUL would put the marker elsewhere, or nowhere. On
// Windows a ':' addresses an alternate stream of another file (".dedup_a:b" and ".dedup_a:c"
// would share the time of ".dedup_a", and one skill's use would suppress the other's), and
// * ? " < > | and the control characters 1 to 31 are not allowed in a file name at all. Windows
// also drops the dots and spaces that end a file name, so ".dedup_a." and ".dedup_a " are
// ".dedup_a", and ".dedup_.." is every such name's ".dedup_": a name ending so is refused too.
// A name that fails gets no marker: its uses are all let through.
//
// The name comes as code units of any width: the str's own storage, or UTF-8. Every
// character refused here is ASCII, and no unit of a longer character is, so each unit
// can be judged by itself.
template <typename Unit>
constexpr bool name_keeps_a_marker(const Unit* units, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto unit = static_cast<std::make_unsigned_t<Unit>>(units[i]);
        if (unit == '/' || unit == '\\' || unit == '\0') {
            return false;
        }
#ifdef _WIN32
        if (unit < 0x20 || unit == ':' || unit == '*' || unit == '?' || unit == '"' || unit == '<' ||
            unit == '>' || unit == '|') {
            return false;
        }
#endif
    }
#ifdef _WIN32
    if (count > 0 && (units[count - 1] == '.' || units[count - 1] == ' ')) {
        return false;
    }
#endif
    return true;
}

enum class Claim {
    Created,   // this call made the marker: nobody was let through before it
    Existing,  // the marker was there already
    Failed,
};

// Creates the empty marker exclusively, making its folder (and parents) when missing.
// `path` is what the file-system converter yields: bytes on POSIX, UTF-8 on Windows.
Claim create(const char* path);

// Holders keep the lock for a stat and a utime; one that holds it for seconds is no hook
// process, and the hook must not hang the agent on it. Both layers wait this long at most,
// trying again every millisecond.
inline constexpr int lock_wait_ms = 2000;

// An existing marker held under an exclusive lock, so that reading its time, comparing it and
// refreshing it is one step for every process that shares the marker.
class LockedMarker {
public:
    LockedMarker() = default;
    LockedMarker(const LockedMarker&) = delete;
    LockedMarker& operator=(const LockedMarker&) = delete;
    ~LockedMarker();  // releases the lock

    // Opens the marker (following symbolic links) and waits up to lock_wait_ms for the lock.
    bool lock(const char* path);
    // The modification time in seconds since the epoch, as os.stat() gives it.
    bool modified(double& seconds) const;
    // Sets the access and modification times to now, as Path.touch() does.
    bool refresh() const;

private:
#ifdef _WIN32
    void* handle_ = nullptr;  // a HANDLE; <windows.h> stays out of this header
#else
    int descriptor_ = -1;
#endif
};

}  // namespace hook::marker
