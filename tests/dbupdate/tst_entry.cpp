#include "dbfixture.h"
#include "legacydata.h"
#include "profilefixture.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A data directory whose profile.db holds the base tables every site has:
// an empty one cannot be upgraded (its calibration tables are missing).
bool layProfile(const QTemporaryDir &dir)
{
    return Fixture::runScriptFile(dir.filePath("profile.db"),
                                  Fixture::sourcePath(QStringLiteral("samples/legacy/profile.sql")));
}

} // namespace

// The upgrade program as a process: command line, log file, exit code.
class tst_Entry : public QObject
{
    Q_OBJECT
private slots:
    void helpAndVersion_data();
    void helpAndVersion();
    void noArgumentWritesNoLog();
    void logAppendedWithLineShapes();
    void unwritableLogPath();
    void createsAllFourFiles();
    void fatalLineSurvivesAbort();
    void fatalWarningFlushesEarlierLines();
    void loggingRulesKeepEveryLevel_data();
    void loggingRulesKeepEveryLevel();
    void newerFilesLeftAsTheyAre();
};

void tst_Entry::helpAndVersion_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("expected");
    QTest::newRow("--help") << "--help" << "Usage: dbupdate [LOGFILE]";
    QTest::newRow("-h") << "-h" << "Usage: dbupdate [LOGFILE]";
    QTest::newRow("--version") << "--version" << "dbupdate 1.";
}

void tst_Entry::helpAndVersion()
{
    QFETCH(QString, argument);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(QStringLiteral(DBUPDATE_BIN), {argument});
    QVERIFY(p.waitForFinished(-1));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(QString::fromUtf8(p.readAllStandardOutput()).startsWith(expected));
    // Neither a log file named after the option nor any database was made.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList());
}

void tst_Entry::noArgumentWritesNoLog()
{
    QTemporaryDir dir;
    QVERIFY(layProfile(dir));
    QVERIFY(Fixture::runScript(dir.filePath("syslog.db"), "create table version(version integer);"));
    const Fixture::Run run = Fixture::runDbupdate(dir.path());
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    // Messages go to stderr instead: the emptied version table.
    QVERIFY2(run.standardError.contains("syslog.db: its version table says 0 (it is empty), its schema is that of version 1"),
             run.standardError.constData());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files),
             QStringList({"data.db", "profile.db", "profile.db.v0.bak", "qc.db", "syslog.db"}));
}

void tst_Entry::logAppendedWithLineShapes()
{
    QTemporaryDir dir;
    QVERIFY(layProfile(dir));
    const QString log = dir.filePath("update.log");
    QVERIFY(Fixture::writeFile(log, "earlier run\n"));
    QVERIFY(Fixture::runScript(dir.filePath("syslog.db"), "create table version(version integer);"));
    Fixture::Run run = Fixture::runDbupdate(dir.path(), {log});
    QCOMPARE(run.exitCode, 0);
    const int firstRunEnd = Fixture::readLog(log).size();
    // The second run finds every file current: whatever it logs is one line a message.
    run = Fixture::runDbupdate(dir.path(), {log});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.standardError.isEmpty());

    const QByteArray text = Fixture::readLog(log);
    // The first run copied the sample profile.db before upgrading it.
    QVERIFY2(text.startsWith("earlier run\nDebug: profile.db: version 0 backed up to profile.db.v0.bak"),
             text.constData());
    QVERIFY(text.endsWith('\n'));
    const QList<QByteArray> lines = text.split('\n');
    const QList<QByteArray> secondRun = text.mid(firstRunEnd).split('\n');
    QVERIFY(secondRun.size() > 1);
    QRegularExpression shape(QStringLiteral("^(Debug|Warning|Critical|Fatal): "));
    for (int i = 0; i < secondRun.size() - 1; ++i)
        QVERIFY2(shape.match(QString::fromLocal8Bit(secondRun.at(i))).hasMatch(), secondRun.at(i).constData());
    // A failed statement is quoted as it was written, line breaks and all
    // (data.db's create statements span lines): only inside its brackets
    // may a line start without the prefix.
    bool insideStatement = false;
    for (int i = 1; i < lines.size() - 1; ++i) {
        const QByteArray &line = lines.at(i);
        if (shape.match(QString::fromLocal8Bit(line)).hasMatch())
            insideStatement = line.contains(": [ ") && !line.endsWith(" ] ");
        else
            QVERIFY2(insideStatement, line.constData());
        if (line.endsWith(" ] "))
            insideStatement = false;
    }
    QVERIFY(!insideStatement);
    // The empty version table is reported once; the second run finds version 1.
    QList<QByteArray> failures;
    for (const QByteArray &line : lines) {
        if (line.contains("syslog.db: its version table"))
            failures << line;
    }
    QCOMPARE(failures.size(), 1);
    QCOMPARE(failures.first(), QByteArray("Warning: syslog.db: its version table says 0 (it is empty), its schema "
                                          "is that of version 1; it is upgraded from version 1"));
    // Each upgrade replaces the previous default connection, and Qt says so.
    QVERIFY(text.mid(firstRunEnd).contains("duplicate connection name"));
}

