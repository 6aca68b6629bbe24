/*
 * Preloaded (LD_PRELOAD) into the upgrade program, this library records the
 * calls that change files in one directory, with their data, so that the
 * power-cut explorer can rebuild what a disk may hold after a cut at any
 * point of the run:
 *
 *   WS_FSTRACE_DIR=DIR    the directory whose files are followed (not its
 *                         subdirectories);
 *   WS_FSTRACE_OUT=FILE   the trace, a sequence of records: a header
 *                         (struct Record below, native byte order), then
 *                         `nameSize` bytes of name, `name2Size` bytes of a
 *                         second name (rename) and `size` bytes of data.
 *
 * Opens (unnamed O_TMPFILE files too, and the links that name them later),
 * writes (write, pwrite, writev, copy_file_range), truncations, flushes (fsync, fdatasync; of
 * the directory itself too), renames, unlinks and closes are recorded after
 * they succeeded, and only the bytes really written.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

enum Op { OpOpen = 1, OpWrite, OpTruncate, OpSync, OpRename, OpUnlink, OpClose, OpLink };

struct Record
{
    uint32_t op;
    int32_t fd;
    int64_t offset; /* write: file offset; truncate: new size */
    int64_t size;   /* bytes of data that follow */
    uint32_t nameSize;
    uint32_t name2Size;
    uint32_t flags; /* open: 1 created, 2 truncated, 4 the directory itself, 8 unnamed (O_TMPFILE) */
    uint32_t reserved;
};

#define MAX_FDS 4096

static pthread_mutex_t lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
static int initialised;
static int traceFd = -1;
static char dir[PATH_MAX];
/* Per descriptor: 0 not followed, 1 a file of the directory, 2 the directory. */
static unsigned char followed[MAX_FDS];

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static ssize_t realWrite(int fd, const void *data, size_t size)
{
    static ssize_t (*f)(int, const void *, size_t);
    if (!f)
        f = REAL(write);
    return f(fd, data, size);
}

static void writeAll(const void *data, size_t size)
{
    const char *p = data;
    while (size > 0) {
        const ssize_t n = realWrite(traceFd, p, size);
        if (n <= 0)
            return;
        p += n;
        size -= (size_t)n;
    }
}

