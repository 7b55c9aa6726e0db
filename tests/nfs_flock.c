/* flock() as Linux's NFS client gives it: emulated with POSIX record locks over the whole
   file, so that an exclusive lock needs a descriptor open for writing and fails with EBADF on
   one opened read-only. The tests preload it (LD_PRELOAD) into the hook, in place of libc's. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>

int flock(int descriptor, int operation) {
    struct flock lock;
    memset(&lock, 0, sizeof lock); /* from SEEK_SET 0, length 0: the whole file */
    lock.l_whence = SEEK_SET;
    switch (operation & ~LOCK_NB) {
        case LOCK_SH: lock.l_type = F_RDLCK; break;
        case LOCK_EX: lock.l_type = F_WRLCK; break;
        case LOCK_UN: lock.l_type = F_UNLCK; break;
        default: errno = EINVAL; return -1;
    }
    if (fcntl(descriptor, (operation & LOCK_NB) ? F_SETLK : F_SETLKW, &lock) == 0) {
        return 0;
    }
    if (errno == EACCES || errno == EAGAIN) {
        errno = EWOULDBLOCK; /* as flock() says a held lock */
    }
    return -1;
}
