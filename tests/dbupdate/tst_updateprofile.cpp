#include "dbfixture.h"
#include "profilefixture.h"
#include "updateprofile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList g_messages;

void collect(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg && !text.startsWith(QLatin1String("QSqlDatabasePrivate::addDatabase")))
        g_messages << text;
}

const char chineseSeries[] =
    "梯度1;1/5;1/10;1/20;1/30,梯度2;1/5;1/10;1/20;1/30;1/40,梯度3;1/1;1/2;1/4;1/8,梯度4;1/1;3/4;1/2;1/4";

} // namespace

class tst_UpdateProfile : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void schemaAtEveryVersion_data();
    void schemaAtEveryVersion();
    void seededRows_data();
    void seededRows();
    void reagentList();
    void insertKeepsAndReplaceResets();
    void disableKeysRemoved();
    void upperNormalOnlyFourteen_data();
    void upperNormalOnlyFourteen();
    void calibrationMethods_data();
    void calibrationMethods();
    void currentCurveFill();
    void secondRunAddsNothing();
    void deleteCurveCascades_data();
    void deleteCurveCascades();
    void captions_data();
    void captions();
    void caseDuplicateUsersUndoTheUpgrade();
    void failedVersionReadChangesNothing();

private:
    bool upgrade();
    QString db() const { return m_dir.filePath(QStringLiteral("profile.db")); }
    QString value(const QString &key) const;
    QTemporaryDir m_dir;
    QString m_previousDir;
    QtMessageHandler m_previous = nullptr;
};

void tst_UpdateProfile::init()
{
    QVERIFY(m_dir.isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    g_messages.clear();
    m_previous = qInstallMessageHandler(collect);
}

void tst_UpdateProfile::cleanup()
{
    qInstallMessageHandler(m_previous);
    QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
    QDir::setCurrent(m_previousDir);
    QDir dir(m_dir.path());
    for (const QString &f : dir.entryList(QDir::Files))
        dir.remove(f);
}

bool tst_UpdateProfile::upgrade()
{
    UpdateProfile profile;
    return profile.update();
}

QString tst_UpdateProfile::value(const QString &key) const
{
    const QStringList r = Fixture::rows(db(), QStringLiteral("select typeof(value) || ':' || value from profile "
                                                             "where name = '%1'").arg(key));
    return r.isEmpty() ? QStringLiteral("absent") : r.join(QLatin1Char(','));
}

void tst_UpdateProfile::schemaAtEveryVersion_data()
{
    QTest::addColumn<int>("version");
    for (int v = 0; v <= 4; ++v)
        QTest::addRow("version %d", v) << v;
}

void tst_UpdateProfile::schemaAtEveryVersion()
{
    QFETCH(int, version);
    QVERIFY(ProfileFixture::make(db(), version));
    const QStringList usersBefore = Fixture::rows(db(), "select * from user order by id");
    QVERIFY(upgrade());

    QCOMPARE(Fixture::rows(db(), "select version from version"), QStringList("4"));
    QCOMPARE(Fixture::rows(db(), "select * from user order by id"), usersBefore);
    QVERIFY(Fixture::scalar(db(), "select sql from sqlite_master where name = 'user'").toString()
                .contains("name text unique COLLATE NOCASE"));
    QCOMPARE(Fixture::rows(db(), "select name from sqlite_master where name in "
                                 "('user_bak', 'curve_index') or name like '%_bak'"),
             QStringList());
    QCOMPARE(Fixture::rows(db(), "select name from pragma_table_info('curve') where cid >= 10 order by cid"),
             QStringList({"instrUuid", "c", "d", "e", "valid", "lotsNum"}));
    QCOMPARE(Fixture::rows(db(), "select name from pragma_table_info('assayCalibration') where cid >= 8"),
             QStringList({"method", "dispX", "dispY"}));
    QCOMPARE(Fixture::rows(db(), "select name from pragma_table_info('currentCurve')"),
             QStringList({"id", "name", "curveId"}));
    QCOMPARE(Fixture::rows(db(), "select name from pragma_table_info('curveInfo')"),
             QStringList({"curveId", "name", "value"}));
    QVERIFY(Fixture::scalar(db(), "select sql from sqlite_master where name = 'deleteCurve'").toString()
                .contains("currentCurve.curveId = old.id"));
    QCOMPARE(Fixture::scalar(db(), "pragma integrity_check").toString(), QString("ok"));
    // Every run writes the closing rows once the calibrations are through.
    QCOMPARE(Fixture::scalar(db(), "select count(*) from reagent where name = 'Buffer(ATIII)'").toInt(), 1);
    QCOMPARE(value("patient/memo"), QString("text:备注"));
    // Nothing failed on a file the releases made, except the plain inserts
    // of keys a file already has.
    QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join('\n')));
}

