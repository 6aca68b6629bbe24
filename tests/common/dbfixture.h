#ifndef DBFIXTURE_H
#define DBFIXTURE_H

#include <QProcess>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>

// Helpers shared by the tests: real SQLite files, opened on connections of
// their own so they never disturb the default connection under test.
namespace Fixture {

// Runs a script of ';'-separated statements on a file (created if missing).
// Returns false and warns on the first statement that fails.
bool runScript(const QString &file, const QString &script);
bool runScriptFile(const QString &file, const QString &scriptPath);

// First column of the first row of a query, or an invalid variant.
QVariant scalar(const QString &file, const QString &sql);
// Every row of a query as a list of its columns joined with '|'.
QStringList rows(const QString &file, const QString &sql);

// Result of running the real dbupdate program, which ends by itself: the run
// waits for it without a limit (CTest's time-out stops a hung test).
struct Run {
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray standardError;
};
Run runDbupdate(const QString &workDir, const QStringList &arguments = QStringList());
// Waits for a started program to end and collects what Run holds.
Run finish(QProcess &process);

QByteArray readFile(const QString &path);
// A log as lines ending in "\n": the program writes it as a text stream,
// whose lines end in "\r\n" on Windows.
QByteArray readLog(const QString &path);
bool writeFile(const QString &path, const QByteArray &data);

// Path of a file shipped in the repository (relative to its root).
QString sourcePath(const QString &relative);

} // namespace Fixture

#endif // DBFIXTURE_H
