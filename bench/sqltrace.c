/* Preloaded into dbupdate by bench/noop_startup.sh: writes every database the
 * program opens and every statement it prepares to the file named by
 * SQLTRACE_OUT, so the sqlite3 shell can be timed on exactly the same work. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>

static FILE *out(void)
{
    static FILE *f;
    if (!f) {
        const char *path = getenv("SQLTRACE_OUT");
        f = fopen(path ? path : "/dev/null", "a");
    }
    return f;
}

int sqlite3_open_v2(const char *name, sqlite3 **db, int flags, const char *vfs)
{
    static int (*real)(const char *, sqlite3 **, int, const char *);
    if (!real)
        real = (int (*)(const char *, sqlite3 **, int, const char *))dlsym(RTLD_NEXT, "sqlite3_open_v2");
    fprintf(out(), ".open %s\n", name);
    fflush(out());
    return real(name, db, flags, vfs);
}

int sqlite3_prepare16_v2(sqlite3 *db, const void *sql, int bytes, sqlite3_stmt **stmt, const void **tail)
{
    static int (*real)(sqlite3 *, const void *, int, sqlite3_stmt **, const void **);
    if (!real)
        real = (int (*)(sqlite3 *, const void *, int, sqlite3_stmt **, const void **))dlsym(RTLD_NEXT, "sqlite3_prepare16_v2");
    int rc = real(db, sql, bytes, stmt, tail);
    if (rc == SQLITE_OK && *stmt) {
        const char *text = sqlite3_sql(*stmt);
        if (text)
            fprintf(out(), "%s;\n", text);
        fflush(out());
    }
    return rc;
}
