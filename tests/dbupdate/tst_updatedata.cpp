#include "dbfixture.h"
#include "legacydata.h"
#include "updatedata.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

namespace {

QStringList g_messages;

void collect(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    // Each upgrade object replaces the default connection, and Qt says so.
    if (type != QtDebugMsg && !text.startsWith(QLatin1String("QSqlDatabasePrivate::addDatabase")))
        g_messages << text;
}

// The statements named by the warnings of failed statements, in order.
QStringList failedStatements()
{
    static const QRegularExpression statement(QStringLiteral(": \\[ (.*) \\] $"),
                                              QRegularExpression::DotMatchesEverythingOption);
    QStringList out;
    for (const QString &message : qAsConst(g_messages)) {
        const QRegularExpressionMatch m = statement.match(message);
        if (m.hasMatch())
            out << m.captured(1);
    }
    return out;
}

const char *const lookupTables[] = {
    "department", "sex", "treatmentRoom", "diagnosis", "doctor", "operator",
};

// What tools reading sqlite_master expect to find.
const char currentTrigger[] =
    "CREATE TRIGGER on_delete_patient after delete on patient\nbegin\n"
    "  delete from patientExtra where old.id = patientExtra.patientId;\n"
    "  delete from exam where old.sampleNo = exam.sampleNo and old.date = exam.date;\n"
    "  delete from results where old.id = results.patientId;\n"
    "  delete from checkedResult where old.id = checkedResult.patientId;\n"
    "  delete from curve where old.id = curve.patientId;\n"
    "  delete from detail where old.id = detail.patientId;\nend";
const char currentView[] =
    "CREATE VIEW result as \n  select results.* \n  from results, checkedResult \n"
    "  where results.id = checkedResult.resultsId \n  and results.patientId = checkedResult.patientId";

} // namespace

class tst_UpdateData : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void everyVersion_data();
    void everyVersion();
    void threeRowConversion();
    void nocaseLookups_data();
    void nocaseLookups();
    void deleteTriggerCascades();
    void checkedResultReplacesOnConflict();
    void newEmptyFile();
    void oddVersionZeroFiles_data();
    void oddVersionZeroFiles();
    void repeatedRun();
    void failedCopyLeavesFileUntouched_data();
    void failedCopyLeavesFileUntouched();
    void lockReleasedAfterVersionRead();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QString dataDb() const { return path(QStringLiteral("data.db")); }
    bool upgrade(int *versionRead = nullptr);

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_previousDir;
    QtMessageHandler m_previous = nullptr;
};

void tst_UpdateData::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    // The upgrade opens "data.db" in the working directory, as in the field.
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    g_messages.clear();
    m_previous = qInstallMessageHandler(collect);
}

void tst_UpdateData::cleanup()
{
    qInstallMessageHandler(m_previous);
    QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
}

bool tst_UpdateData::upgrade(int *versionRead)
{
    UpdateData data;
    if (versionRead)
        *versionRead = data.version();
    return data.update();
}

void tst_UpdateData::everyVersion_data()
{
    QTest::addColumn<int>("from");
    for (int v = 0; v <= 5; ++v)
        QTest::addRow("version %d", v) << v;
}

