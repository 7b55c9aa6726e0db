#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "marker.hpp"

namespace hook::marker {

namespace {

// mkdir -p with the modes Path.mkdir() gives: 0777 less the umask.
bool make_folders(char* path) {
    if (mkdir(path, 0777) == 0 || errno == EEXIST) {
        return true;
    }
    if (errno != ENOENT) {
        return false;
    }
    char* slash = std::strrchr(path, '/');
    if (!slash || slash == path) {
        return false;
    }
    *slash = '\0';
    const bool made_parent = make_folders(path);
    *slash = '/';
    return made_parent && (mkdir(path, 0777) == 0 || errno == EEXIST);
}

bool make_parent_folder(const char* path) {
    char folder[PATH_MAX];
    const char* slash = std::strrchr(path, '/');
    if (!slash || slash == path || static_cast<std::size_t>(slash - path) >= sizeof folder) {
        return false;
    }
    std::memcpy(folder, path, static_cast<std::size_t>(slash - path));
    folder[slash - path] = '\0';
    return make_folders(folder);
}

int create_exclusively(const char* path) {
    // Mode 0666 less the umask, as Path.touch() creates files.
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
}

// Non-blocking, so that a FIFO in place of the marker cannot hang the hook.
int open_marker(const char* path, int access) { return open(path, access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); }

bool writing_refused(int error) {
    return error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY || error == EISDIR;
}

double monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

// Linux and the BSDs name the modification time st_mtim, Apple names it st_mtimespec.
template <typename Status>
const timespec& modification_time(const Status& status) {
    if constexpr (requires { status.st_mtim; }) {
        return status.st_mtim;
    } else {
        return status.st_mtimespec;
    }
}

}  // namespace

Claim create(const char* path) {
    int descriptor = create_exclusively(path);
    if (descriptor < 0 && errno == ENOENT && make_parent_folder(path)) {
        descriptor = create_exclusively(path);
    }
    if (descriptor >= 0) {
        close(descriptor);
        return Claim::Created;
    }
    return errno == EEXIST ? Claim::Existing : Claim::Failed;
}

LockedMarker::~LockedMarker() {
    if (descriptor_ >= 0) {
        close(descriptor_);  // closing the only descriptor releases the flock
    }
}

bool LockedMarker::lock(const char* path) {
    // Open for writing where that is allowed: where flock() is built on POSIX record locks, as
    // in Linux's NFS client, an exclusive lock on a read-only descriptor fails with EBADF, and
    // every use would go through. A marker that may only be read (a read-only mode or file
    // system, a folder in its place) is still locked where flock() is the kernel's own.
    descriptor_ = open_marker(path, O_RDWR);
    if (descriptor_ < 0 && writing_refused(errno)) {
        descriptor_ = open_marker(path, O_RDONLY);
    }
    if (descriptor_ < 0) {
        return false;
    }
    const timespec pause = {0, 1'000'000};  // 1 ms
    const double give_up = monotonic_ms() + lock_wait_ms;
    for (;;) {
        if (flock(descriptor_, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if ((errno != EWOULDBLOCK && errno != EINTR) || monotonic_ms() >= give_up) {
            return false;
        }
        nanosleep(&pause, nullptr);
    }
}

bool LockedMarker::modified(double& seconds) const {
    struct stat status;
    if (fstat(descriptor_, &status) != 0) {
        return false;
    }
    const timespec& stamp = modification_time(status);
    seconds = static_cast<double>(stamp.tv_sec) + static_cast<double>(stamp.tv_nsec) * 1e-9;
    return true;
}

bool LockedMarker::refresh() const { return futimens(descriptor_, nullptr) == 0; }

}  // namespace hook::marker
