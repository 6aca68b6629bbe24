#include "dbfixture.h"
#include "legacydata.h"
#include "profilefixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

#include <functional>
#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

// data.db files the upgrade cannot simply write, through the real program:
// no crash, the failure in the log, and the file exactly as it was.
class tst_UpdateDataFiles : public QObject
{
    Q_OBJECT
private slots:
    void everyRowOrNothing_data();
    void everyRowOrNothing();
    void failedCopyStopsTheRun();
    void obstacles_data();
    void obstacles();
};

namespace {

enum Obstacle { NotADatabase, FolderInPlace, ReadOnly, LockedByWriter, LockedByReader, FileSizeLimit, LockedUntil, SiteFiles, None };

struct Result {
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
};

Result run(const QString &dir, const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, arguments);
    Result r;
    if (!p.waitForFinished(-1))
        return r;
    r.exitCode = p.exitCode();
    r.status = p.exitStatus();
    return r;
}

// Another process's connection holding a lock on a file for its lifetime.
class Lock
{
public:
    Lock(const QString &file, const char *sql)
    {
        if (sqlite3_open(QFile::encodeName(file).constData(), &m_db) == SQLITE_OK)
            m_ok = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Lock() { release(); }
    bool isValid() const { return m_ok; }
    void release()
    {
        if (m_db)
            sqlite3_exec(m_db, "rollback", nullptr, nullptr, nullptr);
        sqlite3_close(m_db);
        m_db = nullptr;
    }

private:
    sqlite3 *m_db = nullptr;
    bool m_ok = false;
};

} // namespace

namespace {

// What a row of the matrix expects: the upgrade, its refusal, or either
// (a lock let go in mid-run: the invariant alone decides).
enum Outcome { Upgraded, Refused, Either };

// The columns of `table` in the schema `schema` of a comparison.
QStringList columnsOf(const Legacy::Comparison &c, const QString &schema, const QString &table)
{
    return c.rows(QStringLiteral("select name from pragma_table_info('%1', '%2')").arg(table, schema));
}

// Rows of old.`from` that main.`to` does not hold with the same values in
// their common columns (the conversions add columns, never drop them).
int lost(const Legacy::Comparison &c, const QString &to, const QString &from)
{
    const QStringList now = columnsOf(c, QStringLiteral("main"), to);
    QStringList common;
    for (const QString &column : columnsOf(c, QStringLiteral("old"), from)) {
        if (now.contains(column, Qt::CaseInsensitive) && column.compare(QLatin1String("version"), Qt::CaseInsensitive))
            common << column;
    }
    if (common.isEmpty())
        return -1;
    const QString cols = common.join(QLatin1String(", "));
    return c.scalar(QStringLiteral("select count(*) from (select %1 from old.%2 except select %1 from main.%3)")
                        .arg(cols, from, to)).toInt();
}

} // namespace

