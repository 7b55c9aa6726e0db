// The launcher on Linux and macOS: reads the event whole, answers it alone when it may, and
// otherwise becomes the interpreter, by exec, running the Python launcher script on the same
// bytes through a pipe.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Writes the input from `written` on, until all is written, the pipe is full (when it does
// not block) or it fails.
void write_from(int pipe_end, const Input& input, size_t& written) {
    while (written < input.size) {
        const ssize_t done = write(pipe_end, input.data + written, input.size - written);
        if (done > 0) {
            written += size_t(done);
        } else if (errno != EINTR) {
            return;
        }
    }
}

// Puts the bytes on a pipe that becomes standard input. What the pipe cannot hold at once is
// written by a process of its own, detached, which ends when the interpreter has read it all.
bool pipe_to_stdin(const Input& input) {
    int ends[2];
    if (pipe(ends) != 0) {
        return false;
    }
#if defined(F_SETPIPE_SZ)
    if (input.size > 65536) {
        fcntl(ends[1], F_SETPIPE_SZ, int(input.size < (1u << 20) ? input.size : (1u << 20)));
    }
#endif
    fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK);
    size_t written = 0;
    write_from(ends[1], input, written);
    if (written < input.size) {
        const pid_t child = fork();
        if (child < 0) {
            return false;
        }
        if (child == 0) {
            if (fork() == 0) {  // the writer, reparented at once: no one need wait for it
                // It holds none of the host's streams open, so the host waits for it no longer
                // than for the interpreter.
                for (int stream = 0; stream <= 2; ++stream) {
                    if (stream != ends[1]) {
                        close(stream);
                    }
                }
                close(ends[0]);
                fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) & ~O_NONBLOCK);
                write_from(ends[1], input, written);
            }
            _exit(0);
        }
        int status;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    close(ends[1]);
    if (ends[0] != 0) {
        if (dup2(ends[0], 0) < 0) {
            return false;
        }
        close(ends[0]);
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
    if (!pipe_to_stdin(input)) {
        fail("cannot pass the event to the interpreter", interpreter, errno);
    }
    char* arguments[] = {interpreter, script, nullptr};
    execv(interpreter, arguments);
    fail("cannot start the interpreter", interpreter, errno);
}

}  // namespace

int main(int argc, char** argv) {
    Input input;
    if (!launcher::read_input(input)) {
        fprintf(stderr, "%s: cannot hold the event in memory (%zu bytes read)\n", program_name, input.size);
        return 127;
    }
    if (input.whole && launcher::answers_alone(input.data, static_cast<std::ptrdiff_t>(input.size))) {
        return 0;
    }
    hand_over(input, argc > 0 && argv[0] ? argv[0] : "");
}