void tst_UpdateData::everyVersion()
{
    QFETCH(int, from);
    QVERIFY(Legacy::createData(dataDb(), from));
    const QString old = path(QStringLiteral("old.db"));
    QVERIFY(QFile::copy(dataDb(), old));

    int read = -1;
    QVERIFY(upgrade(&read));
    QCOMPARE(read, from);
    // A file as the workstation wrote it upgrades without a single failure.
    QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join(QLatin1Char('\n'))));
    QVERIFY(!QFile::exists(path(QStringLiteral("data.db-journal"))));

    QCOMPARE(Fixture::rows(dataDb(), "select version from version"), QStringList({"5"}));
    QCOMPARE(Fixture::rows(dataDb(), "select type, name, tbl_name from sqlite_master order by name"),
             Legacy::currentSchemaObjects());
    QCOMPARE(Fixture::scalar(dataDb(), "select sql from sqlite_master where name = 'on_delete_patient'").toString(),
             QString::fromLatin1(currentTrigger));
    QCOMPARE(Fixture::scalar(dataDb(), "select sql from sqlite_master where name = 'result'").toString(),
             QString::fromLatin1(currentView));
    const QStringList patientColumns = Fixture::rows(dataDb(), "select name from pragma_table_info('patient')");
    for (const char *column : {"sampleType", "hospitalNo", "memo"})
        QVERIFY2(patientColumns.contains(QLatin1String(column)), column);
    QCOMPARE(Fixture::rows(dataDb(), "select name from pragma_table_info('curve')"),
             QStringList({"id", "patientId", "item", "version", "curve"}));
    QCOMPARE(Fixture::rows(dataDb(), "select name from pragma_table_info('detail')"),
             QStringList({"id", "patientId", "item", "version", "info"}));

    // Every row the old file held is still there, converted where its form changed.
    Legacy::Comparison compare(dataDb(), old);
    QVERIFY(compare.isValid());
    for (const char *table : lookupTables) {
        QCOMPARE(compare.differences(QStringLiteral("select id, abbr, name from main.%1").arg(table),
                                     QStringLiteral("select id, abbr, name from old.%1").arg(table)), 0);
    }
    if (from >= 5)
        QCOMPARE(compare.differences("select * from main.memo", "select * from old.memo"), 0);
    else
        QCOMPARE(compare.scalar("select count(*) from main.memo").toInt(), 0);
    QCOMPARE(compare.differences("select id, sampleNo, date, name, age from main.patient",
                                 "select id, sampleNo, date, name, age from old.patient"), 0);
    QCOMPARE(compare.differences("select * from main.exam", "select * from old.exam"), 0);
    QCOMPARE(compare.differences("select * from main.patientExtra", "select * from old.patientExtra"), 0);

    if (from < 3) {
        QCOMPARE(compare.differences(
                     "select * from main.results",
                     "select id, patientId, item, subitem, 1, abbr, code, null, null, result, unit, flag,"
                     " displayOrder, lowerMarkLimit, upperMarkLimit from old.result"), 0);
        QCOMPARE(compare.differences("select patientId, item, subitem, resultsId from main.checkedResult",
                                     "select patientId, item, subitem, id from old.result"), 0);
        QCOMPARE(compare.differences("select * from main.curve",
                                     "select id, patientId, item, 1, curve from old.curve"), 0);
        QCOMPARE(compare.differences("select id from main.result", "select id from old.result"), 0);
    } else {
        QCOMPARE(compare.differences("select * from main.results", "select * from old.results"), 0);
        QCOMPARE(compare.differences("select * from main.checkedResult", "select * from old.checkedResult"), 0);
        QCOMPARE(compare.differences("select * from main.curve", "select * from old.curve"), 0);
        QCOMPARE(compare.differences("select id from main.result", "select resultsId from old.checkedResult"), 0);
    }
    if (from == 0)
        QCOMPARE(compare.scalar("select count(*) from main.detail").toInt(), 0);
    else if (from < 3)
        QCOMPARE(compare.differences("select * from main.detail",
                                     "select id, patientId, item, 1, info from old.detail"), 0);
    else
        QCOMPARE(compare.differences("select * from main.detail", "select * from old.detail"), 0);
    QVERIFY(compare.scalar("select count(*) from main.results").toInt() > 0);
}

void tst_UpdateData::threeRowConversion()
{
    QVERIFY(Legacy::createData(dataDb(), 2));
    QCOMPARE(Fixture::scalar(dataDb(), "select count(*) from result").toInt(), 3);
    QVERIFY(upgrade());
    QCOMPARE(Fixture::scalar(dataDb(), "select type from sqlite_master where name = 'result'").toString(),
             QStringLiteral("view"));
    const QStringList converted = {
        "1|1|PT|PT.T|1|NULL|NULL|12.4|s|0",
        "2|1|PT|PT.INR|1|NULL|NULL|1.05||0",
        "3|2|APTT|APTT.T|1|NULL|NULL|48.2|s|16",
    };
    QCOMPARE(Fixture::rows(dataDb(), "select id, patientId, item, subitem, version, date, time, result, unit, flag"
                                     " from results order by id"), converted);
    QCOMPARE(Fixture::rows(dataDb(), "select patientId, item, subitem, resultsId from checkedResult order by resultsId"),
             QStringList({"1|PT|PT.T|1", "1|PT|PT.INR|2", "2|APTT|APTT.T|3"}));
    // The view answers as the old table did.
    QCOMPARE(Fixture::rows(dataDb(), "select id, patientId, item, subitem, version, date, time, result, unit, flag"
                                     " from result order by id"), converted);
    QCOMPARE(Fixture::rows(dataDb(), "select id, version, length(curve) from curve order by id"),
             QStringList({"1|1|60", "2|1|88"}));
}

