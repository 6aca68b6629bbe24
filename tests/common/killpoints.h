#ifndef KILLPOINTS_H
#define KILLPOINTS_H

#include "dbfixture.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// The kill tests' common part: the real dbupdate run under the preloaded
// statement hook (sqlhook.c), first traced, then killed at chosen statement
// or write numbers. Both numbers are the same from run to run on the same
// files, so every kill point is reached on any machine however busy.
namespace KillPoints {

// Set in sanitizer builds, where each run is many times slower: the tests
// lay a smaller file and kill at the block boundaries and commits only, each
// once (see choose() and killTwice()).
#ifdef WS_KILL_SAMPLED
constexpr bool sampled = true;
#else
constexpr bool sampled = false;
#endif

struct Statement {
    qint64 number = 0;
    QByteArray file; // base name of the database it went to
    QByteArray sql;
};

struct Write {
    qint64 number = 0;
    qint64 statement = 0; // the last statement prepared before it
    QByteArray file;
};

struct Trace {
    QList<Statement> statements;
    QList<Write> writes;
    int exitCode = -1;
};

struct Kill {
    qint64 statement = 0; // before the N-th statement is prepared, or
    qint64 write = 0;     // before the N-th write to a database file
    QString describe() const
    {
        return statement > 0 ? QStringLiteral("killed before statement %1").arg(statement)
                             : QStringLiteral("killed before write %1").arg(write);
    }
};

// A template for QTemporaryDir on a memory file system when there is one: a
// process kill leaves the file's pages in the operating system's cache
// whether or not they were synced, so the syncs would only cost time.
inline QString scratchTemplate(const QString &name)
{
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    return (shm.isDir() && shm.isWritable() ? shm.filePath() : QDir::tempPath()) + QLatin1Char('/') + name
        + QStringLiteral("-XXXXXX");
}

inline QProcessEnvironment hookEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(SQLHOOK_LIB));
    // A sanitizer build wants its runtime first; the hook does not mind.
    const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               (asan.isEmpty() ? QString() : asan + QLatin1Char(':')) + QStringLiteral("verify_asan_link_order=0"));
    return env;
}

// Runs dbupdate in `dir` to its end with both traces on.
inline Trace traced(const QString &dir, const QStringList &arguments)
{
    const QString statements = QDir(dir).filePath(QStringLiteral("statements.trace"));
    const QString writes = QDir(dir).filePath(QStringLiteral("writes.trace"));
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    QProcessEnvironment env = hookEnvironment();
    env.insert(QStringLiteral("WS_SQLHOOK_TRACE"), statements);
    env.insert(QStringLiteral("WS_SQLHOOK_WRITES"), writes);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(DBUPDATE_BIN), arguments);
    Trace trace;
    if (!p.waitForFinished(-1))
        return trace;
    trace.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    for (const QByteArray &line : Fixture::readFile(statements).split('\n')) {
        const QList<QByteArray> f = line.split('\t');
        if (f.size() >= 3)
            trace.statements.append({f.at(0).toLongLong(), f.at(1), f.at(2)});
    }
    for (const QByteArray &line : Fixture::readFile(writes).split('\n')) {
        const QList<QByteArray> f = line.split('\t');
        if (f.size() >= 3)
            trace.writes.append({f.at(0).toLongLong(), f.at(1).toLongLong(), f.at(2)});
    }
    return trace;
}

// Whether round `i` kills the restarted run at the same point again: every
// third round, outside the sampled runs.
inline bool killTwice(int i)
{
    return !sampled && i % 3 == 2;
}

// Runs dbupdate in `dir` until the kill; true when it was killed.
inline bool runKilled(const QString &dir, const QStringList &arguments, const Kill &kill)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    QProcessEnvironment env = hookEnvironment();
    if (kill.statement > 0)
        env.insert(QStringLiteral("WS_SQLHOOK_KILL_AT"), QString::number(kill.statement));
    else
        env.insert(QStringLiteral("WS_SQLHOOK_KILL_AT_WRITE"), QString::number(kill.write));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(DBUPDATE_BIN), arguments);
    if (!p.waitForFinished(-1))
        return false;
    return p.exitStatus() == QProcess::CrashExit;
}

