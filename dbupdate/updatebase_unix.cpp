#include "updatebase_p.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

bool syncFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    return fsync(file.handle()) == 0;
}

bool replaceFile(const QString &source, const QString &target, QString *error)
{
    if (std::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // The rename itself is durable only once the directory is.
    const int dir = ::open(QFile::encodeName(QFileInfo(target).absolutePath()).constData(), O_RDONLY);
    if (dir >= 0) {
        fsync(dir);
        ::close(dir);
    }
    return true;
}

// The default connection's SQLite handle, or null when it has none.
static sqlite3 *defaultHandle()
{
    const QVariant handle = QSqlDatabase::database().driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.data());
}

// Copies every page of the default connection's database into the empty
// file `path`. One step under one read transaction: the copy is a snapshot
// even while another process writes, and costs what reading the pages does
// (no rebuild of tables and indexes).
static bool copyPages(const QString &path, QString *error)
{
    sqlite3 *db = defaultHandle();
    if (!db) {
        *error = QStringLiteral("the database is not open");
        return false;
    }
    // Read through a connection of its own: SQLite copies no pages from a
    // connection in a write transaction, and the upgrade holds one. With a
    // write-ahead log a reader does not wait for that writer, and since the
    // writer has changed nothing yet the reader sees the file as it is.
    sqlite3 *source = db;
    sqlite3 *reader = nullptr;
    if (!sqlite3_get_autocommit(db)) {
        if (sqlite3_open_v2(sqlite3_db_filename(db, "main"), &reader, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            *error = QString::fromUtf8(sqlite3_errmsg(reader));
            sqlite3_close(reader);
            return false;
        }
        source = reader;
    }
    struct CloseReader {
        sqlite3 *db;
        ~CloseReader() { sqlite3_close(db); }
    } closeReader{reader};
    sqlite3 *copy = nullptr;
    const QByteArray name = QFile::encodeName(path);
    int rc = sqlite3_open_v2(name.constData(), &copy, SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK) {
        // The copy is a new file that nobody reads until it is renamed: no
        // journal beside it, and one flush of the whole file afterwards.
        rc = sqlite3_exec(copy, "pragma journal_mode = off; pragma synchronous = off", nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK) {
        sqlite3_backup *backup = sqlite3_backup_init(copy, "main", source, "main");
        if (!backup) {
            rc = sqlite3_errcode(copy);
        } else {
            rc = sqlite3_backup_step(backup, -1);
            const int finished = sqlite3_backup_finish(backup);
            if (rc == SQLITE_DONE)
                rc = finished;
        }
    }
    if (rc != SQLITE_OK) {
        // SQLite leaves the error of a copy, the source's read included, on
        // the copy's connection.
        *error = QString::fromUtf8(copy && sqlite3_errcode(copy) == rc ? sqlite3_errmsg(copy) : sqlite3_errstr(rc));
    }
    if (sqlite3_close(copy) != SQLITE_OK && rc == SQLITE_OK) {
        *error = QStringLiteral("the copy could not be closed");
        return false;
    }
    return rc == SQLITE_OK;
}

// True when the default connection's database keeps a write-ahead log:
// its file alone is then not the database.
static bool keepsLog(sqlite3 *db)
{
    sqlite3_stmt *stmt = nullptr;
    bool wal = false;
    if (sqlite3_prepare_v2(db, "pragma journal_mode", -1, &stmt, nullptr) == SQLITE_OK
            && sqlite3_step(stmt) == SQLITE_ROW)
        wal = qstricmp(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)), "wal") == 0;
    sqlite3_finalize(stmt);
    return wal;
}

// Copies the bytes of `in` to `out` (both at their start); false with
// `error` set when reading or writing fails.
static bool copyBytes(QFile &in, QFile &out, QString *error)
{
#ifdef Q_OS_LINUX
    // In the kernel, without passing every byte through the process.
    loff_t from = 0;
    loff_t to = 0;
    for (;;) {
        const ssize_t n = copy_file_range(in.handle(), &from, out.handle(), &to, 1 << 30, 0);
        if (n == 0)
            return true;
        if (n > 0)
            continue;
        if (errno == EINTR)
            continue;
        if (from == 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP))
            break; // not between these files: the portable way below
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
#endif
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(buffer.data(), buffer.size());
        if (n < 0) {
            *error = in.errorString();
            return false;
        }
        if (n == 0) {
            if (out.flush())
                return true;
            *error = out.errorString();
            return false;
        }
        if (out.write(buffer.constData(), n) != n) {
            *error = out.errorString();
            return false;
        }
    }
}

// Copies the default connection's database file into the empty file `path`
// while the connection holds a read transaction: no other process can write
// the file meanwhile (a writer needs every reader gone), so the bytes are a
// consistent snapshot, copied at the speed of the file system.
static bool copyFileUnderRead(sqlite3 *db, const QString &path, QString *error)
{
    // The read lock is taken by the first read; a journal left by a killed
    // writer is rolled back by it first. Inside the upgrade's own write
    // transaction the lock is held already, and nobody else can write.
    const bool own = sqlite3_get_autocommit(db) != 0;
    if (own && sqlite3_exec(db, "begin; select count(*) from sqlite_master", nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = QString::fromUtf8(sqlite3_errmsg(db));
        if (!sqlite3_get_autocommit(db))
            sqlite3_exec(db, "rollback", nullptr, nullptr, nullptr);
        return false;
    }
    QFile in(QString::fromUtf8(sqlite3_db_filename(db, "main")));
    QFile out(path);
    bool ok = false;
    if (!in.open(QIODevice::ReadOnly))
        *error = in.errorString();
    else if (!out.open(QIODevice::WriteOnly))
        *error = out.errorString();
    else
        ok = copyBytes(in, out, error);
    if (own)
        sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
    // Closed only after the transaction ended: on POSIX systems closing any
    // descriptor of the file drops the process's locks on it, SQLite's
    // read lock included.
    in.close();
    if (out.isOpen()) {
        out.close();
        if (ok && out.error() != QFileDevice::NoError) {
            *error = out.errorString();
            ok = false;
        }
    }
    return ok;
}

bool copyDatabase(const QString &path, QString *error)
{
    // A database with a write-ahead log is copied page by page, one
    // without (the upgrade's files) as a file, which costs less.
    sqlite3 *db = defaultHandle();
    if (!db) {
        *error = QStringLiteral("the database is not open");
        return false;
    }
    return keepsLog(db) ? copyPages(path, error) : copyFileUnderRead(db, path, error);
}
