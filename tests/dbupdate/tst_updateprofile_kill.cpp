#include "dbfixture.h"
#include "killpoints.h"
#include "profilefixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// Kills the real dbupdate before chosen statements of the upgrade of a
// version-0 profile.db and inside its commits, and checks after each kill,
// and after the next run, that the file is whole: at its old version or with
// everything that version 4 needs, never in between.
class tst_UpdateProfileKill : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void killedAnywhere();

private:
    QString checkWhole(const QString &file, bool mustBeCurrent);

    QTemporaryDir m_dir{KillPoints::scratchTemplate(QStringLiteral("tst_updateprofile_kill"))};
    QString m_template;
    KillPoints::Trace m_trace;
    int m_users = 0;
    int m_curves = 0;
    int m_points = 0;
};

namespace {

// Enough that the user copy and the fills spill from SQLite's page cache
// before the commit; fewer in a sanitizer build, many times slower.
const int userCount = KillPoints::sampled ? 800 : 4000;
const int curveCount = KillPoints::sampled ? 120 : 600;

} // namespace

void tst_UpdateProfileKill::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_template = m_dir.filePath("template.db");
    // Enough users and curves that the copy and the fills take a while.
    const QString extra = QStringLiteral(R"(
        insert into user (id, name, password, level, hide)
            with recursive n(i) as (select 3 union all select i + 1 from n where i < %1)
            select i, 'user' || i, 'pw' || i, i % 3, 0 from n;
        insert into curve (id, name, xunit, yunit, correlation, date, xFun, yFun, a, b)
            with recursive n(i) as (select 4 union all select i + 1 from n where i < %2)
            select i, case i % 5 when 0 then 'PT' when 1 then 'FIB' when 2 then 'APTT'
                   when 3 then 'DD' else 'Lot ' || i end,
                   'g/L', 's', 0.99, '2026-11-02', 1, 1, i * 0.01, -0.5 from n;
        insert into curvePoint (curveId, x, y)
            with recursive n(i) as (select 4 union all select i + 1 from n where i < %2)
            select i, 1.0, 20.0 from n union all select i, 4.0, 8.0 from n;
    )").arg(userCount).arg(curveCount);
    QVERIFY(ProfileFixture::make(m_template, 0, extra));
    m_users = Fixture::scalar(m_template, "select count(*) from user").toInt();
    m_curves = Fixture::scalar(m_template, "select count(*) from curve").toInt();
    QCOMPARE(m_users, userCount);
    QCOMPARE(m_curves, curveCount);
    m_points = Fixture::scalar(m_template, "select count(*) from curvePoint").toInt();

    // One traced run: which statements and writes go to profile.db.
    const QString dir = m_dir.filePath("trace");
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(QFile::copy(m_template, dir + "/profile.db"));
    m_trace = KillPoints::traced(dir, {});
    QCOMPARE(m_trace.exitCode, 0);
    QCOMPARE(checkWhole(dir + "/profile.db", true), QString());
}

