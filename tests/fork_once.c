/* fork() under a limit on processes that leaves room for one more: the first call in a
   process succeeds, and every later one, in that process or in its child, fails with EAGAIN.
   The tests preload it (LD_PRELOAD) into the launcher, in place of libc's. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <unistd.h>

static int forked;

pid_t fork(void) {
    if (forked) {
        errno = EAGAIN;
        return -1;
    }
    forked = 1;
    pid_t (*libc_fork)(void) = (pid_t (*)(void))dlsym(RTLD_NEXT, "fork");
    return libc_fork();
}
