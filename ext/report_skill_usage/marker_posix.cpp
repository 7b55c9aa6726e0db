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
    descriptor_ = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor_ < 0) {
        return false;
    }
    // Holders keep the lock for a stat and a utime; one that holds it for seconds is no hook
    // process, and the hook must not hang the agent on it.
    constexpr int attempts = 2000;
    const timespec pause = {0, 1'000'000};  // 1 ms
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (flock(descriptor_, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        }
        nanosleep(&pause, nullptr);
    }
    return false;
}

bool LockedMarker::modified(double& seconds) const {
    struct stat status;
    if (fstat(descriptor_, &status) != 0) {
        return false;
    }
    seconds = static_cast<double>(status.st_mtim.tv_sec) + static_cast<double>(status.st_mtim.tv_nsec) * 1e-9;
    return true;
}

bool LockedMarker::refresh() const { return futimens(descriptor_, nullptr) == 0; }

}  // namespace hook::marker
