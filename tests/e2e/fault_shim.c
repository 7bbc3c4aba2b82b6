/* Faults for the end-to-end tests, preloaded into the gateway (LD_PRELOAD):
 *   CGI_FORWARD_SHORT_WRITES=N     write and writev to standard output write
 *                                  at most N bytes per call;
 *   CGI_FORWARD_FAIL_ALLOC_FROM=N  malloc of N bytes or more fails;
 *   CGI_FORWARD_SHIM_LOG=PATH      a line is appended to PATH for each kind
 *                                  of fault that took effect, so a test can
 *                                  tell a build where preloading has no
 *                                  effect (static, sanitizers, valgrind).
 * Not part of the product. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

extern void *__libc_malloc(size_t size);

static size_t setting(const char *name) {
    const char *value = getenv(name);
    return value ? (size_t)strtoull(value, NULL, 10) : 0;
}

static void note(const char *what, int *noted) {
    const char *path = getenv("CGI_FORWARD_SHIM_LOG");
    if (*noted || !path) return;
    *noted = 1;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0) return;
    (void)!write(fd, what, strlen(what));
    close(fd);
}

void *malloc(size_t size) {
    static int noted;
    size_t limit = setting("CGI_FORWARD_FAIL_ALLOC_FROM");
    if (limit && size >= limit) {
        note("alloc\n", &noted);
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(size);
}

static size_t shorten(int fd) {
    return fd == STDOUT_FILENO ? setting("CGI_FORWARD_SHORT_WRITES") : 0;
}

ssize_t write(int fd, const void *data, size_t n) {
    static ssize_t (*real)(int, const void *, size_t);
    static int noted;
    if (!real) real = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    size_t most = shorten(fd);
    if (most && n > most) {
        note("write\n", &noted);
        n = most;
    }
    return real(fd, data, n);
}

ssize_t writev(int fd, const struct iovec *iov, int count) {
    static ssize_t (*real)(int, const struct iovec *, int);
    static int noted;
    if (!real) real = (ssize_t(*)(int, const struct iovec *, int))dlsym(RTLD_NEXT, "writev");
    size_t most = shorten(fd);
    for (int i = 0; most && i < count; ++i) {
        if (iov[i].iov_len == 0) continue;
        struct iovec part = {iov[i].iov_base, iov[i].iov_len < most ? iov[i].iov_len : most};
        note("writev\n", &noted);
        return real(fd, &part, 1);
    }
    return real(fd, iov, count);
}