static void init(void)
{
    if (initialised)
        return;
    initialised = 1;
    const char *d = getenv("WS_FSTRACE_DIR");
    const char *out = getenv("WS_FSTRACE_OUT");
    if (!d || !out || !realpath(d, dir))
        return;
    static int (*realOpen)(const char *, int, ...);
    realOpen = REAL(open);
    traceFd = realOpen(out, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

/* The name of `path` (relative to `at`) inside the followed directory, or
 * NULL; "." for the directory itself. */
static const char *nameIn(int at, const char *path, char *buffer)
{
    if (traceFd < 0 || !path)
        return NULL;
    char full[PATH_MAX];
    if (path[0] == '/') {
        if (strlen(path) >= sizeof full)
            return NULL;
        strcpy(full, path);
    } else {
        char base[PATH_MAX];
        if (at == AT_FDCWD) {
            if (!getcwd(base, sizeof base))
                return NULL;
        } else {
            char link[64];
            snprintf(link, sizeof link, "/proc/self/fd/%d", at);
            const ssize_t n = readlink(link, base, sizeof base - 1);
            if (n <= 0)
                return NULL;
            base[n] = 0;
        }
        if (strlen(base) + strlen(path) + 2 > sizeof full)
            return NULL;
        strcpy(full, base);
        strcat(full, "/");
        strcat(full, path);
    }
    char resolved[PATH_MAX];
    if (realpath(full, resolved) && strcmp(resolved, dir) == 0)
        return strcpy(buffer, ".");
    char *slash = strrchr(full, '/');
    if (!slash || !slash[1])
        return NULL;
    *slash = 0;
    if (!realpath(full[0] ? full : "/", resolved) || strcmp(resolved, dir) != 0)
        return NULL;
    return strcpy(buffer, slash + 1);
}

static void record(uint32_t op, int fd, int64_t offset, const void *data, int64_t size, const char *name,
                   const char *name2, uint32_t flags)
{
    struct Record r;
    memset(&r, 0, sizeof r);
    r.op = op;
    r.fd = fd;
    r.offset = offset;
    r.size = size;
    r.nameSize = name ? (uint32_t)strlen(name) : 0;
    r.name2Size = name2 ? (uint32_t)strlen(name2) : 0;
    r.flags = flags;
    writeAll(&r, sizeof r);
    if (r.nameSize)
        writeAll(name, r.nameSize);
    if (r.name2Size)
        writeAll(name2, r.name2Size);
    if (size > 0)
        writeAll(data, (size_t)size);
}

static int isFollowed(int fd)
{
    return fd >= 0 && fd < MAX_FDS && followed[fd];
}

static int traceOpen(int at, const char *path, int flags, mode_t mode, int (*call)(int, const char *, int, mode_t))
{
    pthread_mutex_lock(&lock);
    init();
    char buffer[PATH_MAX];
    const char *name = nameIn(at, path, buffer);
    struct stat st;
    const int existed = name && fstatat(at, path, &st, 0) == 0;
    const int fd = call(at, path, flags, mode);
    if (fd >= 0 && fd < MAX_FDS) {
        followed[fd] = 0;
        if (name && (flags & __O_TMPFILE) == __O_TMPFILE) {
            followed[fd] = 1;
            record(OpOpen, fd, 0, NULL, 0, NULL, NULL, 8);
        } else if (name) {
            const int isDir = strcmp(name, ".") == 0;
            followed[fd] = isDir ? 2 : 1;
            uint32_t how = isDir ? 4 : 0;
            if (!existed && (flags & O_CREAT))
                how |= 1;
            if (existed && (flags & O_TRUNC) && (flags & O_ACCMODE) != O_RDONLY)
                how |= 2;
            record(OpOpen, fd, 0, NULL, 0, name, NULL, how);
        }
    }
    pthread_mutex_unlock(&lock);
    return fd;
}

static int callOpenat(int at, const char *path, int flags, mode_t mode)
{
    static int (*f)(int, const char *, int, ...);
    if (!f)
        f = REAL(openat);
    return f(at, path, flags, mode);
}

#define OPEN_MODE(flags)                                                                                  \
    mode_t mode = 0;                                                                                      \
    if ((flags) & (O_CREAT | __O_TMPFILE)) {                                                              \
        va_list ap;                                                                                       \
        va_start(ap, flags);                                                                              \
        mode = va_arg(ap, mode_t);                                                                        \
        va_end(ap);                                                                                       \
    }

int open(const char *path, int flags, ...)
{
    OPEN_MODE(flags)
    return traceOpen(AT_FDCWD, path, flags, mode, callOpenat);
}

int open64(const char *path, int flags, ...)
{
    OPEN_MODE(flags)
    return traceOpen(AT_FDCWD, path, flags | O_LARGEFILE, mode, callOpenat);
}

int openat(int at, const char *path, int flags, ...)
{
    OPEN_MODE(flags)
    return traceOpen(at, path, flags, mode, callOpenat);
}

int openat64(int at, const char *path, int flags, ...)
{
    OPEN_MODE(flags)
    return traceOpen(at, path, flags | O_LARGEFILE, mode, callOpenat);
}

int __open_2(const char *path, int flags)
{
    return traceOpen(AT_FDCWD, path, flags, 0, callOpenat);
}

int __open64_2(const char *path, int flags)
{
    return traceOpen(AT_FDCWD, path, flags | O_LARGEFILE, 0, callOpenat);
}

int creat(const char *path, mode_t mode)
{
    return traceOpen(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode, callOpenat);
}

int creat64(const char *path, mode_t mode)
{
    return traceOpen(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC | O_LARGEFILE, mode, callOpenat);
}

ssize_t write(int fd, const void *data, size_t size)
{
    if (!isFollowed(fd))
        return realWrite(fd, data, size);
    pthread_mutex_lock(&lock);
    const off_t at = lseek(fd, 0, SEEK_CUR);
    const ssize_t n = realWrite(fd, data, size);
    if (n > 0)
        record(OpWrite, fd, at, data, n, NULL, NULL, 0);
    pthread_mutex_unlock(&lock);
    return n;
}

static ssize_t tracePwrite(int fd, const void *data, size_t size, off_t offset)
{
    static ssize_t (*f)(int, const void *, size_t, off_t);
    if (!f)
        f = (ssize_t (*)(int, const void *, size_t, off_t))dlsym(RTLD_NEXT, "pwrite64");
    if (!isFollowed(fd))
        return f(fd, data, size, offset);
    pthread_mutex_lock(&lock);
    const ssize_t n = f(fd, data, size, offset);
    if (n > 0)
        record(OpWrite, fd, offset, data, n, NULL, NULL, 0);
    pthread_mutex_unlock(&lock);
    return n;
}

ssize_t pwrite(int fd, const void *data, size_t size, off_t offset)
{
    return tracePwrite(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void *data, size_t size, off_t offset)
{
    return tracePwrite(fd, data, size, offset);
}

ssize_t writev(int fd, const struct iovec *iov, int count)
{
    static ssize_t (*f)(int, const struct iovec *, int);
    if (!f)
        f = REAL(writev);
    if (!isFollowed(fd))
        return f(fd, iov, count);
    pthread_mutex_lock(&lock);
    off_t at = lseek(fd, 0, SEEK_CUR);
    ssize_t n = f(fd, iov, count);
    ssize_t left = n;
    for (int i = 0; i < count && left > 0; ++i) {
        const ssize_t part = (ssize_t)iov[i].iov_len < left ? (ssize_t)iov[i].iov_len : left;
        record(OpWrite, fd, at, iov[i].iov_base, part, NULL, NULL, 0);
        at += part;
        left -= part;
    }
    pthread_mutex_unlock(&lock);
    return n;
}

static int traceTruncate(int fd, off_t size)
{
    static int (*f)(int, off_t);
    if (!f)
        f = (int (*)(int, off_t))dlsym(RTLD_NEXT, "ftruncate64");
    if (!isFollowed(fd))
        return f(fd, size);
    pthread_mutex_lock(&lock);
    const int rc = f(fd, size);
    if (rc == 0)
        record(OpTruncate, fd, size, NULL, 0, NULL, NULL, 0);
    pthread_mutex_unlock(&lock);
    return rc;
}

int ftruncate(int fd, off_t size)
{
    return traceTruncate(fd, size);
}

int ftruncate64(int fd, off_t size)
{
    return traceTruncate(fd, size);
}

static int traceSync(int fd, const char *which)
{
    int (*f)(int) = (int (*)(int))dlsym(RTLD_NEXT, which);
    if (!isFollowed(fd))
        return f(fd);
    pthread_mutex_lock(&lock);
    const int rc = f(fd);
    if (rc == 0)
        record(OpSync, fd, 0, NULL, 0, NULL, NULL, followed[fd] == 2 ? 4 : 0);
    pthread_mutex_unlock(&lock);
    return rc;
}

int fsync(int fd)
{
    return traceSync(fd, "fsync");
}

int fdatasync(int fd)
{
    return traceSync(fd, "fdatasync");
}

static int traceRename(int fromAt, const char *from, int toAt, const char *to, unsigned flags)
{
    static int (*f)(int, const char *, int, const char *, unsigned);
    if (!f)
        f = (int (*)(int, const char *, int, const char *, unsigned))dlsym(RTLD_NEXT, "renameat2");
    pthread_mutex_lock(&lock);
    init();
    char a[PATH_MAX], b[PATH_MAX];
    const char *fromName = nameIn(fromAt, from, a);
    const char *toName = nameIn(toAt, to, b);
    const int rc = f(fromAt, from, toAt, to, flags);
    if (rc == 0 && (fromName || toName))
        record(OpRename, -1, 0, NULL, 0, fromName ? fromName : "", toName ? toName : "", 0);
    pthread_mutex_unlock(&lock);
    return rc;
}

int rename(const char *from, const char *to)
{
    return traceRename(AT_FDCWD, from, AT_FDCWD, to, 0);
}

int renameat(int fromAt, const char *from, int toAt, const char *to)
{
    return traceRename(fromAt, from, toAt, to, 0);
}

int renameat2(int fromAt, const char *from, int toAt, const char *to, unsigned flags)
{
    return traceRename(fromAt, from, toAt, to, flags);
}

static int traceUnlink(int at, const char *path, int flags)
{
    static int (*f)(int, const char *, int);
    if (!f)
        f = REAL(unlinkat);
    pthread_mutex_lock(&lock);
    init();
    char buffer[PATH_MAX];
    const char *name = nameIn(at, path, buffer);
    const int rc = f(at, path, flags);
    if (rc == 0 && name)
        record(OpUnlink, -1, 0, NULL, 0, name, NULL, 0);
    pthread_mutex_unlock(&lock);
    return rc;
}

int unlink(const char *path)
{
    return traceUnlink(AT_FDCWD, path, 0);
}

int unlinkat(int at, const char *path, int flags)
{
    return traceUnlink(at, path, flags);
}

int close(int fd)
{
    static int (*f)(int);
    if (!f)
        f = REAL(close);
    if (!isFollowed(fd))
        return f(fd);
    pthread_mutex_lock(&lock);
    followed[fd] = 0;
    record(OpClose, fd, 0, NULL, 0, NULL, NULL, 0);
    const int rc = f(fd);
    pthread_mutex_unlock(&lock);
    return rc;
}

/* Qt names its unnamed temporary files with a link from /proc/self/fd. */
int linkat(int fromAt, const char *from, int toAt, const char *to, int flags)
{
    static int (*f)(int, const char *, int, const char *, int);
    if (!f)
        f = REAL(linkat);
    pthread_mutex_lock(&lock);
    init();
    char buffer[PATH_MAX];
    const char *name = nameIn(toAt, to, buffer);
    int source = -1;
    if (strncmp(from, "/proc/self/fd/", 14) == 0)
        source = atoi(from + 14);
    else if (!*from && (flags & AT_EMPTY_PATH))
        source = fromAt;
    const int rc = f(fromAt, from, toAt, to, flags);
    if (rc == 0 && name)
        record(OpLink, isFollowed(source) ? source : -1, 0, NULL, 0, name, NULL, 0);
    pthread_mutex_unlock(&lock);
    return rc;
}

/* A copy in the kernel: recorded as a write of the bytes it put there. */
ssize_t copy_file_range(int in, loff_t *inOffset, int out, loff_t *outOffset, size_t size, unsigned flags)
{
    static ssize_t (*f)(int, loff_t *, int, loff_t *, size_t, unsigned);
    if (!f)
        f = REAL(copy_file_range);
    if (!isFollowed(out))
        return f(in, inOffset, out, outOffset, size, flags);
    pthread_mutex_lock(&lock);
    const off_t at = outOffset ? *outOffset : lseek(out, 0, SEEK_CUR);
    const ssize_t n = f(in, inOffset, out, outOffset, size, flags);
    if (n > 0) {
        char *data = malloc((size_t)n);
        static ssize_t (*readAt)(int, void *, size_t, off_t);
        if (!readAt)
            readAt = (ssize_t (*)(int, void *, size_t, off_t))dlsym(RTLD_NEXT, "pread64");
        /* The descriptor may be write-only: read the bytes through another. */
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", out);
        static int (*realOpen)(const char *, int, ...);
        if (!realOpen)
            realOpen = REAL(open);
        const int fd = realOpen(link, O_RDONLY | O_CLOEXEC);
        if (data && fd >= 0 && readAt(fd, data, (size_t)n, at) == n)
            record(OpWrite, out, at, data, n, NULL, NULL, 0);
        else
            record(OpWrite, out, at, NULL, -1, NULL, NULL, 0); /* unknown bytes: the reader stops */
        if (fd >= 0) {
            static int (*realClose)(int);
            if (!realClose)
                realClose = REAL(close);
            realClose(fd);
        }
        free(data);
    }
    pthread_mutex_unlock(&lock);
    return n;
}