void tst_UpdateProfile::seededRows_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<QStringList>("expected");

    struct Row { const char *key; const char *expected; };
    // Written below version 2 only; a bare number is stored as a number.
    static const Row group1[] = {
        { "FIB/report/dilution", "text:1/10" },
        { "dilution", nullptr },
        { "patient/sampleType", "text:样本类型" },
        { "DD/mix/times", "integer:3" },
        { "DD/max_clot_time", "integer:120" },
        { "specialValue/DD/P", "real:0.1" },
        { "DD/priority", "integer:10" },
        { "FDP/mix/times", "integer:3" },
        { "FDP/max_clot_time", "integer:120" },
        { "specialValue/FDP/P", "real:0.1" },
        { "reagent/initVolume", "text:初始量[ul]" },
        { "reagent/alarmLimit", "text:报警限[ul]" },
        { "reagent/interruptLimit", "text:中断限[ul]" },
        { "patient/hospitalNo", "text:住院号" },
        { "schedule/sample", "integer:6" },
        { "schedule/reagent", "integer:6" },
        { "schedule/mix", "integer:2" },
        { "schedule/dilution", "integer:12" },
        { "schedule/dilution/1/10", "integer:12" },
        { "schedule/dilution/1/20", "integer:17" },
        { "schedule/dilution/1/40", "integer:22" },
        { "schedule/clean", "integer:15" },
        { "schedule/test/FIB/table", "text:0.2,25;0.1,35;0.05,45;0.025,65" },
        { "schedule/test/APTT", "integer:50" },
        { "schedule/test/TT", "integer:35" },
        { "schedule/test/II", "integer:30" },
        { "schedule/test/XII", "integer:30" },
        { "analyst/FIB/odPercent", "real:0.5" },
        { "analyst/FIB/odThreshold", "text:4,0.008; 6,0.004; 10,0.0025; 20,0.001; 40,0.0005" },
        { "analyst/APTT/odThreshold", "text:4,0.2; 10,0.05; 20,0.02" },
    };
    for (int v = 0; v <= 4; ++v) {
        QStringList expected;
        for (const Row &row : group1) {
            const QString value = row.expected ? QString::fromUtf8(row.expected)
                                               : QStringLiteral("text:") + QString::fromUtf8(chineseSeries);
            expected << QString::fromUtf8(row.key) + '=' + (v < 2 ? value : QStringLiteral("absent"));
        }
        // The sample file has its own scheduler value for PT; group 1 replaces it.
        expected << QString(v < 2 ? "schedule/test/PT=integer:27" : "schedule/test/PT=integer:25")
                 << "analyst/odThreshold=text:4,0.2; 7,0.02; 10,0.008"
                 << "patient/memo=text:备注"
                 << "hospital=text:County General Hospital";
        QTest::addRow("version %d", v) << v << expected;
    }
}

