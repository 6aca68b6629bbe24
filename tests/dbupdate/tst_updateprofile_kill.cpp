#include "dbfixture.h"
#include "profilefixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

// Kills the real dbupdate at many points of the upgrade of a version-0
// profile.db and checks after each kill, and after the next run, that the
// file is whole: at its old version or with everything that version 4
// needs, never in between.
class tst_UpdateProfileKill : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void killedAnywhere();

private:
    enum class Moment { Delay, JournalCreated, Committed, NextDatabase };
    QString killedRun(const QString &dir, Moment moment, qint64 delayUs);
    QString checkWhole(const QString &file, bool mustBeCurrent);

    QTemporaryDir m_dir;
    QString m_template;
    qint64 m_runUs = 0;
    int m_users = 0;
    int m_curves = 0;
    int m_points = 0;
};

namespace {

const int userCount = 4000;
const int curveCount = 600;

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

    // How long a whole run takes here, so the random kills fall inside it.
    const QString dir = m_dir.filePath("timing");
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(QFile::copy(m_template, dir + "/profile.db"));
    QElapsedTimer timer;
    timer.start();
    const Fixture::Run run = Fixture::runDbupdate(dir);
    m_runUs = timer.nsecsElapsed() / 1000;
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(checkWhole(dir + "/profile.db", true), QString());
    qInfo("one upgrade takes %lld ms", m_runUs / 1000);
}

QString tst_UpdateProfileKill::killedRun(const QString &dir, Moment moment, qint64 delayUs)
{
    const QString journal = dir + "/profile.db-journal";
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(QStringLiteral(DBUPDATE_BIN), QStringList());
    if (!p.waitForStarted())
        return QStringLiteral("dbupdate did not start");
    QElapsedTimer timer;
    timer.start();
    bool journalSeen = false;
    for (;;) {
        if (p.state() != QProcess::Running || timer.elapsed() > 60000)
            break;
        const bool journalNow = QFileInfo::exists(journal);
        journalSeen = journalSeen || journalNow;
        bool now = false;
        switch (moment) {
        case Moment::Delay: now = timer.nsecsElapsed() / 1000 >= delayUs; break;
        case Moment::JournalCreated: now = journalNow; break;
        case Moment::Committed: now = journalSeen && !journalNow; break;
        case Moment::NextDatabase: now = QFileInfo::exists(dir + "/data.db"); break;
        }
        if (now)
            break;
        // Let the process run for the random delays; spin for the others.
        if (moment == Moment::Delay)
            QThread::usleep(200);
    }
    p.kill();
    p.waitForFinished();
    return QString();
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
    struct Round { Moment moment; qint64 delayUs; const char *what; };
    QVector<Round> rounds;
    for (int i = 0; i < 4; ++i) {
        rounds.append({ Moment::JournalCreated, 0, "as the first page is written" });
        rounds.append({ Moment::Committed, 0, "right after the commit" });
    }
    rounds.append({ Moment::NextDatabase, 0, "as data.db is opened" });
    QRandomGenerator *random = QRandomGenerator::global();
    for (int i = 0; i < 24; ++i)
        rounds.append({ Moment::Delay, qint64(random->bounded(double(m_runUs))), "after a random delay" });

    int oldSeen = 0, newSeen = 0;
    for (int i = 0; i < rounds.size(); ++i) {
        const Round &round = rounds.at(i);
        const QString dir = m_dir.filePath(QString::number(i));
        QVERIFY(QDir().mkpath(dir));
        const QString file = dir + "/profile.db";
        QVERIFY(QFile::copy(m_template, file));
        const QString label = QStringLiteral("round %1, killed %2 (%3 us)").arg(i).arg(round.what).arg(round.delayUs);

        const QString started = killedRun(dir, round.moment, round.delayUs);
        QVERIFY2(started.isEmpty(), qPrintable(started));
        const QString afterKill = checkWhole(file, false);
        QVERIFY2(afterKill.isEmpty(), qPrintable(label + ": after the kill: " + afterKill));
        if (Fixture::scalar(file, "select count(*) from sqlite_master where name = 'version'").toInt())
            ++newSeen;
        else
            ++oldSeen;

        const Fixture::Run run = Fixture::runDbupdate(dir);
        QVERIFY2(run.exitCode == 0, qPrintable(label + ": rerun: " + QString::fromLocal8Bit(run.standardError)));
        const QString afterRerun = checkWhole(file, true);
        QVERIFY2(afterRerun.isEmpty(), qPrintable(label + ": after the rerun: " + afterRerun));
        QDir(dir).removeRecursively();
    }
    qInfo("%d kills left the old file, %d the upgraded one", oldSeen, newSeen);
    // Both outcomes occurred, so the kills fell before and after the commit.
    QVERIFY(oldSeen > 0);
    QVERIFY(newSeen > 0);
}

QTEST_GUILESS_MAIN(tst_UpdateProfileKill)
#include "tst_updateprofile_kill.moc"