void tst_UpdateDataFiles::everyRowOrNothing_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("from");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("obstacle");
    QTest::addColumn<int>("until");
    QTest::addColumn<int>("outcome");

    // A table the result conversion copies, rebuilt as another program
    // might have made it: without its key, so that ids may repeat or be text.
    const QString keyless = QStringLiteral(
        "pragma legacy_alter_table = on; create table t_copy as select * from %1; drop table %1;"
        " alter table t_copy rename to %1;");
    const struct { const char *name; int obstacle; } obstacles[] = {
        {"write lock for the whole run", LockedByWriter}, {"read-only file", ReadOnly},
        {"site files beside the backups", SiteFiles},
    };
    const char *const versionTables[][2] = {
        {"empty version table", "delete from version;"},
        {"NULL version", "update version set version = NULL;"},
        {"text version", "update version set version = 'two';"},
        {"second version row", "insert into version select max(version) - 1 from version;"},
        {"version table with a second column", "alter table version add column note text;"},
    };

    // The rows every file and version gets; `row` adds one more.
    using Row = std::function<void(const char *, const QString &, int, int)>;
    const auto rowsFor = [&](const char *file, int from) {
        const Row row = [file, from](const char *what, const QString &script, int obstacle, int outcome) {
            QTest::addRow("%s v%d, %s", file, from, what)
                << QString::fromLatin1(file) << from << script << obstacle << 0 << outcome;
        };
        row("as written", QString(), None, Upgraded);
        for (const auto &o : obstacles)
            row(o.name, QString(), o.obstacle, o.obstacle == SiteFiles ? Upgraded : Refused);
        for (const auto &v : versionTables) {
            if (from > 0)
                row(v[0], QLatin1String(v[1]), None, Upgraded);
        }
        return row;
    };

    for (const int from : {0, 2, 3, 4}) {
        const Row row = rowsFor("data.db", from);
        if (from == 0) {
            row("empty version table", QStringLiteral("create table version(version integer);"), None, Upgraded);
            // A lookup list without a column: copied by name, nothing lost.
            row("doctor without its name column", QStringLiteral("alter table doctor drop column name;"), None, Upgraded);
            row("two sex rows with one id", keyless.arg(QLatin1String("sex"))
                + QStringLiteral("insert into sex select * from sex limit 1;"), None, Refused);
        }
        if (from >= 3)
            continue;
        // Each table the result conversion copies, missing a column it names.
        row("result without upperMarkLimit", QStringLiteral("alter table result drop column upperMarkLimit;"), None, Refused);
        row("curve without item", QStringLiteral("alter table curve drop column item;"), None, Refused);
        if (from >= 1)
            row("detail without info", QStringLiteral("alter table detail drop column info;"), None, Refused);
        for (const char *table : {"result", "curve"}) {
            row(qPrintable(QStringLiteral("%1 with a repeated id").arg(QLatin1String(table))),
                QStringLiteral("drop index if exists result_index;") + keyless.arg(QLatin1String(table))
                    + QStringLiteral("insert into %1 select * from %1 limit 1;").arg(QLatin1String(table)),
                None, Refused);
            row(qPrintable(QStringLiteral("%1 with a text id").arg(QLatin1String(table))),
                QStringLiteral("drop index if exists result_index;") + keyless.arg(QLatin1String(table))
                    + QStringLiteral("update %1 set id = 'R' || id where rowid = 1;").arg(QLatin1String(table)),
                None, Refused);
        }
    }
#ifdef SQLHOOK_LIB
    // Another program holds data.db from its first statement until just
    // before statement k of the run, for each k around the upgrade's start.
    for (int k = 1; k <= 6; ++k) {
        QTest::addRow("data.db v4, held until statement %d of data.db", k)
            << QStringLiteral("data.db") << 4 << QString() << int(LockedUntil) << k << int(Either);
    }
#endif

    for (int from = 0; from <= 3; ++from) {
        const Row row = rowsFor("profile.db", from);
        if (from == 0) {
            row("user without hide", QStringLiteral("alter table user drop column hide;"), None, Upgraded);
            row("two users with one id", keyless.arg(QLatin1String("user"))
                + QStringLiteral("insert into user select * from user limit 1;"), None, Refused);
            row("a user with a text id", keyless.arg(QLatin1String("user"))
                + QStringLiteral("update user set id = 'U' || id where rowid = 1;"), None, Refused);
        }
    }
}

