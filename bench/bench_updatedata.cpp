// The full data.db upgrade of a large version 2 file: the real dbupdate
// program against the sqlite3 shell running the very statements dbupdate
// runs on data.db (recorded through the sqlhook preload) on a copy of the
// same file. Prints the median of several runs of each and their ratio.
//
//   bench_updatedata [--results N] [--points P] [--runs K] [--dir DIR]
//                    [--from VERSION] [--lookups ROWS] [--compare OTHER_DBUPDATE]
//
// --from 0 starts from a version 0 file instead (its six lookup lists are
// rebuilt row by row), --lookups adds that many rows to each lookup list.
// --compare times a second build of the program against the same floor
// (for example one built without the upgrade's transaction).
#include "dbfixture.h"
#include "legacydata.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

#include <unistd.h>

namespace {

// Copies the file and writes the copy out, so that a timed run does not
// pay for flushing the copy's pages at its first sync.
bool copyFile(const QString &from, const QString &to)
{
    QFile::remove(to);
    if (!QFile::copy(from, to))
        return false;
    QFile copy(to);
    if (!copy.open(QIODevice::ReadWrite) || fsync(copy.handle()) != 0)
        return false;
    sync();
    return true;
}

void removeRunFiles(const QString &dir)
{
    for (const QString &name : QDir(dir).entryList(QDir::Files))
        QFile::remove(QDir(dir).filePath(name));
}

// Runs a program in `dir` and returns its wall time in ms, or -1.
// The shell's exit code says whether any statement failed (the version
// read of a file without one does): only a crash counts for it.
double timed(const QString &dir, const QString &program, const QStringList &arguments,
             const QString &input = QString(), const QProcessEnvironment &env = QProcessEnvironment())
{
    const bool anyExitCode = !input.isEmpty();
    QProcess p;
    p.setWorkingDirectory(dir);
    if (!env.isEmpty())
        p.setProcessEnvironment(env);
    if (!input.isEmpty())
        p.setStandardInputFile(input);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QDir(dir).filePath(QStringLiteral("stderr.txt")));
    QElapsedTimer timer;
    timer.start();
    p.start(program, arguments);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || (p.exitCode() != 0 && !anyExitCode)) {
        fprintf(stderr, "%s failed (exit %d)\n", qPrintable(program), p.exitCode());
        return -1;
    }
    return timer.nsecsElapsed() / 1e6;
}

double median(QVector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : (v.size() % 2 ? v.at(v.size() / 2) : (v.at(v.size() / 2 - 1) + v.at(v.size() / 2)) / 2);
}