void tst_UpdateProfile::seededRows()
{
    QFETCH(int, version);
    QFETCH(QStringList, expected);
    // A threshold table the site changed is reset on every start.
    QVERIFY(ProfileFixture::make(db(), version, "insert into profile values('analyst/odThreshold', '4,0.1');"));
    QVERIFY(upgrade());
    QStringList stored;
    for (const QString &row : expected) {
        const QString key = row.section('=', 0, 0);
        stored << key + '=' + value(key);
    }
    QCOMPARE(stored, expected);
}

void tst_UpdateProfile::reagentList()
{
    QVERIFY(ProfileFixture::make(db(), 0));
    QVERIFY(upgrade());
    // "Buffer" is gone, "Latex" is the default one (a new row), the site's
    // own "PT" stays, and every stored number keeps its type.
    const QStringList expected = {
        "PT|0|2000|200|1|integer|real|real|integer",
        "Latex|0|2000|200|3|integer|real|real|integer",
        "FDP|0|2000|200|3|integer|real|real|integer",
        "Saline|2|6500|200|6|integer|real|real|integer",
        "Buffer(PT)|2|6500|200|6|integer|real|real|integer",
        "Buffer(APTT)|2|6500|200|6|integer|real|real|integer",
        "Buffer(FIB)|2|6500|200|6|integer|real|real|integer",
        "Buffer(TT)|2|6500|200|6|integer|real|real|integer",
        "Buffer(DD)|2|6500|200|6|integer|real|real|integer",
        "Buffer(EX)|2|6500|200|6|integer|real|real|integer",
        "Buffer(EN)|2|6500|200|6|integer|real|real|integer",
        "Buffer(FDP)|2|6500|200|6|integer|real|real|integer",
        "DD ct|5|1000|200|1|integer|real|real|integer",
        "FDP ct|5|1000|200|1|integer|real|real|integer",
        "Buffer(ATIII)|2|6500|200|6|integer|real|real|integer",
    };
    QCOMPARE(Fixture::rows(db(), "select name, type, initVolume, alarmLimit, vialType, typeof(type), "
                                 "typeof(initVolume), typeof(alarmLimit), typeof(vialType) from reagent order by id"),
             expected);
}

