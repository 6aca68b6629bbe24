#include "dbfixture.h"
#include "updatebase.h"
#include "updatesyslog.h"
#include "updateqc.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlField>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList g_messages;

void collect(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    // Each upgrade object replaces the default connection, and Qt says so.
    if (type == QtWarningMsg && !text.startsWith(QLatin1String("QSqlDatabasePrivate::addDatabase")))
        g_messages << text;
}

// Opens the file like every upgrade does and exposes the framework's steps.
class Probe : public UpdateBase
{
public:
    explicit Probe(const QString &file) : UpdateBase(file) {}
    bool update() override { return true; }
    using UpdateBase::copyTable;
    using UpdateBase::exec;
    using UpdateBase::rebuildTable;
    using UpdateBase::renameTable;
    using UpdateBase::beginTransaction;
    using UpdateBase::commitTransaction;
    using UpdateBase::rollbackTransaction;
    using UpdateBase::transactionLost;
};

} // namespace

class tst_UpdateBase : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void version_data();
    void version();
    void execReportsFailureWithLocation();
    void renameOntoExistingName();
    void copyTableValuesAndDroppedColumns();
    void copyTableMissingSourceAndEmptySource();
    void copyTableFailureStopsAtFailingRow();
    void rebuildFailureLeavesTableUnchanged();
    void rebuildKeepsIdsAndAddsCollation();
    void rebuildReplacesIndexOfSameName();
    void transactionCommitAndRollback();
    void transactionLostByDatabase();
    void syslogVersions_data();
    void syslogVersions();
    void qcCreatedAndUntouched();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
    QtMessageHandler m_previous = nullptr;
};

void tst_UpdateBase::init()
{
    QVERIFY(m_dir.isValid());
    g_messages.clear();
    m_previous = qInstallMessageHandler(collect);
}

void tst_UpdateBase::cleanup()
{
    qInstallMessageHandler(m_previous);
    // Windows removes no file that a connection still holds open.
    QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
    for (const QString &f : QDir(m_dir.path()).entryList(QDir::Files))
        QFile::remove(path(f));
}

void tst_UpdateBase::version_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("expected");
    QTest::newRow("no table") << QString() << 0;
    QTest::newRow("empty table") << "create table version(version integer);" << 0;
    QTest::newRow("rows 3 and 5") << "create table version(version integer);"
                                     "insert into version values(3); insert into version values(5);" << 5;
    QTest::newRow("text") << "create table version(version integer); insert into version values('abc');" << 0;
    QTest::newRow("single 4") << "create table version(version integer); insert into version values(4);" << 4;
    QTest::newRow("upper-case table name") << "create table VERSION(version integer); insert into VERSION values(2);" << 2;
    // A view that never ends would hang the read: only a table counts.
    QTest::newRow("endless view") << "create view version as with recursive r(version) as "
                                     "(select 1 union all select version + 1 from r) select version from r;" << 0;
}

void tst_UpdateBase::version()
{
    QFETCH(QString, script);
    QFETCH(int, expected);
    const QString file = path(QStringLiteral("v.db"));
    if (!script.isEmpty())
        QVERIFY(Fixture::runScript(file, script));
    Probe probe(file);
    QCOMPARE(probe.version(), expected);
    // Reading the version is silent even when the table is missing.
    QVERIFY2(g_messages.filter(QStringLiteral("version")).isEmpty(), qPrintable(g_messages.join('\n')));
}

void tst_UpdateBase::execReportsFailureWithLocation()
{
    Probe probe(path(QStringLiteral("e.db")));
    g_messages.clear();
    QVERIFY(probe.exec(QStringLiteral("drop table nothing_here"), "somewhere.cpp", 42));
    QCOMPARE(g_messages.size(), 1);
    // Eight stream items, each followed by one space.
    QCOMPARE(g_messages.first(),
             QStringLiteral("somewhere.cpp ( 42 ):  no such table: nothing_here Unable to execute statement"
                            " : [ drop table nothing_here ] "));
    g_messages.clear();
    QVERIFY(probe.exec(QStringLiteral("create table t(a)"), __FILE__, __LINE__));
    QVERIFY(g_messages.isEmpty());
}

