/* Loaded with LD_PRELOAD: every pwrite to a file whose name ends in ".lock" fails as on a full disk, so
 * the simulator's change count cannot be written while everything else works. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static int isLockFile(int fd) {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    return length >= 5 && memcmp(target + length - 5, ".lock", 5) == 0;
}

ssize_t pwrite(int fd, const void *bytes, size_t count, off_t offset) {
    static ssize_t (*real)(int, const void *, size_t, off_t);
    if (isLockFile(fd)) {
        errno = ENOSPC;
        return -1;
    }
    if (real == NULL)
        real = (ssize_t(*)(int, const void *, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
    return real(fd, bytes, count, offset);
}

ssize_t pwrite64(int fd, const void *bytes, size_t count, off_t offset) {
    return pwrite(fd, bytes, count, offset);
}