// The statements dbupdate prepared on data.db, as a script for the shell.
// SQLite's own schema reads inside them are left out: the shell makes those
// itself.
bool recordStatements(const QString &dir, const QString &program, const QString &script)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(SQLHOOK_LIB));
    const QString trace = QDir(dir).filePath(QStringLiteral("trace.txt"));
    env.insert(QStringLiteral("WS_SQLHOOK_TRACE"), trace);
    if (timed(dir, program, {QStringLiteral("update.log")}, QString(), env) < 0)
        return false;
    QByteArray out;
    int count = 0;
    // The copy taken before the upgrade is dbupdate's own cost, not a step
    // the shell should repeat; it runs on a connection of its own (to the
    // copy's file name), so none of its statements is on data.db.
    for (const QByteArray &line : Fixture::readFile(trace).split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() < 3 || fields.at(1) != "data.db" || fields.at(2).startsWith("SELECT*FROM\""))
            continue;
        QByteArray statement;
        const QByteArray &escaped = fields.at(2);
        for (int i = 0; i < escaped.size(); ++i) {
            if (escaped.at(i) == '\\' && i + 1 < escaped.size()) {
                ++i;
                statement += escaped.at(i) == 'n' ? '\n' : escaped.at(i);
            } else {
                statement += escaped.at(i);
            }
        }
        out += statement + "\n;\n";
        ++count;
    }
    fprintf(stdout, "recorded %d statements of dbupdate on data.db\n", count);
    return count > 0 && Fixture::writeFile(script, out);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int results = 200000;
    int points = 300;
    int runs = 5;
    int from = 2;
    int lookups = 0;
    QString base = QDir::tempPath();
    QString compare;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--results"))
            results = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--points"))
            points = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--runs"))
            runs = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--dir"))
            base = args.at(i + 1);
        else if (args.at(i) == QLatin1String("--from"))
            from = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--lookups"))
            lookups = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--compare"))
            compare = QFileInfo(args.at(i + 1)).absoluteFilePath();
    }
    const QString dbupdate = QStringLiteral(DBUPDATE_BIN);
    const QString shell = QStringLiteral("sqlite3");

    QTemporaryDir work(base + QStringLiteral("/bench_updatedata-XXXXXX"));
    if (!work.isValid())
        return 2;
    const QString original = work.filePath(QStringLiteral("original.db"));
    QElapsedTimer timer;
    timer.start();
    if (!Legacy::createData(original, from) || !Legacy::addBulkData(original, from, results / 2, points))
        return 2;
    QString lookupRows;
    for (const char *table : {"department", "sex", "treatmentRoom", "diagnosis", "doctor", "operator"}) {
        for (int i = 0; i < lookups; ++i)
            lookupRows += QStringLiteral("insert into %1(abbr, name) values('x%2', 'Entry %2');").arg(table).arg(i);
    }
    if (lookups > 0 && !Fixture::runScript(original, lookupRows))
        return 2;
    fprintf(stdout, "version %d data.db: %d results, %d curves of %d points, %d more rows per lookup list,"
            " %.0f MB (made in %.1f s)\n", from, results, results, points, lookups,
            QFileInfo(original).size() / 1048576.0, timer.elapsed() / 1000.0);

    // The program upgrades profile.db first and fails on a missing one: every
    // run gets the sample site's, already at its current version, so that
    // part costs the same little in every run.
    const QString siteDir = work.filePath(QStringLiteral("site"));
    QDir().mkpath(siteDir);
    if (!Legacy::layProfile(siteDir) || timed(siteDir, dbupdate, {QStringLiteral("update.log")}) < 0)
        return 2;
    const QString profile = QDir(siteDir).filePath(QStringLiteral("profile.db"));

    const QString runDir = work.filePath(QStringLiteral("run"));
    const QString script = work.filePath(QStringLiteral("statements.sql"));
    QDir().mkpath(runDir);
    const QString data = QDir(runDir).filePath(QStringLiteral("data.db"));
    const QString runProfile = QDir(runDir).filePath(QStringLiteral("profile.db"));
    if (!copyFile(original, data) || !copyFile(profile, runProfile)
            || !recordStatements(runDir, dbupdate, script))
        return 2;

    struct Candidate { const char *name; QString program; QStringList arguments; QString input; QVector<double> ms; };
    QVector<Candidate> candidates = {
        {"sqlite3 shell", shell, {QStringLiteral("data.db")}, script, {}},
        {"dbupdate", dbupdate, {QStringLiteral("update.log")}, QString(), {}},
    };
    if (!compare.isEmpty())
        candidates.append({"compared dbupdate", compare, {QStringLiteral("update.log")}, QString(), {}});

    for (int run = 0; run < runs; ++run) {
        // Alternating the order, so neither side always finds the cache warm.
        for (int k = 0; k < candidates.size(); ++k) {
            Candidate &c = candidates[(k + run) % candidates.size()];
            removeRunFiles(runDir);
            if (!copyFile(original, data) || !copyFile(profile, runProfile))
                return 2;
            const double ms = timed(runDir, c.program, c.arguments, c.input);
            if (ms < 0)
                return 1;
            if (Fixture::scalar(data, QStringLiteral("select max(version) from version")).toInt() != 5) {
                fprintf(stderr, "%s did not reach version 5\n", c.name);
                return 1;
            }
            c.ms << ms;
        }
    }
    removeRunFiles(runDir);

    const double floor = median(candidates.first().ms);
    fprintf(stdout, "median of %d runs:\n", runs);
    for (const Candidate &c : qAsConst(candidates)) {
        QStringList all;
        for (double ms : c.ms)
            all << QString::number(ms, 'f', 0);
        fprintf(stdout, "  %-18s %8.0f ms  ratio %.2f   (runs: %s)\n", c.name, median(c.ms),
                median(c.ms) / floor, qPrintable(all.join(QLatin1Char(' '))));
    }
    return 0;
}