void tst_Entry::unwritableLogPath()
{
    QTemporaryDir dir;
    QVERIFY(layProfile(dir));
    const Fixture::Run run = Fixture::runDbupdate(dir.path(), {dir.filePath("missing/dir/update.log")});
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(!QFileInfo::exists(dir.filePath("missing")));
    // The run went through to the last file.
    QVERIFY(QFileInfo::exists(dir.filePath("syslog.db")));
}

void tst_Entry::createsAllFourFiles()
{
    QTemporaryDir dir;
    QVERIFY(layProfile(dir));
    const Fixture::Run run = Fixture::runDbupdate(dir.path(), {dir.filePath("log.txt")});
    QCOMPARE(run.exitCode, 0);
    for (const char *name : {"profile.db", "data.db", "qc.db", "syslog.db"})
        QVERIFY2(QFileInfo::exists(dir.filePath(name)), name);
    QCOMPARE(Fixture::scalar(dir.filePath("qc.db"), "select count(*) from sqlite_master").toInt(), 0);
}

void tst_Entry::fatalLineSurvivesAbort()
{
    QTemporaryDir dir;
    QVERIFY(layProfile(dir));
    const QString log = dir.filePath("fatal.log");
    QProcess p;
    p.start(QStringLiteral(FATAL_LOGGER_BIN), {log});
    QVERIFY(p.waitForFinished(-1));
#ifdef Q_OS_WIN
    // There the C runtime's abort ends the process with exit code 3.
    QCOMPARE(p.exitCode(), 3);
#else
    QCOMPARE(p.exitStatus(), QProcess::CrashExit);
#endif
    QCOMPARE(Fixture::readLog(log), QByteArray("Debug: first line\nWarning: second line\nFatal: the end 3\n"));
}

void tst_Entry::fatalWarningFlushesEarlierLines()
{
    // Qt turns the first warning into a fatal one: the real program dies at the
    // first failed statement, and every line up to it must be on disk.
    QTemporaryDir dir;
    QVERIFY(layProfile(dir));
    const QString log = dir.filePath("update.log");
    QVERIFY(Fixture::runScript(dir.filePath("syslog.db"), "create table version(version integer);"));
    QProcess p;
    p.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_FATAL_WARNINGS"), QStringLiteral("1"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(DBUPDATE_BIN), {log});
    QVERIFY(p.waitForFinished(-1));
    QCOMPARE(p.exitStatus(), QProcess::CrashExit);
    const QByteArray text = Fixture::readLog(log);
    QVERIFY2(text.startsWith("Debug: profile.db: version 0 backed up to profile.db.v0.bak"
                             " before the upgrade\nWarning: "), text.constData());
    QVERIFY(text.endsWith("\n"));
}