void tst_UpdateProfile::insertKeepsAndReplaceResets()
{
    QVERIFY(ProfileFixture::make(db(), 1, QStringLiteral(R"(
        insert into profile values('dilution', 'Mine;1/2;1/3');
        insert into profile values('patient/sampleType', 'Specimen');
        insert into profile values('analyst/FIB/odPercent', 0.7);
        insert into profile values('analyst/APTT/odThreshold', 'mine');
        insert into profile values('DD/priority', 3);
        insert into profile values('patient/memo', 'Notes');
        insert into reagent values(9, 2, 'Buffer(ATIII)', 5000, 150, 6);
    )")));
    QVERIFY(upgrade());
    QCOMPARE(value("dilution"), QString("text:Mine;1/2;1/3"));
    QCOMPARE(value("patient/sampleType"), QString("text:Specimen"));
    QCOMPARE(value("analyst/FIB/odPercent"), QString("real:0.7"));
    QCOMPARE(value("analyst/APTT/odThreshold"), QString("text:4,0.2; 10,0.05; 20,0.02"));
    QCOMPARE(value("DD/priority"), QString("integer:10"));
    QCOMPARE(value("schedule/test/PT"), QString("integer:27"));
    QCOMPARE(value("patient/memo"), QString("text:Notes"));
    QCOMPARE(Fixture::rows(db(), "select id, initVolume, alarmLimit from reagent where name = 'Buffer(ATIII)'"),
             QStringList("9|5000|150"));
    // The two plain inserts and the insert-or-abort failed into the log, with
    // their place; the insert-or-ignore of the memo did not.
    QCOMPARE(g_messages.size(), 3);
    QVERIFY(g_messages.at(0).startsWith("dbupdate/updateprofile.cpp ( "));
    QVERIFY(g_messages.at(0).contains("insert into profile values('dilution', "));
    QVERIFY(g_messages.at(1).contains("insert into profile values('patient/sampleType', "));
    QVERIFY(g_messages.at(2).contains("insert or abort into profile values('analyst/FIB/odPercent', 0.5)"));
}

void tst_UpdateProfile::disableKeysRemoved()
{
    static const char *const removed[] = { "DD", "II", "V", "VII", "X", "VIII", "IX", "XI", "XII", "FDP" };
    QString extra;
    for (const char *assay : removed)
        extra += QStringLiteral("insert or replace into profile values('%1/disable', 'true');\n").arg(assay);
    extra += "insert into profile values('PT/disable', 'true');\n"
             "insert into profile values('APTT/disable', 1);\n";
    QVERIFY(ProfileFixture::make(db(), 1, extra));
    QVERIFY(upgrade());
    QCOMPARE(Fixture::rows(db(), "select name || '=' || value from profile where name like '%/disable' order by name"),
             QStringList({"APTT/disable=1", "PT/disable=true"}));
}

void tst_UpdateProfile::upperNormalOnlyFourteen_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<double>("before");
    QTest::addColumn<double>("after");
    for (int v : {0, 4}) {
        QTest::addRow("v%d 13", v) << v << 13.0 << 13.0;
        QTest::addRow("v%d 14", v) << v << 14.0 << 15.0;
        QTest::addRow("v%d 16", v) << v << 16.0 << 16.0;
    }
}

void tst_UpdateProfile::upperNormalOnlyFourteen()
{
    QFETCH(int, version);
    QFETCH(double, before);
    QFETCH(double, after);
    // Item 4 is "T" of another assay at 14: not PT's, so it stays.
    QVERIFY(ProfileFixture::make(db(), version, QStringLiteral(
        "update assayItem set upperNormal = %1 where id = 1;"
        "insert into assayItem values(6, 2, 'T', 's', 1, 10, 14);").arg(before)));
    QVERIFY(upgrade());
    QCOMPARE(Fixture::scalar(db(), "select upperNormal from assayItem where id = 1").toDouble(), after);
    QCOMPARE(Fixture::scalar(db(), "select upperNormal from assayItem where id = 6").toDouble(), 14.0);
    QCOMPARE(Fixture::rows(db(), "select id, precision from assayItem where name = 'OD' order by id"),
             QStringList({"2|-1", "5|-1"}));
    QCOMPARE(Fixture::rows(db(), "select precision from assayItem where name <> 'OD' and precision < 0"),
             QStringList());
}

void tst_UpdateProfile::calibrationMethods_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<QStringList>("expected");
    // id 1 FIB, 2 PT, 3 the Chinese name of "PT calculate FIB", 4 DD; 5 to 7 added below.
    QTest::addRow("version 2") << 2 << QStringList({
        "FIB|Log|Log|0|Log|Log|integer",
        "PT|Linear|Linear|0|Log|Log|integer",
        "PT 演算 FIB|Log|Log|0|Log|Log|integer",
        "DD|Log|Linear|4|Log|Log|integer",
        "PT calculate FIB|Log|Log|0|Log|Log|integer",
        "VIII|Linear|Linear|0|Log|Log|integer",
        "APTT|Linear|Linear|NULL|NULL|NULL|null",
    });
    // At version 3 the site's settings stay.
    QTest::addRow("version 3") << 3 << QStringList({
        "FIB|Log|Log|1|Linear|Linear|integer",
        "PT|Linear|Linear|1|Linear|Linear|integer",
        "PT 演算 FIB|Linear|Linear|1|Linear|Linear|integer",
        "DD|Linear|Log|1|Linear|Linear|integer",
        "PT calculate FIB|Linear|Linear|1|Linear|Linear|integer",
        "VIII|Linear|Linear|1|Linear|Linear|integer",
        "APTT|Linear|Linear|NULL|NULL|NULL|null",
    });
}

