/*
 * Preloaded (LD_PRELOAD) into a program under test, this library sees every
 * statement the program hands to SQLite, without any hook in the program:
 *
 *   WS_SQLHOOK_TRACE=FILE   appends one line per prepared statement to FILE:
 *                           "<number>\t<database file name>\t<statement>", the
 *                           statement with '\\' written as "\\\\" and line
 *                           breaks as "\\n";
 *   WS_SQLHOOK_KILL_AT=N    sends the process SIGKILL just before its N-th
 *                           statement (counted from 1) is prepared;
 *   WS_SQLHOOK_LOCK_AT=TEXT just before the first statement containing TEXT
 *                           is prepared, a second connection takes an
 *                           exclusive lock on the same file, and lets it go
 *                           before the next statement: another program
 *                           writing at exactly that moment.
 *   WS_SQLHOOK_LOCK_UNTIL=N:NAME  from the program's first statement on a
 *                           database file named NAME, a second connection
 *                           holds an exclusive lock on it, and lets it go
 *                           just before the program's N-th statement:
 *                           another program that lets the file go in
 *                           mid-run.
 *   WS_SQLHOOK_WRITES=FILE  appends one line per write to a database file
 *                           (a file whose name holds ".db": the file, its
 *                           journal, a backup) to FILE: "<number>\t<number of
 *                           the last statement prepared>\t<file name>";
 *   WS_SQLHOOK_KILL_AT_WRITE=N  sends SIGKILL just before the N-th such write
 *                           (counted from 1) reaches the file.
 *
 * The tests use it to kill the upgrade program between any two of its
 * statements and inside a statement (in the middle of a commit), the
 * benchmark to replay its statements in the sqlite3 shell. Both counts are
 * deterministic for a single-threaded program given the same files.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static long counter;
static sqlite3 *locker;   /* the second connection while it holds its lock */
static int lockDone;
static int inLocker;      /* its own statements are not the program's */

static sqlite3 *holder;    /* WS_SQLHOOK_LOCK_UNTIL's connection */
static int holdDone;

/* Takes or releases the lock of WS_SQLHOOK_LOCK_UNTIL; see above. */
static void holdUntil(sqlite3 *db)
{
    const char *until = getenv("WS_SQLHOOK_LOCK_UNTIL");
    const char *name = until ? strchr(until, ':') : NULL;
    if (!name)
        return;
    ++name;
    if (holder && counter + 1 >= atol(until)) {
        sqlite3_exec(holder, "commit", NULL, NULL, NULL);
        sqlite3_close(holder);
        holder = NULL;
        return;
    }
    const char *file = db ? sqlite3_db_filename(db, "main") : NULL;
    const char *base = file && strrchr(file, '/') ? strrchr(file, '/') + 1 : file;
    if (holdDone || !base || strcmp(base, name) != 0 || counter + 1 >= atol(until))
        return;
    holdDone = 1;
    if (sqlite3_open(file, &holder) != SQLITE_OK
            || sqlite3_exec(holder, "begin exclusive", NULL, NULL, NULL) != SQLITE_OK) {
        sqlite3_close(holder);
        holder = NULL;
    }
}

/* Takes or releases the lock of WS_SQLHOOK_LOCK_AT; see above. */
static void lockAround(sqlite3 *db, const char *sql, size_t length)
{
    if (inLocker)
        return;
    inLocker = 1;
    holdUntil(db);
    if (locker) {
        sqlite3_exec(locker, "commit", NULL, NULL, NULL);
        sqlite3_close(locker);
        locker = NULL;
    }
    const char *text = getenv("WS_SQLHOOK_LOCK_AT");
    const char *file = db ? sqlite3_db_filename(db, "main") : NULL;
    if (!lockDone && text && *text && file && *file && memmem(sql, length, text, strlen(text))) {
        lockDone = 1;
        if (sqlite3_open(file, &locker) != SQLITE_OK
                || sqlite3_exec(locker, "begin exclusive", NULL, NULL, NULL) != SQLITE_OK) {
            sqlite3_close(locker);
            locker = NULL;
        }
    }
    inLocker = 0;
}
static long writes;

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

/* The trace's own writes bypass the hooks below. */
static void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = NEXT(write)(fd, data, size);
        if (n <= 0)
            return;
        data += n;
        size -= (size_t)n;
    }
}

