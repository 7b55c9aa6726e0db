// The file-system calls behind duplicate suppression, kept apart so that another platform
// only needs a file of its own. No Python objects here: every failure is a plain `false`.
#pragma once

namespace hook::marker {

enum class Claim {
    Created,   // this call made the marker: nobody was let through before it
    Existing,  // the marker was there already
    Failed,
};

// Creates the empty marker exclusively, making its folder (and parents) when missing.
Claim create(const char* path);

// An existing marker held under an exclusive lock, so that reading its time, comparing it and
// refreshing it is one step for every process that shares the marker.
class LockedMarker {
public:
    LockedMarker() = default;
    LockedMarker(const LockedMarker&) = delete;
    LockedMarker& operator=(const LockedMarker&) = delete;
    ~LockedMarker();  // releases the lock

    // Opens the marker (following symbolic links) and waits a bounded time for the lock.
    bool lock(const char* path);
    // The modification time in seconds since the epoch, as os.stat() gives it.
    bool modified(double& seconds) const;
    // Sets the access and modification times to now, as Path.touch() does.
    bool refresh() const;

private:
    int descriptor_ = -1;
};

}  // namespace hook::marker
