#include "dbfixture.h"
#include "legacydata.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

// The real upgrade program killed (SIGKILL) between any two of its
// statements on data.db, and at random moments, then started again: no
// result may be lost and the next start must finish the upgrade.
class tst_UpdateDataKill : public QObject
{
    Q_OBJECT
private slots:
    void killedAnywhere_data();
    void killedAnywhere();
};

namespace {

const int patients = 1500; // two results, curves and details each
const int curvePoints = 60;

struct Kill {
    qint64 atStatement = 0; // the N-th statement the program prepares, or
    int afterMs = -1;       // a delay after the start
    QString describe() const
    {
        return atStatement > 0 ? QStringLiteral("killed before statement %1").arg(atStatement)
                               : QStringLiteral("killed after %1 ms").arg(afterMs);
    }
};

QProcessEnvironment hookEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(SQLHOOK_LIB));
    // A sanitizer build wants its runtime first; the hook does not mind.
    const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               (asan.isEmpty() ? QString() : asan + QLatin1Char(':')) + QStringLiteral("verify_asan_link_order=0"));
    return env;
}

// Runs dbupdate in `dir`; returns true when it was killed.
bool runKilled(const QString &dir, const Kill &kill)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    if (kill.atStatement > 0) {
        QProcessEnvironment env = hookEnvironment();
        env.insert(QStringLiteral("WS_SQLHOOK_KILL_AT"), QString::number(kill.atStatement));
        p.setProcessEnvironment(env);
    }
    p.start(QStringLiteral(DBUPDATE_BIN), {QDir(dir).filePath(QStringLiteral("update.log"))});
    if (!p.waitForStarted())
        return false;
    if (kill.afterMs >= 0 && !p.waitForFinished(kill.afterMs))
        p.kill();
    p.waitForFinished(60000);
    return p.exitStatus() == QProcess::CrashExit;
}

} // namespace

void tst_UpdateDataKill::killedAnywhere_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("randomRounds");
    // Version 4 has curves of result versions 1 and 2: a run that repeated
    // the conversion of version 2 files would set them all to 1.
    QTest::newRow("version 0") << 0 << 12;
    QTest::newRow("version 2") << 2 << 12;
    QTest::newRow("version 4") << 4 << 4;
}

