#include "updatebase_p.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <io.h>
#include <windows.h>

bool syncFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    return _commit(file.handle()) == 0;
}

// The system's reason for the last failed call, in its own words.
static QString systemError(DWORD code)
{
    wchar_t text[512] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        code, 0, text, DWORD(sizeof text / sizeof text[0]), nullptr);
    return QString::fromWCharArray(text, int(length)).trimmed();
}

// Refusals that another program's handle causes (a viewer, a virus scanner
// looking at the copy just closed) and that go away when it lets go.
static bool transientRefusal(DWORD code)
{
    return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

static const wchar_t *nativePath(const QString &path, QString *keep)
{
    *keep = QDir::toNativeSeparators(path);
    return reinterpret_cast<const wchar_t *>(keep->utf16());
}

bool replaceFile(const QString &source, const QString &target, QString *error)
{
    // Wide-character names: a data directory may have any name.
    QString sourceKeep;
    QString targetKeep;
    const wchar_t *from = nativePath(source, &sourceKeep);
    const wchar_t *to = nativePath(target, &targetKeep);

    // The copy carries the source's attributes, read-only among them; the
    // rename moves it as it is. A read-only earlier backup could be neither
    // replaced nor removed, and a read-only copy left by a failed rename not
    // removed either: each start would leave one more. Both are writable
    // while the rename is tried, and the copy gets its attributes back on
    // its new name.
    const DWORD sourceAttributes = GetFileAttributesW(from);
    if (sourceAttributes != INVALID_FILE_ATTRIBUTES && (sourceAttributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(from, sourceAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    const DWORD targetAttributes = GetFileAttributesW(to);
    if (targetAttributes != INVALID_FILE_ATTRIBUTES && (targetAttributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(to, targetAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY));

    // A handle without delete sharing on the earlier backup refuses the
    // replace; SQLite's own Windows layer retries such refusals too. About
    // a second in all, then the failure stands.
    DWORD code = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (attempt > 0)
            Sleep(100);
        if (MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            if (sourceAttributes != INVALID_FILE_ATTRIBUTES && (sourceAttributes & FILE_ATTRIBUTE_READONLY))
                SetFileAttributesW(to, sourceAttributes);
            return true;
        }
        code = GetLastError();
        if (!transientRefusal(code))
            break;
    }
    // The earlier backup stays as it was; the copy stays writable, so that
    // it can be removed.
    if (targetAttributes != INVALID_FILE_ATTRIBUTES && (targetAttributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(to, targetAttributes);
    *error = systemError(code);
    return false;
}

// SQLite's lock bytes start at 1 GiB in every database file and are never
// data: the page holding them stays unused. Other processes may hold
// byte-range locks there that forbid reading them, so the copy writes zeros.
static const qint64 lockBytesStart = 0x40000000;
static const qint64 lockBytesSize = 512;

// Copies the file `source` into the empty file `target`, except SQLite's
// lock bytes; the handles are opened sharing everything with SQLite's own.
static bool copyFileBytes(const QString &source, const QString &target, QString *error)
{
    const HANDLE in = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(source).utf16()),
                                  GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in == INVALID_HANDLE_VALUE) {
        *error = systemError(GetLastError());
        return false;
    }
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly)) {
        *error = out.errorString();
        CloseHandle(in);
        return false;
    }
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 offset = 0;
    bool ok = true;
    for (;;) {
        DWORD want = DWORD(buffer.size());
        if (offset < lockBytesStart && offset + want > lockBytesStart)
            want = DWORD(lockBytesStart - offset);
        if (offset == lockBytesStart) {
            // Skip the lock bytes; the file may also end inside them.
            LARGE_INTEGER size;
            if (!GetFileSizeEx(in, &size)) {
                *error = systemError(GetLastError());
                ok = false;
                break;
            }
            const qint64 zeros = qMin(lockBytesSize, size.QuadPart - offset);
            if (zeros <= 0)
                break;
            LARGE_INTEGER next;
            next.QuadPart = offset + zeros;
            if (out.write(QByteArray(int(zeros), '\0')) != zeros) {
                *error = out.errorString();
                ok = false;
                break;
            }
            if (!SetFilePointerEx(in, next, nullptr, FILE_BEGIN)) {
                *error = systemError(GetLastError());
                ok = false;
                break;
            }
            offset += zeros;
            continue;
        }
        DWORD got = 0;
        if (!ReadFile(in, buffer.data(), want, &got, nullptr)) {
            *error = systemError(GetLastError());
            ok = false;
            break;
        }
        if (got == 0)
            break;
        if (out.write(buffer.constData(), got) != qint64(got)) {
            *error = out.errorString();
            ok = false;
            break;
        }
        offset += got;
    }
    CloseHandle(in);
    out.close();
    if (ok && out.error() != QFileDevice::NoError) {
        *error = out.errorString();
        ok = false;
    }
    return ok;
}

bool copyDatabase(const QString &path, QString *error)
{
    // The driver's SQLite lives inside its plugin, out of this program's
    // reach: everything here goes through SQL.
    QSqlQuery query;
    if (!query.exec(QStringLiteral("pragma journal_mode")) || !query.next()) {
        *error = query.lastError().text();
        return false;
    }
    const bool wal = query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0;
    query.finish();
    if (wal) {
        // The file alone is not the database then: SQLite writes the copy,
        // log included, under one read transaction. No vacuum runs inside a
        // transaction, and the upgrade holds one: a reader of its own does
        // it, which a write-ahead log lets read beside the writer (who has
        // changed nothing yet).
        const QString reader = QStringLiteral("dbupdate-backup-reader");
        bool ok = false;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), reader);
            db.setDatabaseName(QSqlDatabase::database().databaseName());
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            if (!db.open()) {
                *error = db.lastError().text();
            } else {
                QSqlQuery vacuum(db);
                ok = vacuum.prepare(QStringLiteral("vacuum into ?"));
                if (ok) {
                    vacuum.addBindValue(path);
                    ok = vacuum.exec();
                }
                if (!ok)
                    *error = vacuum.lastError().text();
            }
        }
        QSqlDatabase::removeDatabase(reader);
        return ok;
    }

    if (!query.exec(QStringLiteral("pragma database_list"))) {
        *error = query.lastError().text();
        return false;
    }
    QString file;
    while (query.next()) {
        if (query.value(1).toString() == QLatin1String("main"))
            file = query.value(2).toString();
    }
    query.finish();
    if (file.isEmpty()) {
        *error = QStringLiteral("the database has no file");
        return false;
    }
    // The first read takes SQLite's shared lock (rolling back a journal a
    // killed writer left): no other process can write the file until the
    // transaction ends, so the bytes are a consistent snapshot.
    // Inside the upgrade's own write transaction the lock is held already.
    const bool own = !connectionInTransaction();
    if (own && !query.exec(QStringLiteral("begin"))) {
        *error = query.lastError().text();
        return false;
    }
    if (!query.exec(QStringLiteral("select count(*) from sqlite_master")) || !query.next()) {
        *error = query.lastError().text();
        query.finish();
        if (own)
            QSqlQuery(QStringLiteral("rollback"));
        return false;
    }
    query.finish();
    const bool ok = copyFileBytes(file, path, error);
    if (own)
        QSqlQuery(QStringLiteral("commit"));
    return ok;
}