void tst_UpdateData::nocaseLookups_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("search");
    QTest::addColumn<int>("id");
    QTest::newRow("department") << "department" << "ER" << 2;
    QTest::newRow("sex") << "sex" << "F" << 2;
    QTest::newRow("treatmentRoom") << "treatmentRoom" << "R1" << 1;
    QTest::newRow("diagnosis") << "diagnosis" << "DVT" << 1;
    QTest::newRow("doctor") << "doctor" << "HM" << 2;
    QTest::newRow("operator") << "operator" << "TECH" << 2;
    QTest::newRow("memo") << "memo" << "HEM" << 7;
}

void tst_UpdateData::nocaseLookups()
{
    QFETCH(QString, table);
    QFETCH(QString, search);
    QFETCH(int, id);
    // Version 0 stored the abbreviations case-sensitively.
    QVERIFY(Legacy::createData(dataDb(), 0));
    QVERIFY(upgrade());
    if (table == QLatin1String("memo"))
        QVERIFY(Fixture::runScript(dataDb(), "insert into memo values(7, 'hEm', 'Haemolysed sample');"));
    const QString query = QStringLiteral("select id from %1 where abbr = '%2'").arg(table, search);
    QCOMPARE(Fixture::rows(dataDb(), query), QStringList(QString::number(id)));
    // The lookup goes through the table's index, which compares the same way.
    const QString plan = Fixture::rows(dataDb(), QStringLiteral("explain query plan ") + query).join(QLatin1Char(' '));
    QVERIFY2(plan.contains(QStringLiteral("INDEX %1_index").arg(table)), qPrintable(plan));
}

void tst_UpdateData::deleteTriggerCascades()
{
    QVERIFY(Legacy::createData(dataDb(), 0));
    QVERIFY(upgrade());
    // Patients 1 and 3 share sample number 1 on different dates.
    QVERIFY(Fixture::runScript(dataDb(),
        "insert into patientExtra values(3, 3, 'ward', '2C');"
        "insert into detail values(1, 1, 'PT', 1, 'channel 2');"
        "insert into detail values(2, 3, 'FIB', 1, 'channel 1');"
        "insert into results values(9, 1, 'PT', 'PT.T', 2, 'PT', 'Prothrombin time', '2009-03-02',"
        " '10:00:00', 12.6, 's', 0, 1, 11.0, 14.5);"
        "insert into curve values(9, 1, 'PT', 2, x'0000000000000000');"));
    struct Table { const char *name, *ofPatient1, *ofPatient3; };
    const Table tables[] = {
        {"patientExtra", "patientId = 1", "patientId = 3"},
        {"exam", "sampleNo = '1' and date = '2009-03-02'", "sampleNo = '1' and date = '2009-03-03'"},
        {"results", "patientId = 1", "patientId = 3"},
        {"checkedResult", "patientId = 1", "patientId = 3"},
        {"curve", "patientId = 1", "patientId = 3"},
        {"detail", "patientId = 1", "patientId = 3"},
    };
    QMap<QString, int> before;
    for (const Table &t : tables) {
        QVERIFY2(Fixture::scalar(dataDb(), QStringLiteral("select count(*) from %1 where %2").arg(t.name, t.ofPatient1)).toInt() > 0, t.name);
        before[t.name] = Fixture::scalar(dataDb(), QStringLiteral("select count(*) from %1 where %2").arg(t.name, t.ofPatient3)).toInt();
        QVERIFY2(before[t.name] > 0, t.name);
    }
    QVERIFY(Fixture::runScript(dataDb(), "delete from patient where id = 1;"));
    for (const Table &t : tables) {
        QCOMPARE(Fixture::scalar(dataDb(), QStringLiteral("select count(*) from %1 where %2").arg(t.name, t.ofPatient1)).toInt(), 0);
        QCOMPARE(Fixture::scalar(dataDb(), QStringLiteral("select count(*) from %1 where %2").arg(t.name, t.ofPatient3)).toInt(),
                 before[t.name]);
    }
}

