// The launcher on Linux and macOS: reads the event whole, answers it alone when it may, and
// otherwise becomes the interpreter, by exec, running the Python launcher script on the same
// bytes, which a pipe or a file of their own gives it as standard input.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/syscall.h>
#endif
#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include "launcher.hpp"

namespace launcher::standard_input {

std::size_t announced_size() {
    struct stat status;
    return fstat(0, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 ? size_t(status.st_size) : 0;
}

Read read(unsigned char* into, std::size_t room, std::size_t& got) {
    while (true) {
        const ssize_t done = ::read(0, into, room);
        if (done > 0) {
            got = size_t(done);
            return Read::Some;
        }
        if (done == 0 || errno == EBADF) {
            return Read::End;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd wait_for = {0, POLLIN, 0};
            poll(&wait_for, 1, -1);
        } else if (errno != EINTR) {
            return Read::Failed;
        }
    }
}

}  // namespace launcher::standard_input

namespace {

using launcher::Input;
using launcher::program_name;

[[noreturn]] void fail(const char* what, const char* path, int error) {
    fprintf(stderr, "%s: %s %s: %s\n", program_name, what, path, strerror(error));
    exit(127);
}

// This program's own path, links resolved: the Python launcher script lies beside the file
// itself, wherever a link to it was made.
char* own_path(const char* argv0) {
#if defined(__linux__)
    if (char* resolved = realpath("/proc/self/exe", nullptr)) {
        return resolved;
    }
#elif defined(__APPLE__)
    char path[PATH_MAX];
    uint32_t size = sizeof path;
    if (_NSGetExecutablePath(path, &size) == 0) {
        if (char* resolved = realpath(path, nullptr)) {
            return resolved;
        }
    }
#endif
    if (strchr(argv0, '/')) {
        return realpath(argv0, nullptr);
    }
    // Started by name: the first match on PATH, as the shell found it.
    const char* search = getenv("PATH");
    while (search && *search) {
        const char* colon = strchr(search, ':');
        if (!colon) {
            colon = search + strlen(search);
        }
        char candidate[PATH_MAX];
        const int length = snprintf(candidate, sizeof candidate, "%.*s/%s", int(colon - search), search, argv0);
        if (length > 0 && size_t(length) < sizeof candidate && access(candidate, X_OK) == 0) {
            return realpath(candidate, nullptr);
        }
        search = *colon ? colon + 1 : colon;
    }
    return nullptr;
}

// Writes the whole event into `file`; false when a write fails, or finds a pipe that does
// not block full.
bool write_all(int file, const Input& input) {
    for (size_t written = 0; written < input.size;) {
        const ssize_t done = write(file, input.data + written, input.size - written);
        if (done > 0) {
            written += size_t(done);
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

// The most a pipe is asked to hold: Linux's limit on what a user may give one.
constexpr size_t pipe_most = size_t(1) << 20;

// The read end of a pipe that holds the whole event, or -1 when the event does not fit: the
// cheapest way for the small events that nearly all are.
int pipe_holding(const Input& input) {
    int ends[2];
    if (input.size > pipe_most || pipe(ends) != 0) {
        return -1;
    }
#if defined(F_SETPIPE_SZ)
    if (input.size > 65536) {
        fcntl(ends[1], F_SETPIPE_SZ, int(input.size));
    }
#endif
    fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK);
    const bool whole = write_all(ends[1], input);
    close(ends[1]);
    if (!whole) {
        close(ends[0]);
        return -1;
    }
    return ends[0];
}

// A file that no path names, for the event: a memory file on Linux; an unlinked one in the
// temporary folder elsewhere, or where there is none. -1 when it cannot be made.
int nameless_file() {
#if defined(__linux__) && defined(SYS_memfd_create)
    // Through syscall(): glibc before 2.27 has no wrapper.
    const int memory = int(syscall(SYS_memfd_create, "event", 1u /* MFD_CLOEXEC */));
    if (memory >= 0) {
        return memory;
    }
#endif
    const char* folder = getenv("TMPDIR");
    if (!folder || !*folder) {
        folder = "/tmp";
    }
#if defined(O_TMPFILE)
    const int unnamed = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed >= 0) {
        return unnamed;
    }
#endif
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/tovrin-event-XXXXXX", folder) >= int(sizeof path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int file = mkstemp(path);
    if (file >= 0) {
        unlink(path);
    }
    return file;
}

// The event becomes standard input, whole: on a pipe when one holds it at once, otherwise in
// a file of its own, read from its start. Nothing less is handed over: no process of ours
// writes the rest while the interpreter reads, so none can fail to.
bool event_to_stdin(const Input& input) {
    int file = pipe_holding(input);
    if (file < 0) {
        file = nameless_file();
        if (file < 0 || !write_all(file, input) || lseek(file, 0, SEEK_SET) != 0) {
            const int error = errno;
            if (file >= 0) {
                close(file);
            }
            errno = error;
            return false;
        }
    }
    if (file != 0) {
        const bool moved = dup2(file, 0) == 0;
        const int error = errno;
        close(file);
        errno = error;
        return moved;
    }
    return true;
}

// The Python launcher script's path, beside this program's own file.
void script_beside_self(const char* argv0, char (&script)[PATH_MAX]) {
    char* self = own_path(argv0);
    if (!self) {
        fail("cannot find its own path from", argv0, errno);
    }
    const char* slash = strrchr(self, '/');
    snprintf(script, sizeof script, "%.*s/%s", int(slash - self), self, launcher::python_script_name);
    free(self);
}

// The interpreter that the script's "#!" line names, as a string within `head`.
char* interpreter_named_by(const char* script, char (&head)[PATH_MAX + 64]) {
    const int file = open(script, O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        fail("cannot read the Python launcher script", script, errno);
    }
    ssize_t got;
    while ((got = read(file, head, sizeof head)) < 0 && errno == EINTR) {
    }
    const int read_error = errno;
    close(file);
    if (got < 0) {
        fail("cannot read the Python launcher script", script, read_error);
    }
    size_t begin = 0;
    size_t end = 0;
    if (!launcher::interpreter_named(head, size_t(got), begin, end)) {
        fail("no interpreter named on the first line (#!) of", script, ENOEXEC);
    }
    head[end] = '\0';
    return head + begin;
}

// Becomes the interpreter named by the Python launcher script beside this program, running
// that script on the event; returns only to fail.
[[noreturn]] void hand_over(const Input& input, const char* argv0) {
    char script[PATH_MAX];
    script_beside_self(argv0, script);
    char head[PATH_MAX + 64];
    char* interpreter = interpreter_named_by(script, head);
    // A limit on file size (ulimit -f) smaller than the event would end the launcher by
    // SIGXFSZ, silently, as it writes the event's file: ignored, the write fails with EFBIG,
    // as any other. The interpreter gets the disposition this program was started with.
    struct sigaction ignore = {};
    struct sigaction given;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &given);
    // Standard input that could not be read at all is left as it is, for the interpreter to
    // meet as main() would.
    if (input.ending != Input::Ending::FailedAtOnce && !event_to_stdin(input)) {
        fail("cannot pass the event to the interpreter", interpreter, errno);
    }
    sigaction(SIGXFSZ, &given, nullptr);
    char* arguments[] = {interpreter, script, nullptr};
    execv(interpreter, arguments);
    fail("cannot start the interpreter", interpreter, errno);
}

}  // namespace

int main(int argc, char** argv) {
    Input input;
    launcher::read_input(input);
    if (launcher::exits_at_once(input)) {
        return 0;
    }
    hand_over(input, argc > 0 && argv[0] ? argv[0] : "");
}