void tst_UpdateBase::renameOntoExistingName()
{
    const QString file = path(QStringLiteral("r.db"));
    QVERIFY(Fixture::runScript(file, "create table a(x); create table b(y); insert into a values(1);"));
    Probe probe(file);
    QVERIFY(probe.renameTable(QStringLiteral("a"), QStringLiteral("b")));
    QCOMPARE(g_messages.size(), 1);
    QVERIFY(g_messages.first().contains(QLatin1String("dbupdate/updatebase.cpp (")));
    QVERIFY(g_messages.first().contains(QLatin1String("alter table a rename to b")));
    QCOMPARE(Fixture::scalar(file, "select count(*) from a").toInt(), 1);
}

void tst_UpdateBase::copyTableValuesAndDroppedColumns()
{
    const QString file = path(QStringLiteral("c.db"));
    QVERIFY(Fixture::runScript(file,
        "create table src(id integer primary key, name text, secret text, n real, b blob);"
        "insert into src values(7, 'o''brien', 'x', 1.5, null);"
        "insert into src values(9, 'b', 'y', null, null);"
        "create table dst(id integer primary key, name text, n real, extra text default 'd', site text);"));
    Probe probe(file);
    QSqlRecord values;
    QSqlField site(QStringLiteral("site"), QVariant::String);
    site.setValue(QStringLiteral("lab"));
    values.append(site);
    QVERIFY(probe.copyTable(QStringLiteral("dst"), QStringLiteral("src"), values,
                            {QStringLiteral("secret"), QStringLiteral("b"), QStringLiteral("not_there")}));
    QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join('\n')));
    QCOMPARE(Fixture::rows(file, "select id, name, n, extra, site, typeof(n) from dst order by id"),
             QStringList({"7|o'brien|1.5|d|lab|real", "9|b|NULL|d|lab|null"}));

    // A value for an existing column replaces it in every row.
    QVERIFY(Fixture::runScript(file, "delete from dst;"));
    QSqlRecord rename;
    QSqlField name(QStringLiteral("name"), QVariant::String);
    name.setValue(QStringLiteral("same"));
    rename.append(name);
    QVERIFY(probe.copyTable(QStringLiteral("dst"), QStringLiteral("src"), rename,
                            {QStringLiteral("secret"), QStringLiteral("b")}));
    QCOMPARE(Fixture::rows(file, "select id, name from dst order by id"), QStringList({"7|same", "9|same"}));
}

void tst_UpdateBase::copyTableMissingSourceAndEmptySource()
{
    const QString file = path(QStringLiteral("m.db"));
    QVERIFY(Fixture::runScript(file, "create table dst(id integer primary key); create table empty(id, other);"));
    Probe probe(file);
    QVERIFY(probe.copyTable(QStringLiteral("dst"), QStringLiteral("missing")));
    QCOMPARE(g_messages.size(), 1);
    QVERIFY(g_messages.first().contains(QLatin1String("select * from missing")));
    g_messages.clear();
    // No row, so no insert is attempted into a table that lacks "other".
    QVERIFY(probe.copyTable(QStringLiteral("dst"), QStringLiteral("empty")));
    QVERIFY(g_messages.isEmpty());
    QCOMPARE(Fixture::scalar(file, "select count(*) from dst").toInt(), 0);
}

void tst_UpdateBase::copyTableFailureStopsAtFailingRow()
{
    const QString file = path(QStringLiteral("f.db"));
    QVERIFY(Fixture::runScript(file,
        "create table src(id integer primary key, name text);"
        "insert into src values(1, 'a'); insert into src values(2, 'A'); insert into src values(3, 'b');"
        "create table dst(id integer primary key, name text unique collate nocase);"));
    Probe probe(file);
    QVERIFY(!probe.copyTable(QStringLiteral("dst"), QStringLiteral("src")));
    QCOMPARE(g_messages.size(), 1);
    QVERIFY(g_messages.first().contains(QLatin1String("UNIQUE constraint failed")));
    QCOMPARE(Fixture::rows(file, "select id from dst"), QStringList({"1"}));
}