void tst_Entry::loggingRulesKeepEveryLevel_data()
{
    QTest::addColumn<QByteArray>("environmentRules");
    QTest::addColumn<QByteArray>("iniRules");
    QTest::newRow("environment") << QByteArray("*.debug=false") << QByteArray();
    QTest::newRow("environment, every level")
        << QByteArray("*.debug=false;default.warning=false;default.critical=false") << QByteArray();
    QTest::newRow("qtlogging.ini") << QByteArray() << QByteArray("[Rules]\n*.debug=false\ndefault.warning=false\n");
}

void tst_Entry::loggingRulesKeepEveryLevel()
{
    // The log is the technician's only record: rules meant for other
    // programs must not thin it out.
    QFETCH(QByteArray, environmentRules);
    QFETCH(QByteArray, iniRules);
    QTemporaryDir dir;
    QVERIFY(layProfile(dir));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    if (!environmentRules.isEmpty())
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QString::fromLatin1(environmentRules));
    if (!iniRules.isEmpty()) {
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("config/QtProject")));
        QVERIFY(Fixture::writeFile(dir.filePath("config/QtProject/qtlogging.ini"), iniRules));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath("config"));
    }
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(DBUPDATE_BIN), {dir.filePath("update.log")});
    QVERIFY(p.waitForFinished(-1));
    QCOMPARE(p.exitCode(), 0);
    const QByteArray text = Fixture::readFile(dir.filePath("update.log"));
    QVERIFY2(text.startsWith("Debug: profile.db: version 0 backed up to profile.db.v0.bak")
                 && text.contains("\nDebug: data.db holds no tables yet")
                 && text.contains("\nWarning: "), text.constData());
}

void tst_Entry::newerFilesLeftAsTheyAre()
{
    // Files a newer release left after a roll-back: relabelled down, that
    // release would repeat its own steps on them.
    QTemporaryDir dir;
    QVERIFY(ProfileFixture::make(dir.filePath("profile.db"), 4, "update version set version = 9;"));
    QVERIFY(Legacy::createData(dir.filePath("data.db"), 5));
    QVERIFY(Fixture::runScript(dir.filePath("data.db"), "update version set version = 7;"));
    QVERIFY(Fixture::runScript(dir.filePath("syslog.db"), "create table version(version integer);"
                                                          "insert into version values(3);"));
    const char *const files[] = {"profile.db", "data.db", "syslog.db"};
    QByteArrayList before;
    for (const char *name : files)
        before << Fixture::readFile(dir.filePath(name));

    QProcess status;
    status.setWorkingDirectory(dir.path());
    status.start(QStringLiteral(DBUPDATE_BIN), {QStringLiteral("--status")});
    QVERIFY(status.waitForFinished(-1));
    // Lines as lines: on Windows the C runtime ends them with CR LF.
    const QByteArray report = status.readAllStandardOutput().replace("\r\n", "\n");
    QVERIFY2(report.contains("profile.db: version 9, current 4, newer than this program: a run leaves it as it is\n"
                             "  nothing to apply\n")
                 && report.contains("data.db: version 7, current 5, newer than this program"), report.constData());

    const Fixture::Run run = Fixture::runDbupdate(dir.path(), {dir.filePath("update.log")});
    QCOMPARE(run.exitCode, 0);
    for (int i = 0; i < 3; ++i)
        QVERIFY2(Fixture::readFile(dir.filePath(files[i])) == before.at(i), files[i]);
    const QByteArray text = Fixture::readLog(dir.filePath("update.log"));
    for (const char *line : {"Warning: profile.db is at version 9, newer than this program's version 4: it is left as it is\n",
                             "Warning: data.db is at version 7, newer than this program's version 5: it is left as it is\n",
                             "Warning: syslog.db is at version 3, newer than this program's version 1: it is left as it is\n"})
        QVERIFY2(text.contains(line), text.constData());
    // The run went on to the files after them.
    QVERIFY(QFileInfo::exists(dir.filePath("qc.db")));
    QCOMPARE(QDir(dir.path()).entryList({"*.bak"}, QDir::Files), QStringList());
}

QTEST_GUILESS_MAIN(tst_Entry)
#include "tst_entry.moc"
