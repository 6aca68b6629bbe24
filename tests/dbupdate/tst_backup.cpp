#include "dbfixture.h"
#include "legacydata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <thread>
#include <windows.h>
#endif

// The copy taken before a schema change and the status report, through the
// real program.
class tst_Backup : public QObject
{
    Q_OBJECT
private slots:
    void backupBeforeUpgrade_data();
    void backupBeforeUpgrade();
    void secondRunWritesNoBackup();
    void unwritableDirectory_data();
    void unwritableDirectory();
    void earlierCopyReadOnlyOrHeld_data();
    void earlierCopyReadOnlyOrHeld();
    void statusChangesNothing_data();
    void statusChangesNothing();
};

namespace {

const char *const databases[] = { "profile.db", "data.db", "qc.db", "syslog.db" };

QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}

// The whole file as the sqlite3 shell dumps it (schema text and every row)
// and its user_version: what a restore would bring back.
QByteArray shellDump(const QString &file)
{
    // Without the shell (on Windows) the tests' own SQLite reads the same.
    if (QStandardPaths::findExecutable(QStringLiteral("sqlite3")).isEmpty()) {
        const QByteArray content = Legacy::contentDigest(file);
        const QStringList version = Fixture::rows(file, QStringLiteral("pragma user_version"));
        return content.isEmpty() ? QByteArray() : content + " user_version " + version.join(QLatin1Char(',')).toUtf8();
    }
    QProcess p;
    p.start(QStringLiteral("sqlite3"), {QStringLiteral("-readonly"), file,
                                         QStringLiteral(".dump"), QStringLiteral("pragma user_version;")});
    if (!p.waitForFinished(-1) || p.exitCode() != 0)
        return QByteArray();
    return p.readAllStandardOutput();
}

// Lays a data directory: the sample site's profile.db, upgraded to the
// current version first when `profileCurrent`, and data.db at `dataVersion`.
bool layDirectory(const QString &dir, bool profileCurrent, int dataVersion)
{
    if (!Legacy::layProfile(dir))
        return false;
    if (profileCurrent) {
        // Upgraded alone, then the run's other files and the copy removed.
        if (Fixture::runDbupdate(dir).exitCode != 0)
            return false;
        for (const QString &name : filesIn(dir)) {
            if (name != QLatin1String("profile.db") && !QFile::remove(dir + QLatin1Char('/') + name))
                return false;
        }
    }
    return dataVersion < 0 || Legacy::createData(dir + QStringLiteral("/data.db"), dataVersion);
}

bool runningAsRoot()
{
#ifdef Q_OS_UNIX
    return geteuid() == 0;
#else
    return false;
#endif
}

// The program as nobody when run by root, who ignores permissions.
Fixture::Run runUnprivileged(const QString &dir, const QStringList &arguments)
{
    if (!runningAsRoot())
        return Fixture::runDbupdate(dir, arguments);
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(QStringLiteral("setpriv"), QStringList({"--reuid=65534", "--regid=65534", "--clear-groups",
                                                   QStringLiteral(DBUPDATE_BIN)}) + arguments);
    return Fixture::finish(p);
}

// The status report by file: the header line and the lines below it.
QMap<QString, QStringList> statusSections(const QByteArray &output)
{
    QMap<QString, QStringList> sections;
    QString current;
    for (const QString &line : QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (!line.startsWith(QLatin1Char(' '))) {
            current = line.section(QLatin1Char(':'), 0, 0);
            sections[current] << line;
        } else {
            sections[current] << line.trimmed();
        }
    }
    return sections;
}

// The versions of the "to version N" lines of a section.
QList<int> pendingVersions(const QStringList &section)
{
    QList<int> versions;
    for (const QString &line : section) {
        if (line.startsWith(QLatin1String("to version ")))
            versions << line.mid(11).section(QLatin1Char(':'), 0, 0).toInt();
    }
    return versions;
}

QString backupLine(const QStringList &section)
{
    for (const QString &line : section) {
        if (line.startsWith(QLatin1String("backup first: ")))
            return line.mid(14);
    }
    return QString();
}