void tst_UpdateDataFiles::everyRowOrNothing()
{
    QFETCH(QString, file);
    QFETCH(int, from);
    QFETCH(QString, script);
    QFETCH(int, obstacle);
    QFETCH(int, until);
    QFETCH(int, outcome);
    QTemporaryDir dir;
    const bool data = file == QLatin1String("data.db");
    const QString path = dir.filePath(file);
    if (data) {
        QVERIFY(Legacy::layProfile(dir.path()));
        QCOMPARE(Fixture::runDbupdate(dir.path()).exitCode, 0); // profile.db current, out of the way
        for (const char *other : {"data.db", "qc.db", "syslog.db"})
            QFile::remove(dir.filePath(QLatin1String(other)));
        QVERIFY(Legacy::createData(path, from));
        QVERIFY(Legacy::addBulkData(path, from, 30, 40));
    } else {
        QVERIFY(ProfileFixture::make(path, from));
    }
    if (!script.isEmpty())
        QVERIFY(Fixture::runScript(path, script));
    const QString old = dir.filePath(QStringLiteral("before.db"));
    QVERIFY(QFile::copy(path, old));
    const QByteArray before = Fixture::readFile(path);
    const QStringList site = {file + QStringLiteral(".v%1.bak.before").arg(from),
                              file.toUpper() + QStringLiteral(".V%1.BAK.partial-abc123").arg(from)};
    const QString log = dir.filePath(QStringLiteral("update.log"));

    Result r;
    QScopedPointer<Lock> lock;
    QString program = QStringLiteral(DBUPDATE_BIN);
    QStringList arguments = {log};
    switch (obstacle) {
    case LockedByWriter:
        lock.reset(new Lock(path, "begin immediate"));
        QVERIFY(lock->isValid());
        break;
    case ReadOnly:
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
#ifdef Q_OS_UNIX
        if (geteuid() == 0) {
            if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
                QSKIP("running as root without setpriv");
            // Permissions do not stop root: nobody runs it, in a directory
            // and beside files nobody may write but this one.
            QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                          | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther));
            for (const QString &name : QDir(dir.path()).entryList(QDir::Files)) {
                if (name != file)
                    QVERIFY(QFile::setPermissions(dir.filePath(name), QFile::ReadOwner | QFile::WriteOwner
                                                  | QFile::ReadOther | QFile::WriteOther));
            }
            arguments = QStringList({"--reuid=65534", "--regid=65534", "--clear-groups", program, log});
            program = QStringLiteral("setpriv");
        }
#else
        if (QFile(path).open(QIODevice::ReadWrite))
            QSKIP("the read-only attribute does not stop this process (Wine run as root)");
#endif
        break;
    case SiteFiles:
        for (const QString &name : site)
            QVERIFY(Fixture::writeFile(dir.filePath(name), "the site's own"));
        break;
    case LockedUntil:
#ifdef SQLHOOK_LIB
        qputenv("LD_PRELOAD", SQLHOOK_LIB);
        qputenv("WS_SQLHOOK_LOCK_UNTIL", QByteArray::number(until) + ':' + file.toUtf8());
#else
        Q_UNUSED(until)
#endif
        break;
    default:
        break;
    }
    r = run(dir.path(), program, arguments);
    qunsetenv("LD_PRELOAD");
    qunsetenv("WS_SQLHOOK_LOCK_UNTIL");
    if (lock)
        lock->release();
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    const QByteArray text = Fixture::readLog(log);
    QCOMPARE(r.status, QProcess::NormalExit);
    QVERIFY2(r.exitCode == 0 || r.exitCode == 1, text.constData());
    if (outcome != Either)
        QVERIFY2(r.exitCode == (outcome == Upgraded ? 0 : 1), text.constData());

    if (r.exitCode == 1) {
        // Refused: the file as it was, and a line that says why.
        QVERIFY2(Fixture::readFile(path) == before, text.constData());
        QVERIFY2(text.contains(file.toUtf8() + " is not upgraded in this run\n"), text.constData());
        return;
    }
    // Upgraded: the current version, once, and every row of the old file.
    QCOMPARE(Fixture::rows(path, "select version from version"), QStringList({data ? "5" : "4"}));
    Legacy::Comparison compare(path, old);
    QVERIFY(compare.isValid());
    if (data) {
        for (const char *table : {"department", "sex", "treatmentRoom", "diagnosis", "doctor", "operator", "patient"})
            QVERIFY2(lost(compare, QLatin1String(table), QLatin1String(table)) == 0, table);
        if (from < 3) {
            QCOMPARE(lost(compare, QStringLiteral("results"), QStringLiteral("result")), 0);
            QCOMPARE(compare.differences("select id from main.result", "select id from old.result"), 0);
        } else {
            QCOMPARE(lost(compare, QStringLiteral("results"), QStringLiteral("results")), 0);
            QCOMPARE(lost(compare, QStringLiteral("checkedResult"), QStringLiteral("checkedResult")), 0);
        }
        QCOMPARE(lost(compare, QStringLiteral("curve"), QStringLiteral("curve")), 0);
        if (from >= 1)
            QCOMPARE(lost(compare, QStringLiteral("detail"), QStringLiteral("detail")), 0);
        // Never converted twice: a version-3 file's curves keep their versions.
        if (from >= 3)
            QCOMPARE(compare.differences("select id, version from main.curve", "select id, version from old.curve"), 0);
    } else {
        QCOMPARE(lost(compare, QStringLiteral("user"), QStringLiteral("user")), 0);
        QCOMPARE(compare.differences("select id, name from main.curve", "select id, name from old.curve"), 0);
        // A file at version 2 or above keeps its site's settings.
        if (from >= 2)
            QCOMPARE(lost(compare, QStringLiteral("reagent"), QStringLiteral("reagent")), 0);
    }
    for (const QString &name : site) {
        if (obstacle == SiteFiles)
            QCOMPARE(Fixture::readFile(dir.filePath(name)), QByteArray("the site's own"));
    }
}