void tst_UpdateDataKill::killedAnywhere()
{
    QFETCH(int, from);
    QFETCH(int, randomRounds);
    // A process kill leaves the file's pages in the operating system's
    // cache whether or not they were synced, so the rounds run on a memory
    // file system when there is one: the syncs would only cost time.
    const QString shm = QStringLiteral("/dev/shm");
    const bool memory = QFileInfo(shm).isDir() && QFileInfo(shm).isWritable();
    QTemporaryDir work(memory ? shm + QStringLiteral("/tst_updatedata_kill-XXXXXX")
                              : QDir::tempPath() + QStringLiteral("/tst_updatedata_kill-XXXXXX"));
    QVERIFY(work.isValid());
    const QString original = work.filePath(QStringLiteral("original.db"));
    QVERIFY(Legacy::createData(original, from));
    QVERIFY(Legacy::addBulkData(original, from, patients, curvePoints));
    const QByteArray originalDigest = Legacy::contentDigest(original);
    QVERIFY(!originalDigest.isEmpty());

    // One traced run: which statements go to data.db, and how long a run takes.
    const QString traceDir = work.filePath(QStringLiteral("trace"));
    QVERIFY(QDir().mkpath(traceDir));
    QVERIFY(QFile::copy(original, traceDir + QStringLiteral("/data.db")));
    QVERIFY(Legacy::layProfile(traceDir));
    QList<qint64> points;
    int statementsOnData = 0;
    int runMs = 0;
    {
        QProcess p;
        p.setWorkingDirectory(traceDir);
        QProcessEnvironment env = hookEnvironment();
        env.insert(QStringLiteral("WS_SQLHOOK_TRACE"), traceDir + QStringLiteral("/trace.txt"));
        p.setProcessEnvironment(env);
        QElapsedTimer timer;
        timer.start();
        p.start(QStringLiteral(DBUPDATE_BIN), {traceDir + QStringLiteral("/update.log")});
        QVERIFY(p.waitForFinished(60000));
        runMs = int(timer.elapsed());
        QCOMPARE(p.exitCode(), 0);
        // Always killed before these: the start of every block and of the
        // version write, the commit, and the middle of each row copy.
        static const char *const boundaries[] = {
            "begin transaction", "savepoint ", "drop trigger on_delete_patient", "release savepoint",
            "drop view if exists result", "alter table patient add memo text", "delete from version",
            "insert into version values(5)", "commit transaction",
        };
        QList<qint64> others;
        bool afterData = false;
        int inserts = 0;
        for (const QByteArray &line : Fixture::readFile(traceDir + QStringLiteral("/trace.txt")).split('\n')) {
            const QList<QByteArray> fields = line.split('\t');
            if (fields.size() < 3)
                continue;
            const qint64 n = fields.at(0).toLongLong();
            const QByteArray &statement = fields.at(2);
            if (fields.at(1) != "data.db") {
                if (afterData) {
                    // Right after the commit, before the next file is touched.
                    points << n;
                    break;
                }
                continue;
            }
            afterData = true;
            inserts = statement.startsWith("INSERT INTO") ? inserts + 1 : 0;
            bool boundary = inserts == 2;
            for (const char *b : boundaries)
                boundary = boundary || statement.startsWith(b);
            (boundary ? points : others) << n;
        }
        statementsOnData = int(points.size() + others.size()) - 1;
        // And a sample of everything in between, SQLite's own schema reads
        // inside the statements included.
        const int stride = qMax(1, int(others.size()) / qMax(1, 48 - int(points.size())));
        for (int i = 0; i < others.size(); i += stride)
            points << others.at(i);
    }
    QVERIFY2(points.size() > 10, "the trace shows no statements on data.db");

    QList<QList<Kill>> rounds;
    for (qint64 n : qAsConst(points))
        rounds << QList<Kill>({Kill{n, -1}});
    QRandomGenerator random(20261208u + quint32(from));
    for (int i = 0; i < randomRounds; ++i) {
        QList<Kill> round = {Kill{0, int(random.bounded(runMs + runMs / 4 + 1))}};
        // Every other round the restarted run is killed as well.
        if (i % 2)
            round << Kill{0, int(random.bounded(runMs + 1))};
        rounds << round;
    }

    int killsThatLeftOldVersion = 0;
    int killsAfterCommit = 0;
    for (const QList<Kill> &round : qAsConst(rounds)) {
        QTemporaryDir dir(work.filePath(QStringLiteral("round-XXXXXX")));
        const QString data = dir.filePath(QStringLiteral("data.db"));
        QVERIFY(QFile::copy(original, data));
        QVERIFY(Legacy::layProfile(dir.path()));
        QString what;
        for (const Kill &kill : round) {
            what += kill.describe() + QLatin1Char(' ');
            if (!runKilled(dir.path(), kill)) {
                QVERIFY2(kill.atStatement == 0, qPrintable(what + QStringLiteral("did not die")));
                continue;
            }
            // What another program opening the file now would find: the
            // old file or the finished upgrade, nothing in between. Looked
            // at on a copy, so that the restart below does its own recovery.
            const QString check = dir.filePath(QStringLiteral("check"));
            QVERIFY(QDir().mkpath(check));
            for (const QString &name : {QStringLiteral("data.db"), QStringLiteral("data.db-journal")}) {
                QFile::remove(check + QLatin1Char('/') + name);
                if (QFile::exists(dir.filePath(name)))
                    QVERIFY(QFile::copy(dir.filePath(name), check + QLatin1Char('/') + name));
            }
            const QString copy = check + QStringLiteral("/data.db");
            const int version = Fixture::scalar(copy, "select count(*) from sqlite_master where name = 'version'").toInt()
                ? Fixture::scalar(copy, "select max(version) from version").toInt() : 0;
            if (version == from) {
                QVERIFY2(Legacy::contentDigest(copy) == originalDigest, qPrintable(what));
                ++killsThatLeftOldVersion;
            } else {
                QVERIFY2(version == 5, qPrintable(what + QStringLiteral("left version %1").arg(version)));
                ++killsAfterCommit;
            }
        }

        const Fixture::Run rerun = Fixture::runDbupdate(dir.path(), {dir.filePath(QStringLiteral("update.log"))});
        QVERIFY2(rerun.exitCode == 0, qPrintable(what + QString::fromUtf8(Fixture::readFile(dir.filePath(QStringLiteral("update.log"))))));

        QCOMPARE(Fixture::rows(data, "select version from version"), QStringList({"5"}));
        QCOMPARE(Fixture::scalar(data, "pragma integrity_check").toString(), QStringLiteral("ok"));
        Legacy::Comparison compare(data, original);
        QVERIFY(compare.isValid());
        if (from < 3) {
            QVERIFY2(compare.differences("select * from main.results",
                                         "select id, patientId, item, subitem, 1, abbr, code, null, null, result, unit,"
                                         " flag, displayOrder, lowerMarkLimit, upperMarkLimit from old.result") == 0,
                     qPrintable(what));
            QVERIFY2(compare.differences("select patientId, item, subitem, resultsId from main.checkedResult",
                                         "select patientId, item, subitem, id from old.result") == 0, qPrintable(what));
            QVERIFY2(compare.differences("select * from main.curve",
                                         "select id, patientId, item, 1, curve from old.curve") == 0, qPrintable(what));
        } else {
            QVERIFY2(compare.differences("select * from main.results", "select * from old.results") == 0, qPrintable(what));
            QVERIFY2(compare.differences("select * from main.checkedResult", "select * from old.checkedResult") == 0,
                     qPrintable(what));
            QVERIFY2(compare.differences("select * from main.curve", "select * from old.curve") == 0, qPrintable(what));
        }
        QVERIFY2(compare.scalar("select count(*) from sqlite_master where type = 'index' and name in ("
                                "'department_index', 'sex_index', 'treatmentRoom_index', 'diagnosis_index',"
                                " 'doctor_index', 'operator_index', 'memo_index')"
                                " and tbl_name || '_index' = name").toInt() == 7, qPrintable(what));
    }
    // Both outcomes of a kill were seen, so the checks above saw both.
    QVERIFY(killsThatLeftOldVersion > 0);
    QVERIFY(killsAfterCommit > 0);
    qInfo("version %d: %lld rounds, %d statements on data.db, a run takes %d ms; %d kills left the old file,"
          " %d the upgraded one", from, qint64(rounds.size()), statementsOnData, runMs,
          killsThatLeftOldVersion, killsAfterCommit);
}

QTEST_GUILESS_MAIN(tst_UpdateDataKill)
#include "tst_updatedata_kill.moc"
