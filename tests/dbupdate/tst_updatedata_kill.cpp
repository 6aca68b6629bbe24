#include "dbfixture.h"
#include "killpoints.h"
#include "legacydata.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using KillPoints::Kill;

// The real upgrade program killed (SIGKILL) before chosen statements on
// data.db and inside its commits, then started again: no result may be lost
// and the next start must finish the upgrade.
class tst_UpdateDataKill : public QObject
{
    Q_OBJECT
private slots:
    void killedAnywhere_data();
    void killedAnywhere();
};

void tst_UpdateDataKill::killedAnywhere_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("patients"); // two results, curves and details each
    QTest::addColumn<bool>("every");   // killed before every statement
    // Enough patients that the copies spill from SQLite's page cache before
    // the commit; a sanitizer build, many times slower, lays fewer.
    const int bulk = KillPoints::sampled ? 300 : 1500;
    // Version 4 has curves of result versions 1 and 2: a run that repeated
    // the conversion of version 2 files would set them all to 1.
    QTest::newRow("version 0") << 0 << bulk << false;
    QTest::newRow("version 2") << 2 << bulk << false;
    QTest::newRow("version 4") << 4 << bulk << false;
    // The longest upgrade of a small file, killed before each of its statements.
    if (!KillPoints::sampled)
        QTest::newRow("version 0, every statement") << 0 << 20 << true;
}

void tst_UpdateDataKill::killedAnywhere()
{
    QFETCH(int, from);
    QFETCH(int, patients);
    QFETCH(bool, every);
    QTemporaryDir work(KillPoints::scratchTemplate(QStringLiteral("tst_updatedata_kill")));
    QVERIFY(work.isValid());
    const QString original = work.filePath(QStringLiteral("original.db"));
    QVERIFY(Legacy::createData(original, from));
    QVERIFY(Legacy::addBulkData(original, from, patients, 60));
    const QByteArray originalDigest = Legacy::contentDigest(original);
    QVERIFY(!originalDigest.isEmpty());

    // One traced run: which statements and writes go to data.db.
    const QString traceDir = work.filePath(QStringLiteral("trace"));
    QVERIFY(QDir().mkpath(traceDir));
    QVERIFY(QFile::copy(original, traceDir + QStringLiteral("/data.db")));
    QVERIFY(Legacy::layProfile(traceDir));
    const KillPoints::Trace trace = KillPoints::traced(traceDir, {traceDir + QStringLiteral("/update.log")});
    QCOMPARE(trace.exitCode, 0);
    // Beside the transaction statements: the start of the blocks that have
    // no savepoint of their own, and the last statement of the trigger's.
    const QList<Kill> points = KillPoints::choose(trace, "data.db", every, KillPoints::sampled ? 0 : 8,
                                                  {"drop trigger on_delete_patient", "drop view if exists result",
                                                   "alter table patient add memo text"});
    int writeKills = 0;
    for (const Kill &k : points)
        writeKills += k.write > 0;
    // Sampled, a small upgrade (version 4: one block) has few boundaries.
    QVERIFY2(points.size() > (KillPoints::sampled ? 5 : 10), "the trace shows no statements on data.db");
    QVERIFY2(writeKills > 0, "the trace shows no commit writing data.db");

    // Every third round (not sampled) the restarted run is killed at the same point too.
    QList<QList<Kill>> rounds;
    for (int i = 0; i < points.size(); ++i)
        rounds << (KillPoints::killTwice(i) ? QList<Kill>{points.at(i), points.at(i)} : QList<Kill>{points.at(i)});

    int killsThatLeftOldVersion = 0;
    int killsAfterCommit = 0;
    for (const QList<Kill> &round : qAsConst(rounds)) {
        QTemporaryDir dir(work.filePath(QStringLiteral("round-XXXXXX")));
        const QString data = dir.filePath(QStringLiteral("data.db"));
        QVERIFY(QFile::copy(original, data));
        QVERIFY(Legacy::layProfile(dir.path()));
        QString what;
        for (int k = 0; k < round.size(); ++k) {
            const Kill &kill = round.at(k);
            what += kill.describe() + QLatin1Char(' ');
            if (!KillPoints::runKilled(dir.path(), {dir.filePath(QStringLiteral("update.log"))}, kill)) {
                // A restart after the commit has fewer statements to reach.
                QVERIFY2(k > 0, qPrintable(what + QStringLiteral("did not die")));
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
    qInfo("version %d, %d patients: %lld rounds (%d in a commit), %lld statements traced; %d kills left the"
          " old file, %d the upgraded one", from, patients, qint64(rounds.size()), writeKills,
          qint64(trace.statements.size()), killsThatLeftOldVersion, killsAfterCommit);
}

QTEST_GUILESS_MAIN(tst_UpdateDataKill)
#include "tst_updatedata_kill.moc"