// Where to kill the upgrade of `file` (a base name such as "data.db"):
// - before every statement on it when `every`; otherwise before each
//   transaction or savepoint statement and the one after it (of a
//   transaction repeated many times, its first three times and the last), each write of
//   the version, the second row of each row-by-row copy, each statement
//   starting with one of `extra`, its first statement, and `sample` more
//   spread evenly over the rest;
// - right after its last statement, before the next file is touched;
// - inside each commit on it: before its first write, its first write to
//   the file itself (the journal is complete), its middle and its last
//   write; and in the middle of the statement with most writes before a
//   commit (the page cache spilling).
// Sampled, the points are the boundaries themselves: each transaction and
// savepoint statement (of a repeated one, its first and last time), each
// write of the version, the `extra` statements, the first and the next
// file's; inside each commit, its first write to the file and its last.
inline QList<Kill> choose(const Trace &trace, const QByteArray &file, bool every, int sample,
                          const QList<QByteArray> &extra = {})
{
    static const char *const control[] = {"begin", "savepoint", "release", "commit", "end", "rollback"};
    static const char *const version[] = {"delete from version", "insert into version", "create table version",
                                          "update version"};
    auto startsWith = [](const QByteArray &sql, const char *prefix) {
        return sql.trimmed().toLower().startsWith(prefix);
    };
    auto isControl = [&](const QByteArray &sql) {
        for (const char *c : control)
            if (startsWith(sql, c))
                return true;
        return false;
    };

    // A transaction repeated many times over (one per refitted curve, say)
    // counts with its first three and its last time.
    QHash<QByteArray, int> times, last;
    for (const Statement &s : trace.statements)
        if (s.file == file && isControl(s.sql))
            last[s.sql] = ++times[s.sql];
    times.clear();

    QList<Kill> points;
    QList<qint64> others;
    QList<qint64> commits;
    qint64 first = 0, next = 0;
    bool previousControl = false, seen = false;
    int inserts = 0;
    for (const Statement &s : trace.statements) {
        if (s.file != file) {
            if (seen && !next)
                next = s.number;
            continue;
        }
        next = 0; // the file again after another one: the later work counts too
        seen = true;
        if (!first)
            first = s.number;
        inserts = s.sql.startsWith("INSERT INTO") ? inserts + 1 : 0;
        bool control = false;
        if (isControl(s.sql)) {
            const int time = ++times[s.sql];
            control = time <= (sampled ? 1 : 3) || time == last.value(s.sql);
        }
        bool boundary = every || s.number == first || control
            || (!sampled && (previousControl || inserts == 2));
        for (const char *v : version)
            boundary = boundary || startsWith(s.sql, v);
        for (const QByteArray &e : extra)
            boundary = boundary || s.sql.startsWith(e);
        if (control && (startsWith(s.sql, "commit") || startsWith(s.sql, "end")))
            commits << s.number;
        previousControl = control;
        if (boundary)
            points << Kill{s.number, 0};
        else
            others << s.number;
    }
    if (next)
        points << Kill{next, 0};
    const int stride = sample > 0 ? qMax(1, int(others.size()) / sample) : 0;
    for (int i = 0; stride && i < others.size(); i += stride)
        points << Kill{others.at(i), 0};

    // Writes to the file and its journal, grouped by the statement they belong to.
    const QByteArray journal = file + "-journal";
    auto writesOf = [&](qint64 statement) {
        QList<const Write *> w;
        for (const Write &write : trace.writes)
            if (write.statement == statement && (write.file == file || write.file == journal))
                w << &write;
        return w;
    };
    QList<qint64> writes;
    for (qint64 c : qAsConst(commits)) {
        const QList<const Write *> w = writesOf(c);
        if (w.isEmpty())
            continue;
        writes << w.last()->number;
        if (!sampled)
            writes << w.first()->number << w.at(w.size() / 2)->number;
        for (const Write *x : w) {
            if (x->file == file) {
                writes << x->number;
                break;
            }
        }
    }
    qint64 busiest = 0;
    int most = 0;
    QHash<qint64, int> writeCounts;
    for (const Write &write : trace.writes)
        if (write.file == file || write.file == journal)
            ++writeCounts[write.statement];
    for (const Statement &s : trace.statements) {
        if (s.file != file || startsWith(s.sql, "commit") || startsWith(s.sql, "end"))
            continue;
        const int n = writeCounts.value(s.number);
        if (n > most) {
            most = n;
            busiest = s.number;
        }
    }
    if (!sampled && most > 2) {
        const QList<const Write *> w = writesOf(busiest);
        writes << w.at(w.size() / 2)->number;
    }
    std::sort(writes.begin(), writes.end());
    writes.erase(std::unique(writes.begin(), writes.end()), writes.end());
    for (qint64 w : qAsConst(writes))
        points << Kill{0, w};
    return points;
}

} // namespace KillPoints

#endif // KILLPOINTS_H