void tst_UpdateDataFiles::failedCopyStopsTheRun()
{
    // A department list from another program, with a column of its own.
    QTemporaryDir dir;
    QVERIFY(Legacy::layProfile(dir.path()));
    const QString data = dir.filePath(QStringLiteral("data.db"));
    QVERIFY(Legacy::createData(data, 0));
    QVERIFY(Fixture::runScript(data, "alter table department add phone text;"));
    const QByteArray before = Fixture::readFile(data);
    const QString log = dir.filePath(QStringLiteral("update.log"));

    const Fixture::Run r = Fixture::runDbupdate(dir.path(), {log});
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(Fixture::readFile(data), before);
    // The run stopped at data.db: the files after it are not even created.
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("profile.db"))));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("qc.db"))));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("syslog.db"))));
    const QByteArray text = Fixture::readLog(log);
    QVERIFY2(text.contains("Warning: dbupdate/updatebase_copy.cpp ( ")
             && text.contains("table department has no column named phone")
             && text.contains("department_bak row 1 could not be copied into department: "),
             text.constData());

    // Once the column is gone the next start upgrades the file.
    QVERIFY(Fixture::runScript(data, "alter table department drop column phone;"));
    QCOMPARE(Fixture::runDbupdate(dir.path(), {log}).exitCode, 0);
    QCOMPARE(Fixture::rows(data, "select version from version"), QStringList({"5"}));
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("syslog.db"))));
}

void tst_UpdateDataFiles::obstacles_data()
{
    QTest::addColumn<int>("obstacle");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("logged");
    // A file that cannot be read, or that another program holds, fails at
    // once: nothing is tried on it.
    QTest::newRow("not a database") << int(NotADatabase) << 1
        << QByteArray("Warning: data.db cannot be read (file is not a database); data.db is not upgraded in this run\n");
    QTest::newRow("a folder named data.db") << int(FolderInPlace) << 1
        << QByteArray("Warning: Can't open data.db: ");
    QTest::newRow("locked by a writer") << int(LockedByWriter) << 1
        << QByteArray("Warning: data.db is in use by another program (database is locked); "
                      "data.db is not upgraded in this run\n");
    // A write that fails is no goal that holds: the upgrade stops.
    QTest::newRow("read-only") << int(ReadOnly) << 1 << QByteArray("attempt to write a readonly database");
    // The changes were made but could not be committed: the upgrade failed.
    QTest::newRow("read by another process") << int(LockedByReader) << 1
        << QByteArray("database is locked Unable to fetch row : [ commit transaction ] ");
    QTest::newRow("disk full") << int(FileSizeLimit) << 1 << QByteArray("Warning: dbupdate/updatedata.cpp");
}

