#include "dbfixture.h"
#include "legacydata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>
#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

// data.db files the upgrade cannot simply write, through the real program:
// no crash, the failure in the log, and the file exactly as it was.
class tst_UpdateDataFiles : public QObject
{
    Q_OBJECT
private slots:
    void failedCopyStopsTheRun();
    void obstacles_data();
    void obstacles();
};

namespace {

enum Obstacle { NotADatabase, ReadOnly, LockedByWriter, LockedByReader, FileSizeLimit };

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
    QVERIFY2(text.contains("Warning: dbupdate/updatebase.cpp ( ")
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
    // No copy can be taken of a file that cannot be read: it is not upgraded.
    QTest::newRow("not a database") << int(NotADatabase) << 1
        << QByteArray("Warning: data.db: cannot be read for the backup (file is not a database");
    QTest::newRow("locked by a writer") << int(LockedByWriter) << 1
        << QByteArray("Warning: data.db: cannot be read for the backup (database is locked");
    // The statements fail into the log and the run goes on: nothing was written.
    QTest::newRow("read-only") << int(ReadOnly) << 0 << QByteArray("attempt to write a readonly database");
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
    if (obstacle == FileSizeLimit) {
        // The database rolls the interrupted commit back when it next opens the file.
        QCOMPARE(Legacy::contentDigest(data), digest);
        QCOMPARE(Fixture::rows(data, "select version from version"), QStringList({"2"}));
    } else {
        QCOMPARE(Fixture::readFile(data), before);
    }
    if (obstacle == NotADatabase)
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