void tst_UpdateProfile::calibrationMethods()
{
    QFETCH(int, version);
    QFETCH(QStringList, expected);
    QString extra = QStringLiteral(R"(
        insert into assayCalibration (id, name, assayTemplateId, funX, funY)
            values(5, 'PT calculate FIB', 1, 'Linear', 'Linear');
        insert into assayCalibration (id, name, assayTemplateId, funX, funY) values(6, 'VIII', 4, 'Linear', 'Linear');
    )");
    if (version >= 3)
        extra += "update assayCalibration set method = 1, dispX = 'Linear', dispY = 'Linear';";
    // A calibration no row names: the upgrade leaves it alone.
    extra += "insert into assayCalibration (id, name, assayTemplateId, funX, funY) values(7, 'APTT', 5, 'Linear', 'Linear');";
    QVERIFY(ProfileFixture::make(db(), version, extra));
    QVERIFY(upgrade());
    QCOMPARE(Fixture::rows(db(), "select name, funX, funY, method, dispX, dispY, typeof(method) "
                                 "from assayCalibration order by id"),
             expected);
}

void tst_UpdateProfile::currentCurveFill()
{
    // Below version 4 every curve name gets the last curve of that name.
    QVERIFY(ProfileFixture::make(db(), 3));
    QVERIFY(upgrade());
    QCOMPARE(Fixture::rows(db(), "select name, curveId from currentCurve order by name"),
             QStringList({"FIB|3", "PT|2"}));
    // Several curves may now share a name and instrument.
    QVERIFY(Fixture::runScript(db(), "insert into curve (id, name, instrUuid) values(5, 'PT', 'A1')"));

    // At version 4 the site's choice stands, a newer curve does not take over.
    // (Windows removes no file that a connection still holds open.)
    QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
    QVERIFY(QFile::remove(db()));
    QVERIFY(ProfileFixture::make(db(), 4, "update currentCurve set curveId = 1 where name = 'FIB';"));
    QVERIFY(upgrade());
    QCOMPARE(Fixture::rows(db(), "select name, curveId from currentCurve order by name"),
             QStringList({"FIB|1", "PT|2"}));
}

void tst_UpdateProfile::secondRunAddsNothing()
{
    QVERIFY(ProfileFixture::make(db(), 0));
    QVERIFY(upgrade());
    const QString dump = "select 'p', name, value, typeof(value) from profile union all "
                         "select 'r', id, name, initVolume from reagent union all "
                         "select 'c', name, curveId, null from currentCurve union all "
                         "select 's', type, name, sql from sqlite_master order by 1, 2, 3";
    const QStringList first = Fixture::rows(db(), dump);
    QVERIFY(first.size() > 60);
    // A site edits a seeded row that later runs must not touch.
    QVERIFY(Fixture::runScript(db(), "update profile set value = 'Notes' where name = 'patient/memo'"));
    g_messages.clear();
    QVERIFY(upgrade());
    QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join('\n')));
    QStringList second = Fixture::rows(db(), dump);
    QVERIFY(second.removeOne("p|patient/memo|Notes|text"));
    second << QStringLiteral("p|patient/memo|备注|text");
    second.sort();
    QStringList sortedFirst = first;
    sortedFirst.sort();
    QCOMPARE(second, sortedFirst);
    QCOMPARE(Fixture::scalar(db(), "select count(*) from version").toInt(), 1);
}

void tst_UpdateProfile::deleteCurveCascades_data()
{
    QTest::addColumn<int>("version");
    for (int v = 0; v <= 4; ++v)
        QTest::addRow("version %d", v) << v;
}

void tst_UpdateProfile::deleteCurveCascades()
{
    QFETCH(int, version);
    QVERIFY(ProfileFixture::make(db(), version));
    QVERIFY(upgrade());
    QVERIFY(Fixture::runScript(db(), "insert into curveInfo values(3, 'fitSeconds', 0.5);"
                                     "insert into curveVariable values(2, 3, 'ISI', 1.1);"));
    const QString children =
        "select 'point', curveId from curvePoint union all select 'variable', curveId from curveVariable "
        "union all select 'reagent', curveId from curveReagent union all select 'info', curveId from curveInfo "
        "union all select 'current', curveId from currentCurve order by 1, 2";
    const QStringList before = Fixture::rows(db(), children);
    QVERIFY(before.contains("current|3"));
    QVERIFY(Fixture::runScript(db(), "delete from curve where id = 3"));
    QStringList expected;
    for (const QString &row : before) {
        if (!row.endsWith("|3"))
            expected << row;
    }
    QVERIFY(expected.size() < before.size() - 4);
    QCOMPARE(Fixture::rows(db(), children), expected);
}

