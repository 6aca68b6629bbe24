#include "dbfixture.h"
#include "legacydata.h"
#include "profilefixture.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

// A data directory whose profile.db holds the base tables every site has:
// an empty one cannot be upgraded (its calibration tables are missing).
bool layProfile(const QTemporaryDir &dir)
{
    return Fixture::runScriptFile(dir.filePath("profile.db"),
                                  Fixture::sourcePath(QStringLiteral("samples/legacy/profile.sql")));
}

// The program as the front end or a scheduled task starts it: no console,
// and no variable that tells Qt where its messages should go.
Fixture::Run runWithoutConsole(const QString &dir, const QStringList &arguments)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_FORCE_STDERR_LOGGING"));
    env.remove(QStringLiteral("QT_ASSUME_STDERR_HAS_CONSOLE"));
    p.setProcessEnvironment(env);
#ifdef Q_OS_WIN
    p.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *args) {
        args->flags = (args->flags & ~DWORD(CREATE_NO_WINDOW)) | DETACHED_PROCESS;
    });
#endif
    p.start(QStringLiteral(DBUPDATE_BIN), arguments);
    return Fixture::finish(p);
}

#ifdef Q_OS_WIN
// A resource of a built file, read as the system's loader reads it.
QByteArray resource(const QString &file, const wchar_t *type, const wchar_t *name)
{
    const HMODULE module = LoadLibraryExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(file).utf16()),
                                          nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module)
        return QByteArray();
    QByteArray data;
    if (const HRSRC found = FindResourceW(module, name, type)) {
        if (const HGLOBAL loaded = LoadResource(module, found))
            data = QByteArray(static_cast<const char *>(LockResource(loaded)), int(SizeofResource(module, found)));
    }
    FreeLibrary(module);
    return data;
}

// A string of a file's version resource (US English, Unicode block), or a
// null string.
QString versionString(const QString &file, const char *key, QString *fixedVersion)
{
    const auto path = reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(file).utf16());
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0)
        return QString();
    QByteArray info(int(size), '\0');
    if (!GetFileVersionInfoW(path, 0, size, info.data()))
        return QString();
    void *value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(info.constData(), L"\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(value);
        *fixedVersion = QStringLiteral("%1.%2.%3.%4").arg(HIWORD(fixed->dwFileVersionMS))
                            .arg(LOWORD(fixed->dwFileVersionMS)).arg(HIWORD(fixed->dwFileVersionLS))
                            .arg(LOWORD(fixed->dwFileVersionLS));
    }
    const QString query = QStringLiteral("\\StringFileInfo\\040904B0\\") + QLatin1String(key);
    if (!VerQueryValueW(info.constData(), reinterpret_cast<const wchar_t *>(query.utf16()), &value, &length))
        return QString();
    return QString::fromWCharArray(static_cast<const wchar_t *>(value)).trimmed();
}
#endif

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
    void logNamedInAnotherScript();
    void refusesSystemFolders_data();
    void refusesSystemFolders();
    void manifestAndVersions();
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
    const Fixture::Run run = runWithoutConsole(dir.path(), {dir.filePath("missing/dir/update.log")});
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(!QFileInfo::exists(dir.filePath("missing")));
    // The run went through to the last file.
    QVERIFY(QFileInfo::exists(dir.filePath("syslog.db")));
    // The messages reach standard error, console or not.
    QVERIFY2(run.standardError.contains("profile.db: version 0 backed up to profile.db.v0.bak"),
             run.standardError.constData());
}

void tst_Entry::logNamedInAnotherScript()
{
    QTemporaryDir dir;
    QVERIFY(layProfile(dir));
    const QString name = QStringLiteral(u"升级日志 journal.log");
#ifdef Q_OS_WIN
    // Only a code page without these characters shows the fault.
    BOOL lost = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t *>(name.utf16()), name.size(),
                        nullptr, 0, nullptr, &lost);
    if (!lost)
        QSKIP("the ANSI code page holds the name's characters");
#endif
    const Fixture::Run run = Fixture::runDbupdate(dir.path(), {dir.filePath(name)});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(Fixture::readLog(dir.filePath(name)).startsWith("Debug: profile.db: version 0 backed up"),
             qPrintable(QDir(dir.path()).entryList(QDir::Files).join(QLatin1String(", "))));
}

void tst_Entry::refusesSystemFolders_data()
{
    QTest::addColumn<QString>("folder");
#ifdef Q_OS_WIN
    wchar_t path[MAX_PATH + 1] = {};
    UINT length = GetWindowsDirectoryW(path, MAX_PATH + 1);
    QTest::newRow("Windows folder") << QString::fromWCharArray(path, int(length));
    length = GetSystemDirectoryW(path, MAX_PATH + 1);
    QTest::newRow("system folder") << QString::fromWCharArray(path, int(length));
#else
    QTest::newRow("none here") << QString();
#endif
}

void tst_Entry::refusesSystemFolders()
{
    QFETCH(QString, folder);
    if (folder.isEmpty())
        QSKIP("Windows only: where Windows starts a program whose folder the shell refused");
    const QDir system(folder);
    const QStringList before = system.entryList(QDir::Files);
    QVERIFY(!before.contains(QStringLiteral("profile.db")));
    const Fixture::Run run = Fixture::runDbupdate(folder, {QStringLiteral("update.log")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.standardError.startsWith("dbupdate: not run in the system folder "), run.standardError.constData());
    QCOMPARE(run.standardError.count('\n'), 1);
    // Whatever a faulty run laid there goes again.
    const QStringList after = system.entryList(QDir::Files);
    for (const QString &name : after) {
        if (!before.contains(name))
            QFile::remove(system.filePath(name));
    }
    QCOMPARE(after, before);
}

void tst_Entry::manifestAndVersions()
{
#ifdef Q_OS_WIN
    // What keeps Windows from asking for elevation, from redirecting writes
    // and from treating the program as one for an older system.
    const QByteArray manifest = resource(QStringLiteral(DBUPDATE_BIN), MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    QVERIFY2(!manifest.isEmpty(), "dbupdate.exe has no manifest");
    QVERIFY(manifest.contains("<requestedExecutionLevel level=\"asInvoker\""));
    for (const char *os : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                           "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        QVERIFY2(manifest.contains(QByteArray("<supportedOS Id=\"") + os + "\"/>"), os);
    QVERIFY(manifest.contains(">true</longPathAware>"));

    const QString version = QStringLiteral(WS_VERSION);
    for (const QString &file : {QStringLiteral(DBUPDATE_BIN), QStringLiteral(CORE_DLL), QStringLiteral(TAMCORE_DLL)}) {
        QString fixed;
        QCOMPARE(versionString(file, "FileVersion", &fixed), version);
        QCOMPARE(fixed, version + QStringLiteral(".0"));
        QCOMPARE(versionString(file, "OriginalFilename", &fixed), QFileInfo(file).fileName());
        QVERIFY(!versionString(file, "FileDescription", &fixed).isEmpty());
    }
#else
    QSKIP("Windows only: the built files' manifest and version resources");
#endif
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