void tst_UpdateBase::rebuildFailureLeavesTableUnchanged()
{
    const QString file = path(QStringLiteral("u.db"));
    QVERIFY(Fixture::runScript(file,
        "create table user(id integer primary key, name text, password text);"
        "create index user_old on user(name);"
        "insert into user values(1, 'admin', 'x'); insert into user values(2, 'Admin', 'y');"));
    const QStringList schemaBefore = Fixture::rows(file, "select type, name, sql from sqlite_master order by name");
    Probe probe(file);
    QVERIFY(!probe.rebuildTable(QStringLiteral("user"),
                                QStringLiteral("create table user(id integer primary key, name text unique COLLATE NOCASE, password text)"),
                                QString(), __FILE__, __LINE__));
    // The failing insert is still reported.
    QCOMPARE(g_messages.filter(QStringLiteral("UNIQUE constraint failed")).size(), 1);
    QCOMPARE(Fixture::rows(file, "select type, name, sql from sqlite_master order by name"), schemaBefore);
    QCOMPARE(Fixture::rows(file, "select id, name, password from user order by id"),
             QStringList({"1|admin|x", "2|Admin|y"}));

    // Once the data is fixed, the same rebuild goes through.
    QVERIFY(Fixture::runScript(file, "update user set name = 'other' where id = 2;"));
    QVERIFY(probe.rebuildTable(QStringLiteral("user"),
                               QStringLiteral("create table user(id integer primary key, name text unique COLLATE NOCASE, password text)"),
                               QString(), __FILE__, __LINE__));
    QCOMPARE(Fixture::scalar(file, "select count(*) from sqlite_master where name = 'user_bak'").toInt(), 0);
    QCOMPARE(Fixture::rows(file, "select id, name from user where name = 'OTHER'"), QStringList({"2|other"}));
}

void tst_UpdateBase::rebuildKeepsIdsAndAddsCollation()
{
    const QString file = path(QStringLiteral("d.db"));
    QVERIFY(Fixture::runScript(file,
        "create table department(id integer primary key, abbr text, name text);"
        "insert into department values(4, 'Icu', 'Intensive care'); insert into department values(10, 'er', 'Emergency');"));
    Probe probe(file);
    QVERIFY(probe.rebuildTable(QStringLiteral("department"),
                               QStringLiteral("create table department(\n    id integer primary key,\n    abbr text COLLATE NOCASE,\n    name text)"),
                               QStringLiteral("create index if not exists department_index on department (abbr)"),
                               __FILE__, __LINE__));
    QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join('\n')));
    QCOMPARE(Fixture::rows(file, "select id, name from department where abbr = 'ICU'"), QStringList({"4|Intensive care"}));
    QCOMPARE(Fixture::rows(file, "select id from department order by id"), QStringList({"4", "10"}));
    QCOMPARE(Fixture::scalar(file, "select tbl_name from sqlite_master where name = 'department_index'").toString(),
             QStringLiteral("department"));
}

void tst_UpdateBase::rebuildReplacesIndexOfSameName()
{
    // The rename carries an index along under its name; the rebuilt table
    // must still get its own.
    const QString file = path(QStringLiteral("i.db"));
    QVERIFY(Fixture::runScript(file,
        "create table doctor(id integer primary key, abbr text, name text);"
        "create index doctor_index on doctor(name); create index doctor_other on doctor(abbr, name);"
        "insert into doctor values(3, 'Lw', 'Dr. Lee Wen');"));
    Probe probe(file);
    for (int run = 0; run < 2; ++run) {
        QVERIFY(probe.rebuildTable(QStringLiteral("doctor"),
                                   QStringLiteral("create table doctor(id integer primary key, abbr text COLLATE NOCASE, name text)"),
                                   QStringLiteral("create index if not exists doctor_index on doctor (abbr)"),
                                   __FILE__, __LINE__));
        QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join('\n')));
        QCOMPARE(Fixture::rows(file, "select type, name, tbl_name, sql from sqlite_master order by name"),
                 QStringList({"table|doctor|doctor|CREATE TABLE doctor(id integer primary key, abbr text COLLATE NOCASE, name text)",
                              "index|doctor_index|doctor|CREATE INDEX doctor_index on doctor (abbr)"}));
        QCOMPARE(Fixture::rows(file, "select id, name from doctor where abbr = 'LW'"), QStringList({"3|Dr. Lee Wen"}));
    }
}