void tst_UpdateProfile::captions_data()
{
    QTest::addColumn<QString>("catalogue");
    QTest::addColumn<QStringList>("expected");
    QTest::addRow("none") << QString() << QStringList({
        QString::fromUtf8(chineseSeries), "样本类型", "初始量[ul]", "报警限[ul]", "中断限[ul]", "住院号", "备注"});
    QTest::addRow("English") << QStringLiteral(DBUPDATE_DIR "/dbupdate_en.qm") << QStringList({
        "Gradient 1;1/5;1/10;1/20;1/30,Gradient 2;1/5;1/10;1/20;1/30;1/40,"
        "Gradient 3;1/1;1/2;1/4;1/8,Gradient 4;1/1;3/4;1/2;1/4",
        "Sample type", "Initial volume [ul]", "Alarm limit [ul]", "Interrupt limit [ul]",
        "Inpatient number", "Remarks"});
    // Quotes, a placeholder and an attempt at a second statement, all stored as written.
    QTest::addRow("quotes") << QStringLiteral(QUOTED_QM) << QStringList({
        "Série d'essai;1/5;1/10;1/20;1/30,Gradient %2;1/5;1/10;1/20;1/30;1/40,"
        "Gradient 3;1/1;1/2;1/4;1/8,Gradient 4;1/1;3/4;1/2;1/4",
        "Type d'échantillon", "Volume d'origine [ul]", "Limite d'alarme [ul]", "Limite d'arrêt [ul]",
        "N° d'hospitalisation", "Remarque'); drop table profile; --"});
}

void tst_UpdateProfile::captions()
{
    QFETCH(QString, catalogue);
    QFETCH(QStringList, expected);
    QVERIFY(ProfileFixture::make(db(), 0));
    if (!catalogue.isEmpty()) {
        // As a site does it: the catalogue in the data directory, named in settings.ini.
        const QString name = QFileInfo(catalogue).completeBaseName();
        QVERIFY(QFile::copy(catalogue, m_dir.filePath(name + ".qm")));
        QVERIFY(Fixture::writeFile(m_dir.filePath("settings.ini"), "[settings]\ntranslations=" + name.toUtf8() + "\n"));
    }
    const Fixture::Run run = Fixture::runDbupdate(m_dir.path(), {"update.log"});
    QCOMPARE(run.exitCode, 0);
    const QStringList keys = {"dilution", "patient/sampleType", "reagent/initVolume", "reagent/alarmLimit",
                              "reagent/interruptLimit", "patient/hospitalNo", "patient/memo"};
    QStringList stored;
    for (const QString &key : keys)
        stored << Fixture::scalar(db(), QStringLiteral("select value from profile where name = '%1'").arg(key)).toString();
    QCOMPARE(stored, expected);
    QVERIFY2(!Fixture::readLog(m_dir.filePath("update.log")).contains("updateprofile.cpp"),
             Fixture::readLog(m_dir.filePath("update.log")).constData());
}