void tst_UpdateDataFiles::obstacles()
{
    QFETCH(int, obstacle);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, logged);
    QTemporaryDir dir;
    QVERIFY(Legacy::layProfile(dir.path()));
    const QString data = dir.filePath(QStringLiteral("data.db"));
    const QString log = dir.filePath(QStringLiteral("update.log"));
    QString program = QStringLiteral(DBUPDATE_BIN);
    QStringList arguments = {log};
    QScopedPointer<Lock> lock;

    if (obstacle == NotADatabase) {
        QVERIFY(Fixture::writeFile(data, QByteArray("Patient list, exported 2014-02-11\n").repeated(300)));
    } else if (obstacle == FolderInPlace) {
        QVERIFY(QDir().mkpath(data));
    } else {
        QVERIFY(Legacy::createData(data, 2));
        // Enough curves that the upgrade's writes outgrow the limit below.
        QVERIFY(Legacy::addBulkData(data, 2, obstacle == FileSizeLimit ? 300 : 10, 300));
    }
    const QByteArray before = Fixture::readFile(data);
    const QByteArray digest = obstacle == FileSizeLimit ? Legacy::contentDigest(data) : QByteArray();

    switch (obstacle) {
    case ReadOnly:
        QVERIFY(QFile::setPermissions(data, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
#ifdef Q_OS_UNIX
        if (geteuid() == 0) {
            // Permissions do not stop root: run the program as nobody.
            const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
            if (setpriv.isEmpty())
                QSKIP("running as root without setpriv");
            QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                          | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther));
            // Only data.db is read-only: profile.db, upgraded first, must be writable.
            QVERIFY(QFile::setPermissions(dir.filePath(QStringLiteral("profile.db")),
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::WriteOther));
            arguments = QStringList({"--reuid=65534", "--regid=65534", "--clear-groups", program, log});
            program = setpriv;
        }
#else
        if (QFile(data).open(QIODevice::ReadWrite))
            QSKIP("the read-only attribute does not stop this process (Wine run as root)");
#endif
        break;
    case LockedByWriter:
        lock.reset(new Lock(data, "begin exclusive"));
        QVERIFY(lock->isValid());
        break;
    case LockedByReader:
        lock.reset(new Lock(data, "begin; select count(*) from patient;"));
        QVERIFY(lock->isValid());
        break;
    case FileSizeLimit:
        if (QStandardPaths::findExecutable(QStringLiteral("prlimit")).isEmpty())
            QSKIP("no prlimit to limit the file size");
        // No file may grow beyond the size data.db has now; the program
        // gets the write error instead of the signal.
        arguments = QStringList({"-c", "trap '' XFSZ; exec prlimit --fsize=$0 \"$1\" \"$2\"",
                                 QString::number(before.size() + 4096), program, log});
        program = QStringLiteral("/bin/sh");
        break;
    default:
        break;
    }

    const Result r = run(dir.path(), program, arguments);
    if (lock)
        lock->release();
    const QByteArray text = Fixture::readLog(log);
    QCOMPARE(r.status, QProcess::NormalExit);
    QVERIFY2(r.exitCode == exitCode, text.constData());
    QVERIFY2(text.contains(logged), text.constData());
    QVERIFY2(!text.contains("Critical") || obstacle == FileSizeLimit, text.constData());
    // The run goes on past data.db only when it reports success.
    QCOMPARE(QFileInfo::exists(dir.filePath(QStringLiteral("syslog.db"))), exitCode == 0);
    QVERIFY2(exitCode == 0 || text.contains("; data.db is not upgraded in this run\n"), text.constData());
    // Played back at once: no journal left to keep the disk full.
    QVERIFY(!QFileInfo::exists(data + QStringLiteral("-journal")));
    if (obstacle == FileSizeLimit) {
        QCOMPARE(Legacy::contentDigest(data), digest);
        QCOMPARE(Fixture::rows(data, "select version from version"), QStringList({"2"}));
    } else {
        QCOMPARE(Fixture::readFile(data), before);
    }
    if (obstacle == FolderInPlace) {
        // One line, and no statement tried on it.
        QCOMPARE(text.count("data.db"), 2);
        QVERIFY2(text.contains("; data.db is not upgraded in this run\n"), text.constData());
    }
    if (obstacle == NotADatabase || obstacle == FolderInPlace)
        return;

    // Without the obstacle, the next start upgrades the file.
    QVERIFY(QFile::setPermissions(data, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    QCOMPARE(Fixture::runDbupdate(dir.path(), {log}).exitCode, 0);
    QCOMPARE(Fixture::rows(data, "select version from version"), QStringList({"5"}));
    QCOMPARE(Fixture::scalar(data, "select count(*) from checkedResult").toInt(),
             Fixture::scalar(data, "select count(*) from results").toInt());
}

QTEST_GUILESS_MAIN(tst_UpdateDataFiles)
#include "tst_updatedata_files.moc"