void tst_UpdateData::checkedResultReplacesOnConflict()
{
    QVERIFY(Legacy::createData(dataDb(), 2));
    QVERIFY(upgrade());
    // The front end saves a second version and chooses it.
    QVERIFY(Fixture::runScript(dataDb(),
        "insert into results values(100, 1, 'PT', 'PT.T', 2, 'PT', 'Prothrombin time', '2026-12-08',"
        " '08:15:00', 13.1, 's', 0, 1, 11.0, 14.5);"
        "insert into checkedResult(patientId, item, subitem, resultsId) values(1, 'PT', 'PT.T', 100);"));
    QCOMPARE(Fixture::rows(dataDb(), "select resultsId from checkedResult where patientId = 1 and item = 'PT'"
                                     " and subitem = 'PT.T'"), QStringList({"100"}));
    QCOMPARE(Fixture::rows(dataDb(), "select id, version, result from result where subitem = 'PT.T'"),
             QStringList({"100|2|13.1"}));
    QCOMPARE(Fixture::scalar(dataDb(), "select count(*) from results where subitem = 'PT.T'").toInt(), 2);
    QCOMPARE(Fixture::scalar(dataDb(), "select count(*) from result").toInt(), 3);
}

void tst_UpdateData::newEmptyFile()
{
    // Nothing to convert and no version written: a version in a file
    // without tables would later pass it for a current one.
    int read = -1;
    QVERIFY(upgrade(&read));
    QCOMPARE(read, 0);
    QCOMPARE(Fixture::scalar(dataDb(), "select count(*) from sqlite_master").toInt(), 0);
    QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join(QLatin1Char('\n'))));
    QCOMPARE(QDir().entryList(QDir::Files), QStringList({"data.db"}));
}

void tst_UpdateData::oddVersionZeroFiles_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("failed");
    QTest::newRow("patient already has sampleType")
        << "alter table patient add sampleType text;"
        << QStringList({"alter table patient add sampleType text"});
    QTest::newRow("no old trigger")
        << "drop trigger on_delete_patient;"
        << QStringList({"drop trigger on_delete_patient"});
    QTest::newRow("no department table")
        << "drop table department;"
        << QStringList({"alter table department rename to department_bak", "select * from department_bak",
                        "drop table department_bak"});
    QTest::newRow("every lookup already indexed")
        << "create index sex_index on sex(abbr); create index treatmentRoom_index on treatmentRoom(abbr);"
           "create index diagnosis_index on diagnosis(abbr, name); create index operator_index on operator(name);"
        << QStringList();
}

void tst_UpdateData::oddVersionZeroFiles()
{
    QFETCH(QString, script);
    QFETCH(QStringList, failed);
    QVERIFY(Legacy::createData(dataDb(), 0));
    QVERIFY(Fixture::runScript(dataDb(), script));
    QVERIFY(upgrade());
    QCOMPARE(failedStatements(), failed);
    QCOMPARE(failedStatements().size(), g_messages.size());
    QCOMPARE(Fixture::rows(dataDb(), "select version from version"), QStringList({"5"}));
    QCOMPARE(Fixture::rows(dataDb(), "select type, name, tbl_name from sqlite_master order by name"),
             Legacy::currentSchemaObjects());
    for (const char *table : lookupTables) {
        // Each lookup index is the one the upgrade defines, whatever the file had.
        QCOMPARE(Fixture::scalar(dataDb(), QStringLiteral("select sql from sqlite_master where name = '%1_index'")
                                               .arg(table)).toString(),
                 QStringLiteral("CREATE INDEX %1_index on %1 (abbr)").arg(table));
    }
    QCOMPARE(Fixture::scalar(dataDb(), "select count(*) from patient").toInt(), 3);
}