/* Called with the statement as UTF-8; size < 0 means NUL-terminated. */
static void seen(sqlite3 *db, const char *sql, int size)
{
    if (inLocker)
        return;
    lockAround(db, sql, size < 0 ? strlen(sql) : strnlen(sql, (size_t)size));
    ++counter;
    const char *killAt = getenv("WS_SQLHOOK_KILL_AT");
    if (killAt && atol(killAt) == counter)
        kill(getpid(), SIGKILL);

    const char *trace = getenv("WS_SQLHOOK_TRACE");
    if (!trace || !*trace)
        return;
    const size_t length = size < 0 ? strlen(sql) : strnlen(sql, (size_t)size);
    char *line = malloc(length * 2 + 4096);
    if (!line)
        return;
    const char *file = db ? sqlite3_db_filename(db, "main") : NULL;
    const char *base = file && strrchr(file, '/') ? strrchr(file, '/') + 1 : (file ? file : "");
    size_t at = (size_t)snprintf(line, 4000, "%ld\t%s\t", counter, base);
    for (size_t i = 0; i < length; ++i) {
        if (sql[i] == '\\') {
            line[at++] = '\\';
            line[at++] = '\\';
        } else if (sql[i] == '\n') {
            line[at++] = '\\';
            line[at++] = 'n';
        } else {
            line[at++] = sql[i];
        }
    }
    line[at++] = '\n';
    const int fd = open(trace, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        writeAll(fd, line, at);
        close(fd);
    }
    free(line);
}

/* UTF-16 (native order) to UTF-8, for the driver's prepare16 calls. */
static char *toUtf8(const void *sql, int bytes)
{
    const unsigned short *s = sql;
    size_t units = 0;
    if (bytes < 0) {
        while (s[units])
            ++units;
    } else {
        while (units < (size_t)bytes / 2 && s[units])
            ++units;
    }
    char *out = malloc(units * 4 + 1);
    size_t at = 0;
    if (!out)
        return NULL;
    for (size_t i = 0; i < units; ++i) {
        unsigned c = s[i];
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < units) {
            c = 0x10000 + ((c - 0xd800) << 10) + (s[i + 1] - 0xdc00);
            ++i;
        }
        if (c < 0x80) {
            out[at++] = (char)c;
        } else if (c < 0x800) {
            out[at++] = (char)(0xc0 | (c >> 6));
            out[at++] = (char)(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out[at++] = (char)(0xe0 | (c >> 12));
            out[at++] = (char)(0x80 | ((c >> 6) & 0x3f));
            out[at++] = (char)(0x80 | (c & 0x3f));
        } else {
            out[at++] = (char)(0xf0 | (c >> 18));
            out[at++] = (char)(0x80 | ((c >> 12) & 0x3f));
            out[at++] = (char)(0x80 | ((c >> 6) & 0x3f));
            out[at++] = (char)(0x80 | (c & 0x3f));
        }
    }
    out[at] = 0;
    return out;
}

static void seen16(sqlite3 *db, const void *sql, int bytes)
{
    char *utf8 = toUtf8(sql, bytes);
    seen(db, utf8 ? utf8 : "", -1);
    free(utf8);
}

/* Counts (and traces, or dies at) a write to a database file. */
static void writing(int fd)
{
    const char *killAt = getenv("WS_SQLHOOK_KILL_AT_WRITE");
    const char *trace = getenv("WS_SQLHOOK_WRITES");
    if (!(killAt && *killAt) && !(trace && *trace))
        return;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t size = readlink(link, path, sizeof path - 1);
    if (size <= 0)
        return;
    path[size] = 0;
    const char *base = strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
    if (!strstr(base, ".db"))
        return;
    ++writes;
    if (killAt && atol(killAt) == writes)
        kill(getpid(), SIGKILL);
    if (!trace || !*trace)
        return;
    char line[4200];
    const int length = snprintf(line, sizeof line, "%ld\t%ld\t%s\n", writes, counter, base);
    const int out = open(trace, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0 && length > 0) {
        writeAll(out, line, (size_t)length < sizeof line ? (size_t)length : sizeof line - 1);
        close(out);
    }
}

ssize_t write(int fd, const void *data, size_t size)
{
    writing(fd);
    return NEXT(write)(fd, data, size);
}

ssize_t pwrite(int fd, const void *data, size_t size, off_t offset)
{
    writing(fd);
    return NEXT(pwrite)(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void *data, size_t size, off64_t offset)
{
    writing(fd);
    return NEXT(pwrite64)(fd, data, size, offset);
}

int sqlite3_prepare_v2(sqlite3 *db, const char *sql, int bytes, sqlite3_stmt **stmt,
                       const char **tail)
{
    seen(db, sql, bytes);
    return NEXT(sqlite3_prepare_v2)(db, sql, bytes, stmt, tail);
}

int sqlite3_prepare_v3(sqlite3 *db, const char *sql, int bytes, unsigned int flags,
                       sqlite3_stmt **stmt, const char **tail)
{
    seen(db, sql, bytes);
    return NEXT(sqlite3_prepare_v3)(db, sql, bytes, flags, stmt, tail);
}

int sqlite3_prepare16_v2(sqlite3 *db, const void *sql, int bytes, sqlite3_stmt **stmt,
                         const void **tail)
{
    seen16(db, sql, bytes);
    return NEXT(sqlite3_prepare16_v2)(db, sql, bytes, stmt, tail);
}

int sqlite3_prepare16_v3(sqlite3 *db, const void *sql, int bytes, unsigned int flags,
                         sqlite3_stmt **stmt, const void **tail)
{
    seen16(db, sql, bytes);
    return NEXT(sqlite3_prepare16_v3)(db, sql, bytes, flags, stmt, tail);
}