QString tst_UpdateProfileKill::checkWhole(const QString &file, bool mustBeCurrent)
{
    const QString integrity = Fixture::scalar(file, "pragma integrity_check").toString();
    if (integrity != "ok")
        return "integrity_check: " + integrity;
    if (Fixture::scalar(file, "select count(*) from user").toInt() != m_users)
        return QStringLiteral("users lost");
    if (Fixture::scalar(file, "select count(*) from curve").toInt() != m_curves)
        return QStringLiteral("curves lost");
    if (Fixture::scalar(file, "select count(*) from curvePoint").toInt() != m_points)
        return QStringLiteral("curve points lost");

    const bool hasVersion = Fixture::scalar(file, "select count(*) from sqlite_master where name = 'version'").toInt() > 0;
    if (!hasVersion) {
        if (mustBeCurrent)
            return QStringLiteral("no version table");
        // Still the old file: the user table not rebuilt, nothing seeded.
        if (Fixture::scalar(file, "select sql from sqlite_master where name = 'user'").toString().contains("NOCASE")
            || Fixture::scalar(file, "select count(*) from sqlite_master where name in ('currentCurve', 'curveInfo', 'user_bak')").toInt() != 0
            || Fixture::scalar(file, "select count(*) from profile where name = 'dilution'").toInt() != 0)
            return QStringLiteral("half-upgraded file without a version");
        return QString();
    }
    const QStringList version = Fixture::rows(file, "select version from version");
    if (version != QStringList("4"))
        return "version rows " + version.join(',');
    if (Fixture::scalar(file, "select count(*) from curve where name not in (select name from currentCurve)").toInt() != 0)
        return QStringLiteral("a curve name without a current curve");
    if (Fixture::scalar(file, "select count(*) from profile where name in ('dilution', 'FIB/report/dilution', "
                              "'patient/sampleType', 'patient/hospitalNo', 'schedule/test/XII', "
                              "'analyst/APTT/odThreshold', 'analyst/odThreshold')").toInt() != 7
        || Fixture::scalar(file, "select value from profile where name = 'schedule/test/PT'").toInt() != 27
        || Fixture::scalar(file, "select count(*) from reagent where name in ('Buffer', 'Latex') and vialType = 3").toInt() != 1
        || Fixture::scalar(file, "select count(*) from assayCalibration where method is not null").toInt() != 4)
        return QStringLiteral("version-2 or version-3 defaults missing");
    if (Fixture::scalar(file, "select count(*) from sqlite_master where name = 'user_bak' or name = 'curve_index'").toInt() != 0)
        return QStringLiteral("leftover table or index");
    if (mustBeCurrent
        && (Fixture::scalar(file, "select count(*) from profile where name = 'patient/memo'").toInt() != 1
            || Fixture::scalar(file, "select count(*) from reagent where name = 'Buffer(ATIII)'").toInt() != 1))
        return QStringLiteral("closing rows missing");
    return QString();
}

void tst_UpdateProfileKill::killedAnywhere()
{
    const QList<KillPoints::Kill> points = KillPoints::choose(m_trace, "profile.db", false,
                                                              KillPoints::sampled ? 0 : 16);
    int writeKills = 0;
    for (const KillPoints::Kill &k : points)
        writeKills += k.write > 0;
    QVERIFY2(points.size() > 10, "the trace shows no statements on profile.db");
    QVERIFY2(writeKills > 0, "the trace shows no commit writing profile.db");

    int oldSeen = 0, newSeen = 0;
    for (int i = 0; i < points.size(); ++i) {
        const QString dir = m_dir.filePath(QString::number(i));
        QVERIFY(QDir().mkpath(dir));
        const QString file = dir + "/profile.db";
        QVERIFY(QFile::copy(m_template, file));
        // Every third round (not sampled) the restarted run is killed at the same point too.
        const int kills = KillPoints::killTwice(i) ? 2 : 1;
        QString label = QStringLiteral("round %1").arg(i);
        for (int k = 0; k < kills; ++k) {
            label += QLatin1String(", ") + points.at(i).describe();
            if (!KillPoints::runKilled(dir, {}, points.at(i))) {
                // A restart after the commit has fewer statements to reach.
                QVERIFY2(k > 0, qPrintable(label + ": did not die"));
                break;
            }
            const QString afterKill = checkWhole(file, false);
            QVERIFY2(afterKill.isEmpty(), qPrintable(label + ": after the kill: " + afterKill));
            if (Fixture::scalar(file, "select count(*) from sqlite_master where name = 'version'").toInt())
                ++newSeen;
            else
                ++oldSeen;
        }

        const Fixture::Run run = Fixture::runDbupdate(dir);
        QVERIFY2(run.exitCode == 0, qPrintable(label + ": rerun: " + QString::fromLocal8Bit(run.standardError)));
        const QString afterRerun = checkWhole(file, true);
        QVERIFY2(afterRerun.isEmpty(), qPrintable(label + ": after the rerun: " + afterRerun));
        QDir(dir).removeRecursively();
    }
    qInfo("%lld rounds (%d in a commit), %lld statements traced; %d kills left the old file, %d the upgraded one",
          qint64(points.size()), writeKills, qint64(m_trace.statements.size()), oldSeen, newSeen);
    // Both outcomes occurred, so the kills fell before and after the commit.
    QVERIFY(oldSeen > 0);
    QVERIFY(newSeen > 0);
}

QTEST_GUILESS_MAIN(tst_UpdateProfileKill)
#include "tst_updateprofile_kill.moc"