void tst_UpdateProfile::caseDuplicateUsersUndoTheUpgrade()
{
    // Many curves and users, so the upgrade has written pages before the
    // copy reaches the pair.
    QString extra;
    for (int i = 3; i < 400; ++i)
        extra += QStringLiteral("insert into user values(%1, 'user%1', 'pw', 0, 0);\n").arg(i);
    extra += "insert into user values(400, 'ADMIN', 'x', 1, 0);\n";
    QVERIFY(ProfileFixture::make(db(), 0, extra));
    const QByteArray before = Fixture::readFile(db());

    const Fixture::Run run = Fixture::runDbupdate(m_dir.path(), {"update.log"});
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 1);
    QVERIFY(Fixture::readFile(db()) == before);
    // The copy taken before the upgrade stays; the next run replaces it.
    QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files),
             QStringList({"profile.db", "profile.db.v0.bak", "update.log"}));
    const QByteArray log = Fixture::readLog(m_dir.filePath("update.log"));
    // The failed row is named, and the log says what became of the file.
    QVERIFY2(log.contains("profile.db: user id 400 could not be copied into the new user table "
                          "(UNIQUE constraint failed: user.name; names must differ in more than letter case)"),
             log.constData());
    QVERIFY2(log.contains("the upgrade was undone and the file is unchanged"), log.constData());

    // Another cause is named as SQLite gives it, without the letter-case hint.
    QVERIFY(Fixture::runScript(db(), "alter table user add email text"));
    QCOMPARE(Fixture::runDbupdate(m_dir.path(), {"update.log"}).exitCode, 1);
    const QList<QByteArray> lines = Fixture::readLog(m_dir.filePath("update.log")).trimmed().split('\n');
    QVERIFY2(lines.at(lines.size() - 2).endsWith(
                 "Warning: profile.db: user id 1 could not be copied into the new user table "
                 "(table user has no column named email); the upgrade was undone and the file is unchanged"),
             lines.at(lines.size() - 2).constData());
    QVERIFY2(lines.last().endsWith("; profile.db is not upgraded in this run"), lines.last().constData());
    QVERIFY(Fixture::runScript(db(), "alter table user drop column email"));

    // Once the site renames the account the next run goes through.
    QVERIFY(Fixture::runScript(db(), "update user set name = 'admin2' where id = 400"));
    QCOMPARE(Fixture::runDbupdate(m_dir.path(), {"update.log"}).exitCode, 0);
    QCOMPARE(Fixture::scalar(db(), "select count(*) from user").toInt(), 400);
    QCOMPARE(Fixture::scalar(db(), "select version from version").toInt(), 4);
}

void tst_UpdateProfile::failedVersionReadChangesNothing()
{
#ifndef SQLHOOK_LIB
    QSKIP("needs a library preloaded into the program (LD_PRELOAD)");
#else
    // Another program takes the file just as the run reads its version and
    // lets it go right after: a failed read must not convert a current file
    // again (that reset site settings and the current curves). The version
    // that counts is read again under the upgrade's own lock.
    QVERIFY(ProfileFixture::make(db(), 4, "replace into profile values('schedule/test/PT', 99);"
                                          "replace into profile values('DD/disable', 1);"));
    const QStringList current = Fixture::rows(db(), "select * from currentCurve order by id");
    QVERIFY(!current.isEmpty());

    qputenv("LD_PRELOAD", SQLHOOK_LIB);
    qputenv("WS_SQLHOOK_LOCK_AT", "select 1 from sqlite_master where type = 'table'");
    const Fixture::Run run = Fixture::runDbupdate(m_dir.path(), {"update.log"});
    qunsetenv("LD_PRELOAD");
    qunsetenv("WS_SQLHOOK_LOCK_AT");
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(value("schedule/test/PT"), QStringLiteral("integer:99"));
    QCOMPARE(value("DD/disable"), QStringLiteral("integer:1"));
    QCOMPARE(Fixture::rows(db(), "select * from currentCurve order by id"), current);
    QCOMPARE(Fixture::scalar(db(), "select group_concat(version) from version").toString(), QStringLiteral("4"));
    // No backup named after a version the file does not have.
    QCOMPARE(QDir(m_dir.path()).entryList({"profile.db*"}, QDir::Files), QStringList({"profile.db"}));
#endif
}

QTEST_GUILESS_MAIN(tst_UpdateProfile)
#include "tst_updateprofile.moc"