void tst_UpdateData::repeatedRun()
{
    QVERIFY(Legacy::createData(dataDb(), 0));
    QVERIFY(upgrade());
    const QByteArray once = Legacy::contentDigest(dataDb());
    QVERIFY(!once.isEmpty());
    g_messages.clear();
    int read = -1;
    QVERIFY(upgrade(&read));
    QCOMPARE(read, 5);
    QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join(QLatin1Char('\n'))));
    QCOMPARE(Legacy::contentDigest(dataDb()), once);
}

void tst_UpdateData::failedCopyLeavesFileUntouched_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("row");
    // The last of the six rebuilt tables, so five rebuilds and the first
    // statements have to be undone.
    QTest::newRow("a column the new table lacks")
        << "alter table operator add phone text; update operator set phone = '0571-8888';"
        << "table operator has no column named phone" << "operator_bak row 1 ";
    QTest::newRow("two rows with one id")
        << "drop index doctor_index; drop table doctor; create table doctor(id integer, abbr text, name text);"
           "insert into doctor values(1, 'lw', 'Dr. Lee Wen'); insert into doctor values(1, 'LW', 'Dr. L. Wen');"
        << "UNIQUE constraint failed: doctor.id" << "doctor_bak row 2 ";
    QTest::newRow("an id that is not a number")
        << "drop table sex; create table sex(id, abbr text, name text); insert into sex values('M1', 'M', 'Male');"
        << "datatype mismatch" << "sex_bak row 1 ";
}

void tst_UpdateData::failedCopyLeavesFileUntouched()
{
    QFETCH(QString, script);
    QFETCH(QString, error);
    QFETCH(QString, row);
    QVERIFY(Legacy::createData(dataDb(), 0));
    QVERIFY(Fixture::runScript(dataDb(), script));
    const QByteArray before = Fixture::readFile(dataDb());

    QVERIFY(!upgrade());
    QCOMPARE(Fixture::readFile(dataDb()), before);
    QVERIFY(!QFile::exists(path(QStringLiteral("data.db-journal"))));
    // The row that could not be copied with SQLite's error, then the verdict.
    QCOMPARE(g_messages.size(), 2);
    QVERIFY2(g_messages.first().contains(error) && g_messages.first().contains(row)
                 && g_messages.first().startsWith(QLatin1String("dbupdate/updatebase_copy.cpp (")),
             qPrintable(g_messages.first()));
    QVERIFY2(g_messages.last().startsWith(QLatin1String("data.db: the upgrade stopped at dbupdate/"))
                 && g_messages.last().contains(row) && g_messages.last().contains(error)
                 && g_messages.last().endsWith(QLatin1String("; data.db is not upgraded in this run")),
             qPrintable(g_messages.last()));
    QCOMPARE(failedStatements().size(), 1);
}

void tst_UpdateData::lockReleasedAfterVersionRead()
{
    // Another program writes the file while the upgrade reads its version,
    // and is done before the upgrade starts: the version read as 0 must not
    // convert a version 4 file again (that set every curve to version 1).
    // Read again under the upgrade's own lock, it is 4.
    QVERIFY(Legacy::createData(dataDb(), 4));
    sqlite3 *other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(dataDb()).constData(), &other), SQLITE_OK);
    QCOMPARE(sqlite3_exec(other, "begin exclusive", nullptr, nullptr, nullptr), SQLITE_OK);
    {
        UpdateData data;
        QCOMPARE(data.version(), 0);
        sqlite3_exec(other, "commit", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        QVERIFY(data.update());
    }
    QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join(QLatin1Char('\n'))));
    QCOMPARE(QDir().entryList(QDir::Files), QStringList({"data.db", "data.db.v4.bak"}));
    QCOMPARE(Fixture::rows(dataDb(), "select version from version"), QStringList({"5"}));
    QCOMPARE(Fixture::rows(dataDb(), "select id, version from curve order by id"),
             QStringList({"1|1", "2|1", "3|2", "4|2"}));
}

QTEST_GUILESS_MAIN(tst_UpdateData)
#include "tst_updatedata.moc"