#ifdef Q_OS_WIN
const wchar_t *wide(const QString &path)
{
    return reinterpret_cast<const wchar_t *>(path.utf16());
}

bool readOnly(const QString &file)
{
    const DWORD attributes = GetFileAttributesW(wide(QDir::toNativeSeparators(file)));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

bool setReadOnly(const QString &file, bool on)
{
    const QString native = QDir::toNativeSeparators(file);
    const DWORD attributes = GetFileAttributesW(wide(native));
    return attributes != INVALID_FILE_ATTRIBUTES
        && SetFileAttributesW(wide(native), on ? attributes | FILE_ATTRIBUTE_READONLY
                                               : attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
}
#endif

} // namespace

void tst_Backup::backupBeforeUpgrade_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("writeAheadLog"); // copied page by page, not as a file
    for (int version = 0; version <= 5; ++version)
        QTest::addRow("data.db v%d", version) << version << false;
    QTest::newRow("data.db v2, write-ahead log") << 2 << true;
}

void tst_Backup::backupBeforeUpgrade()
{
    QFETCH(int, version);
    QFETCH(bool, writeAheadLog);
    QTemporaryDir dir;
    QVERIFY(layDirectory(dir.path(), false, version));
    const QString data = dir.filePath(QStringLiteral("data.db"));
    QVERIFY(Legacy::addBulkData(data, version, 20, 50));
    QVERIFY(Fixture::runScript(data, "pragma user_version = 7;"));
    if (writeAheadLog) {
        // Not inside a transaction, as the fixture's scripts run.
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(data).constData(), &db), SQLITE_OK);
        QCOMPARE(sqlite3_exec(db, "pragma journal_mode = wal", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        QCOMPARE(Fixture::scalar(data, "pragma journal_mode").toString(), QStringLiteral("wal"));
    }
    const QByteArray dataDump = shellDump(data);
    const QByteArray profileDump = shellDump(dir.filePath(QStringLiteral("profile.db")));
    QVERIFY(!dataDump.isEmpty() && !profileDump.isEmpty());

    // An older copy of the same version is superseded; a copy of another
    // version, from an earlier upgrade, is the site's and stays.
    const QString sameVersion = dir.filePath(QStringLiteral("data.db.v%1.bak").arg(version));
    const QString otherVersion = dir.filePath(QStringLiteral("data.db.v%1.bak").arg(version + 1));
    QVERIFY(Fixture::writeFile(sameVersion, "an older copy"));
    QVERIFY(Fixture::writeFile(otherVersion, "a copy of another upgrade"));
    // A copy a power cut interrupted, under its temporary name: the next copy
    // of that name removes it. The site's own files of like names stay.
    const QString interrupted = sameVersion + QStringLiteral(".partial-Q7xZ2p");
    QVERIFY(Fixture::writeFile(interrupted, "SQLite format 3"));
    // Cut after it got a read-only file's permissions (on Windows the
    // read-only attribute, which refuses a plain delete).
    QVERIFY(QFile::setPermissions(interrupted, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    const QStringList siteFiles = {QStringLiteral("data.db.v%1.bak.before").arg(version),
                                   QStringLiteral("data.db.v%1.bak.201901").arg(version),
                                   QStringLiteral("DATA.DB.V%1.BAK.backup").arg(version)};
    for (const QString &name : siteFiles)
        QVERIFY(Fixture::writeFile(dir.filePath(name), "the site's"));

    const QString log = dir.filePath(QStringLiteral("update.log"));
    const Fixture::Run r = Fixture::runDbupdate(dir.path(), {log});
    const QByteArray text = Fixture::readLog(log);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QVERIFY2(r.exitCode == 0, text.constData());
    QCOMPARE(Fixture::rows(data, "select version from version"), QStringList({"5"}));

    QCOMPARE(Fixture::readFile(otherVersion), QByteArray("a copy of another upgrade"));
    if (version == 5) {
        QCOMPARE(Fixture::readFile(sameVersion), QByteArray("an older copy"));
    } else {
        QCOMPARE(shellDump(sameVersion), dataDump);
        QVERIFY2(text.contains("data.db: version " + QByteArray::number(version)
                               + " backed up to data.db.v" + QByteArray::number(version) + ".bak"),
                 text.constData());
    }
    // profile.db was behind too (the sample site's is at version 0); syslog.db
    // and qc.db are new and empty, and qc.db keeps no version: no copies, and
    // nothing half-written left behind.
    QCOMPARE(shellDump(dir.filePath(QStringLiteral("profile.db.v0.bak"))), profileDump);
    QStringList expected = {"data.db", sameVersion.section(QLatin1Char('/'), -1),
                            otherVersion.section(QLatin1Char('/'), -1), "profile.db",
                            "profile.db.v0.bak", "qc.db", "syslog.db", "update.log"};
    if (version == 5)
        expected << interrupted.section(QLatin1Char('/'), -1);
    expected << siteFiles;
    expected.sort();
    // A file with a write-ahead log (its copy too) keeps -wal and -shm files
    // beside it while open, and after a program that did not close it.
    QStringList files = filesIn(dir.path());
    if (writeAheadLog)
        files = files.filter(QRegularExpression("^(?!.*-(wal|shm)$)"));
    QCOMPARE(files, expected);
    QVERIFY2(text.contains("Debug: syslog.db holds no tables yet: nothing to upgrade, no version written"),
             text.constData());
    for (const QString &name : siteFiles)
        QCOMPARE(Fixture::readFile(dir.filePath(name)), QByteArray("the site's"));
}

void tst_Backup::secondRunWritesNoBackup()
{
    QTemporaryDir dir;
    QVERIFY(layDirectory(dir.path(), false, 2));
    QCOMPARE(Fixture::runDbupdate(dir.path()).exitCode, 0);
    const QStringList files = filesIn(dir.path());
    QVERIFY(files.contains("data.db.v2.bak"));
    QVERIFY(files.contains("profile.db.v0.bak"));
    QVERIFY(files.contains("syslog.db"));
    QMap<QString, QByteArray> backups;
    for (const QString &name : files) {
        if (name.endsWith(QLatin1String(".bak")))
            backups[name] = Fixture::readFile(dir.filePath(name));
    }

    // Everything at its current version now: a syslog.db with a version
    // table is not copied either.
    const QString log = dir.filePath(QStringLiteral("second.log"));
    QCOMPARE(Fixture::runDbupdate(dir.path(), {log}).exitCode, 0);
    QStringList expected = QStringList(files) << "second.log";
    expected.sort();
    QCOMPARE(filesIn(dir.path()), expected);
    for (auto it = backups.cbegin(); it != backups.cend(); ++it)
        QCOMPARE(Fixture::readFile(dir.filePath(it.key())), it.value());
    QVERIFY(!Fixture::readLog(log).contains("backed up"));
}

void tst_Backup::unwritableDirectory_data()
{
    QTest::addColumn<bool>("readOnlyDirectory"); // otherwise no file may grow past half of data.db
    QTest::addColumn<bool>("profileCurrent");
    QTest::addColumn<QString>("stoppedAt");
    QTest::addColumn<QString>("backup");
    QTest::addColumn<QString>("why");
    // In a read-only directory even a current profile.db cannot write its
    // every-start rows (no journal can be made): the run stops there.
    QTest::newRow("read-only directory, profile.db current") << true << true << "profile.db" << "data.db.v2.bak"
        << "the upgrade stopped at dbupdate/updatebase.cpp ( ";
    QTest::newRow("read-only directory, profile.db behind") << true << false << "profile.db"
                                                            << "profile.db.v0.bak" << "the backup profile.db.v0.bak could not be written (";
    QTest::newRow("disk full, data.db behind") << false << true << "data.db" << "data.db.v2.bak"
                                               << "the backup data.db.v2.bak could not be written (";
}

void tst_Backup::unwritableDirectory()
{
    QFETCH(bool, readOnlyDirectory);
    QFETCH(bool, profileCurrent);
    QFETCH(QString, stoppedAt);
    QFETCH(QString, backup);
    QFETCH(QString, why);
#ifndef Q_OS_UNIX
    QSKIP("needs a directory closed by its mode bits and a file-size limit (prlimit)");
#endif
    if (readOnlyDirectory && runningAsRoot() && QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        QSKIP("running as root without setpriv");
    QTemporaryDir dir;
    QTemporaryDir logDir;
    QVERIFY(layDirectory(dir.path(), profileCurrent, 2));
    const QString data = dir.filePath(QStringLiteral("data.db"));
    QVERIFY(Legacy::addBulkData(data, 2, 100, 300));
    // A copy from an earlier attempt: only a complete new one may replace it.
    QVERIFY(Fixture::writeFile(dir.filePath(backup), "an older copy"));
    const QString log = logDir.filePath(QStringLiteral("update.log"));
    const QByteArray profileBefore = Fixture::readFile(dir.filePath(QStringLiteral("profile.db")));
    const QByteArray dataBefore = Fixture::readFile(data);
    const QStringList files = filesIn(dir.path());

    Fixture::Run r;
    if (readOnlyDirectory) {
        // The files may be written, the directory may not: no copy can be
        // made beside them.
        const QFile::Permissions all = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
            | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
        for (const QString &name : files)
            QVERIFY(QFile::setPermissions(dir.filePath(name), all));
        QVERIFY(QFile::setPermissions(logDir.path(), all | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther));
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
                                      | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
        r = runUnprivileged(dir.path(), {log});
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    } else {
        // The program gets the write error instead of the signal.
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(QStringLiteral("/bin/sh"), {"-c", "trap '' XFSZ; exec prlimit --fsize=$0 \"$1\" \"$2\"",
                                           QString::number(dataBefore.size() / 2), DBUPDATE_BIN, log});
        QVERIFY(p.waitForFinished(-1));
        r.exitStatus = p.exitStatus();
        r.exitCode = p.exitCode();
    }
    const QByteArray text = Fixture::readLog(log);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QVERIFY2(r.exitCode == 1, text.constData());
    const QByteArray warning = "Warning: " + stoppedAt.toUtf8() + ": " + why.toUtf8();
    QVERIFY2(text.contains(warning), text.constData());
    QVERIFY2(text.contains("is not upgraded in this run"), text.constData());
    // Nothing changed, nothing added or left half-written, the older copy
    // whole, and the files after it not created.
    QCOMPARE(Fixture::readFile(data), dataBefore);
    if (!profileCurrent)
        QCOMPARE(Fixture::readFile(dir.filePath(QStringLiteral("profile.db"))), profileBefore);
    QCOMPARE(filesIn(dir.path()), files);
    QCOMPARE(Fixture::readFile(dir.filePath(backup)), QByteArray("an older copy"));

    // Without the obstacle the next start copies and upgrades.
    QCOMPARE(Fixture::runDbupdate(dir.path()).exitCode, 0);
    QCOMPARE(Fixture::rows(data, "select version from version"), QStringList({"5"}));
    QVERIFY(Fixture::readFile(dir.filePath(backup)).startsWith("SQLite format 3"));
}

void tst_Backup::earlierCopyReadOnlyOrHeld_data()
{
    QTest::addColumn<bool>("readOnlyFile");
    QTest::addColumn<bool>("readOnlyCopy");
    QTest::addColumn<bool>("held"); // by a handle without delete sharing, for half a second
    QTest::newRow("read-only earlier copy") << false << true << false;
    QTest::newRow("read-only file and earlier copy") << true << true << false;
    QTest::newRow("earlier copy held open") << false << false << true;
}

void tst_Backup::earlierCopyReadOnlyOrHeld()
{
#ifndef Q_OS_WIN
    QSKIP("Windows only: its read-only attribute and share modes");
#else
    QFETCH(bool, readOnlyFile);
    QFETCH(bool, readOnlyCopy);
    QFETCH(bool, held);
    QTemporaryDir dir;
    QVERIFY(layDirectory(dir.path(), true, 2));
    const QString data = dir.filePath(QStringLiteral("data.db"));
    const QString copy = dir.filePath(QStringLiteral("data.db.v2.bak"));
    QVERIFY(Fixture::writeFile(copy, "an older copy"));
    const QByteArray dataDump = shellDump(data);
    QVERIFY(!dataDump.isEmpty());
    if (readOnlyCopy)
        QVERIFY(setReadOnly(copy, true));
    if (readOnlyFile)
        QVERIFY(setReadOnly(data, true));

    // A viewer or a virus scanner on the earlier copy: let go half a second
    // after the program starts writing the new one, so that its first
    // attempts to replace the file meet the handle.
    HANDLE holder = INVALID_HANDLE_VALUE;
    std::thread releaser;
    if (held) {
        holder = CreateFileW(wide(QDir::toNativeSeparators(copy)), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
        QVERIFY(holder != INVALID_HANDLE_VALUE);
        const QString path = dir.path();
        releaser = std::thread([path, holder] {
            const QDir directory(path);
            QElapsedTimer waited;
            waited.start();
            while (directory.entryList({QStringLiteral("data.db.v2.bak.*")}, QDir::Files).isEmpty()
                   && waited.elapsed() < 60000)
                QThread::msleep(5);
            QThread::msleep(500);
            CloseHandle(holder);
        });
    }
    const QString log = dir.filePath(QStringLiteral("update.log"));
    const Fixture::Run run = Fixture::runDbupdate(dir.path(), {log});
    if (releaser.joinable())
        releaser.join();
    const QByteArray text = Fixture::readLog(log);
    const QStringList files = filesIn(dir.path());
    const bool copyReadOnly = readOnly(copy);
    // Writable again, for the temporary directory's removal.
    for (const QString &name : files)
        setReadOnly(dir.filePath(name), false);

    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    // A read-only file cannot be upgraded on Windows itself (under Wine run
    // by root it can): its copy is what counts.
    if (!readOnlyFile)
        QVERIFY2(run.exitCode == 0, text.constData());
    QVERIFY2(text.contains("data.db: version 2 backed up to data.db.v2.bak"), text.constData());
    QCOMPARE(shellDump(copy), dataDump);
    // As read-only as the file it copies, and nothing left half-written.
    QCOMPARE(copyReadOnly, readOnlyFile);
    QCOMPARE(files.filter(QStringLiteral("data.db.v2.bak.")), QStringList());
#endif
}

void tst_Backup::statusChangesNothing_data()
{
    // How each file is laid: "missing", "empty" (0 bytes), "vN" (at version
    // N), "text" (not a database), "site" (the sample profile.db, version 0).
    QTest::addColumn<QStringList>("laid");
    // Per file: the header line's start, the pending versions, the backup.
    QTest::addColumn<QStringList>("headers");
    QTest::addColumn<QList<QList<int>>>("pending");
    QTest::addColumn<QStringList>("backups");
    QTest::newRow("mixed") << QStringList({"v4", "v2", "missing", "v0"})
        << QStringList({"profile.db: version 4, current 4, up to date", "data.db: version 2, current 5",
                        "qc.db: missing; a run creates it, keeps no version",
                        "syslog.db: version 0, current 1"})
        << QList<QList<int>>({{}, {3, 4, 5}, {}, {1}})
        << QStringList({"", "data.db.v2.bak", "", "syslog.db.v0.bak"});
    QTest::newRow("old site") << QStringList({"site", "v0", "empty", "missing"})
        << QStringList({"profile.db: version 0, current 4", "data.db: version 0, current 5",
                        "qc.db: present, keeps no version",
                        "syslog.db: missing; a run creates it, current 1, holds no tables: a run writes nothing into it"})
        << QList<QList<int>>({{1, 2, 3, 4}, {1, 2, 3, 4, 5}, {}, {}})
        << QStringList({"profile.db.v0.bak", "data.db.v0.bak", "", ""});
    QTest::newRow("current, and an unreadable file") << QStringList({"v4", "v5", "v0", "text"})
        << QStringList({"profile.db: version 4, current 4, up to date",
                        "data.db: version 5, current 5, up to date", "qc.db: present, keeps no version",
                        "syslog.db: cannot be upgraded (file is not a database"})
        << QList<QList<int>>({{}, {}, {}, {}})
        << QStringList({"", "", "", ""});
}

void tst_Backup::statusChangesNothing()
{
    QFETCH(QStringList, laid);
    QFETCH(QStringList, headers);
    QFETCH(QList<QList<int>>, pending);
    QFETCH(QStringList, backups);
    QTemporaryDir dir;
    QTemporaryDir site;
    // A profile.db at version 4 is the sample one, upgraded.
    QVERIFY(layDirectory(site.path(), true, -1));
    for (int i = 0; i < 4; ++i) {
        const QString name = QLatin1String(databases[i]);
        const QString file = dir.filePath(name);
        const QString how = laid.at(i);
        if (how == QLatin1String("empty")) {
            QVERIFY(Fixture::writeFile(file, QByteArray()));
        } else if (how == QLatin1String("text")) {
            QVERIFY(Fixture::writeFile(file, QByteArray("exported log lines\n").repeated(100)));
        } else if (how == QLatin1String("site")) {
            QVERIFY(Legacy::layProfile(dir.path()));
        } else if (how.startsWith(QLatin1Char('v'))) {
            const int version = how.mid(1).toInt();
            if (name == QLatin1String("data.db")) {
                QVERIFY(Legacy::createData(file, version));
            } else if (name == QLatin1String("profile.db")) {
                QCOMPARE(version, 4);
                QVERIFY(QFile::copy(site.filePath(name), file));
            } else {
                // A table of its own, and the version table from version 1.
                QVERIFY(Fixture::runScript(file, "create table log(id integer primary key, text text);"
                                                 "insert into log(text) values('started');"));
                if (version > 0)
                    QVERIFY(Fixture::runScript(file, QStringLiteral("create table version(version integer);"
                                                                    "insert into version values(%1);").arg(version)));
            }
        }
    }
    const QStringList files = filesIn(dir.path());
    QMap<QString, QByteArray> before;
    for (const QString &name : files)
        before[name] = Fixture::readFile(dir.filePath(name));

    QTemporaryDir logDir;
    const QString log = logDir.filePath(QStringLiteral("status.log"));
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(QStringLiteral(DBUPDATE_BIN), {QStringLiteral("--status"), log});
    QVERIFY(p.waitForFinished(-1));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    const QByteArray output = p.readAllStandardOutput();

    // Nothing created, nothing changed.
    QCOMPARE(filesIn(dir.path()), files);
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QVERIFY2(Fixture::readFile(dir.filePath(it.key())) == it.value(), qPrintable(it.key()));
    QVERIFY(QFileInfo::exists(log));

    const QMap<QString, QStringList> sections = statusSections(output);
    QCOMPARE(sections.size(), 4);
    for (int i = 0; i < 4; ++i) {
        const QStringList section = sections.value(QLatin1String(databases[i]));
        QVERIFY2(!section.isEmpty() && section.first().startsWith(headers.at(i)), output.constData());
        QVERIFY2(pendingVersions(section) == pending.at(i), output.constData());
        QVERIFY2(backupLine(section) == backups.at(i), output.constData());
    }
    // The settings steps that run on every start are always listed.
    QVERIFY2(sections.value("profile.db").filter(QRegularExpression("^every run: ")).size() == 3,
                 output.constData());

    // A run takes exactly the copies that the report announced.
    if (laid.contains(QStringLiteral("text")))
        return;
    Fixture::runDbupdate(dir.path());
    for (const QString &backup : backups) {
        if (!backup.isEmpty())
            QVERIFY2(QFileInfo::exists(dir.filePath(backup)), qPrintable(backup));
    }
    QCOMPARE(filesIn(dir.path()).filter(QRegularExpression("\\.bak$")).size(),
             backups.size() - backups.count(QString()));
}

QTEST_GUILESS_MAIN(tst_Backup)
#include "tst_backup.moc"