void tst_UpdateBase::transactionCommitAndRollback()
{
    const QString file = path(QStringLiteral("t.db"));
    QVERIFY(Fixture::runScript(file, "create table a(x);"));
    Probe probe(file);
    probe.beginTransaction(__FILE__, __LINE__);
    probe.exec(QStringLiteral("insert into a values(1)"), __FILE__, __LINE__);
    // An ordinary failure is logged and the transaction goes on.
    probe.exec(QStringLiteral("insert into missing values(1)"), __FILE__, __LINE__);
    probe.exec(QStringLiteral("insert into a values(2)"), __FILE__, __LINE__);
    QVERIFY(!probe.transactionLost());
    QVERIFY(probe.commitTransaction(__FILE__, __LINE__));
    QCOMPARE(Fixture::rows(file, "select x from a"), QStringList({"1", "2"}));

    probe.beginTransaction(__FILE__, __LINE__);
    probe.exec(QStringLiteral("insert into a values(3)"), __FILE__, __LINE__);
    probe.rollbackTransaction(__FILE__, __LINE__);
    QCOMPARE(Fixture::rows(file, "select x from a"), QStringList({"1", "2"}));
    QCOMPARE(g_messages.size(), 1);
}

void tst_UpdateBase::transactionLostByDatabase()
{
    // A file that may not grow: the insert fails with "database or disk is full",
    // and SQLite ends the transaction itself.
    const QString file = path(QStringLiteral("full.db"));
    QVERIFY(Fixture::runScript(file, "create table a(x); insert into a values('before');"));
    Probe probe(file);
    probe.exec(QStringLiteral("PRAGMA max_page_count = 3"), __FILE__, __LINE__);
    probe.beginTransaction(__FILE__, __LINE__);
    probe.exec(QStringLiteral("insert into a values('inside')"), __FILE__, __LINE__);
    probe.exec(QStringLiteral("create table big(x)"), __FILE__, __LINE__);
    probe.exec(QStringLiteral("insert into big values(zeroblob(100000))"), __FILE__, __LINE__);
    if (!probe.transactionLost())
        QSKIP("this SQLite kept the transaction after SQLITE_FULL");
    probe.exec(QStringLiteral("insert into a values('after')"), __FILE__, __LINE__);
    QVERIFY(!probe.commitTransaction(__FILE__, __LINE__));
    QCOMPARE(Fixture::rows(file, "select x from a"), QStringList({"before"}));
    QVERIFY(g_messages.filter(QStringLiteral("insert into a values('after')")).isEmpty());
}

void tst_UpdateBase::syslogVersions_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("warnings");
    QTest::newRow("new file") << QString() << 0;
    QTest::newRow("version 1") << "create table version(version integer); insert into version values(1);" << 0;
    QTest::newRow("empty version table") << "create table version(version integer);" << 1;
    QTest::newRow("log table kept") << "create table log(t text); insert into log values('boot');"
                                       "create table version(version integer); insert into version values(1);" << 0;
}

void tst_UpdateBase::syslogVersions()
{
    QFETCH(QString, script);
    QFETCH(int, warnings);
    const QString old = QDir::currentPath();
    QDir::setCurrent(m_dir.path());
    if (!script.isEmpty())
        QVERIFY(Fixture::runScript(path(QStringLiteral("syslog.db")), script));
    {
        UpdateSyslog syslog;
        QVERIFY(syslog.update());
    }
    QDir::setCurrent(old);
    QCOMPARE(g_messages.filter(QStringLiteral("updatesyslog")).size(), warnings);
    QCOMPARE(Fixture::rows(path(QStringLiteral("syslog.db")), "select version from version"), QStringList({"1"}));
    if (script.contains(QLatin1String("boot")))
        QCOMPARE(Fixture::scalar(path(QStringLiteral("syslog.db")), "select t from log").toString(), QStringLiteral("boot"));
}

void tst_UpdateBase::qcCreatedAndUntouched()
{
    const QString old = QDir::currentPath();
    QDir::setCurrent(m_dir.path());
    {
        UpdateQc qc;
        QVERIFY(qc.update());
    }
    QVERIFY(QFileInfo::exists(path(QStringLiteral("qc.db"))));
    QCOMPARE(Fixture::scalar(path(QStringLiteral("qc.db")), "select count(*) from sqlite_master").toInt(), 0);

    QVERIFY(Fixture::runScript(path(QStringLiteral("qc.db")), "create table qc(id integer primary key, v real); insert into qc values(1, 2.5);"));
    const QByteArray before = Fixture::readFile(path(QStringLiteral("qc.db")));
    {
        UpdateQc qc;
        QVERIFY(qc.update());
    }
    QDir::setCurrent(old);
    QCOMPARE(Fixture::readFile(path(QStringLiteral("qc.db"))), before);
    QVERIFY(g_messages.filter(QStringLiteral("updateqc")).isEmpty());
}

QTEST_GUILESS_MAIN(tst_UpdateBase)
#include "tst_updatebase.moc"
