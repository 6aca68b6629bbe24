#include "dbfixture.h"
#include "legacydata.h"
#include "updatebase.h"
#include "updatesyslog.h"
#include "updateqc.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlField>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

#include <limits>

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

// Random stored values of every storage class, with the cases a copy by
// composed SQL text got wrong: blobs (empty, leading 00), text that reads as
// a number or an expression, invalid UTF-8, NUL, quotes, extreme numbers.
class ValueMaker
{
public:
    explicit ValueMaker(quint64 seed) : m_rng(seed) {}

    void bind(sqlite3_stmt *stmt, int column)
    {
        static const qint64 integers[] = {0, -1, 7, std::numeric_limits<qint64>::max(),
                                          std::numeric_limits<qint64>::min(), 3000000000LL};
        static const double reals[] = {0.1, -0.0, 1e308, 5e-324, 3.0, -2.5e-7};
        static const QByteArray texts[] = {"007", "1+1", "abs(-3)", "admin", "", "o'brien", "a\"b",
                                           QByteArray("x\0y", 3), "\xff\xfe\x80", " 12 ", "1e5", "0x10",
                                           "NULL", "x'00'", "\xe6\xa2\xaf\xe5\xba\xa6"};
        switch (m_rng.bounded(5)) {
        case 0:
            sqlite3_bind_null(stmt, column);
            break;
        case 1:
            sqlite3_bind_int64(stmt, column, m_rng.bounded(2) ? pick(integers) : qint64(m_rng.generate64()));
            break;
        case 2: {
            double value = pick(reals);
            if (m_rng.bounded(2)) {
                const quint64 bits = m_rng.generate64();
                memcpy(&value, &bits, sizeof value);
                if (value != value)
                    value = 1.25; // SQLite stores NaN as NULL
            }
            sqlite3_bind_double(stmt, column, value);
            break;
        }
        case 3: {
            const QByteArray text = m_rng.bounded(3) ? pick(texts) : bytes();
            sqlite3_bind_text(stmt, column, text.constData(), text.size(), SQLITE_TRANSIENT);
            break;
        }
        default: {
            const QByteArray blob = m_rng.bounded(2) ? bytes() : QByteArray(m_rng.bounded(2) ? "" : QByteArray("\0ab", 3));
            sqlite3_bind_blob(stmt, column, blob.constData(), blob.size(), SQLITE_TRANSIENT);
            break;
        }
        }
    }
    // A declared column type: none, or one of each affinity.
    QString declaredType()
    {
        static const char *const types[] = {"", "text", "integer", "real", "blob", "numeric", "varchar(8)"};
        return QLatin1String(pick(types));
    }
    quint32 bounded(quint32 n) { return m_rng.bounded(n); }

private:
    template <typename T, size_t N>
    const T &pick(const T (&list)[N]) { return list[m_rng.bounded(quint32(N))]; }
    QByteArray bytes()
    {
        QByteArray out(int(m_rng.bounded(12)), '\0');
        for (char &c : out)
            c = char(m_rng.bounded(256));
        return out;
    }

    QRandomGenerator m_rng;
};

// Fills `table` (ids 1..rows, plus the largest) with random values; the
// column `unique`, when given, gets values that stay distinct as text.
bool fillRandom(const QString &file, const QString &table, int columns, int rows, ValueMaker &values,
                int unique = -1)
{
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open(QFile::encodeName(file).constData(), &db) == SQLITE_OK;
    QString sql = QStringLiteral("insert into %1 values(?").arg(table);
    for (int c = 1; c < columns; ++c)
        sql += QStringLiteral(", ?");
    sql += QLatin1Char(')');
    sqlite3_stmt *stmt = nullptr;
    ok = ok && sqlite3_exec(db, "begin", nullptr, nullptr, nullptr) == SQLITE_OK
        && sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &stmt, nullptr) == SQLITE_OK;
    for (int r = 0; ok && r <= rows; ++r) {
        const qint64 id = r == rows ? std::numeric_limits<qint64>::max() : r + 1;
        sqlite3_bind_int64(stmt, 1, id);
        for (int c = 2; c <= columns; ++c) {
            if (c - 1 != unique) {
                values.bind(stmt, c);
            } else if (values.bounded(2)) {
                const QByteArray text = "u" + QByteArray::number(id) + "\xff\0"[values.bounded(2)];
                sqlite3_bind_text(stmt, c, text.constData(), text.size(), SQLITE_TRANSIENT);
            } else if (values.bounded(2)) {
                sqlite3_bind_double(stmt, c, double(r) + 0.25);
            } else {
                sqlite3_bind_null(stmt, c);
            }
        }
        ok = sqlite3_step(stmt) == SQLITE_DONE && sqlite3_reset(stmt) == SQLITE_OK;
    }
    if (!ok)
        qWarning("fill %s: %s", qPrintable(table), sqlite3_errmsg(db));
    sqlite3_finalize(stmt);
    ok = ok && sqlite3_exec(db, "commit", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// Every cell of a table as storage class, SQL literal and bytes.
QStringList cells(const QString &file, const QString &table, const QStringList &columns)
{
    QStringList parts;
    for (const QString &c : columns)
        parts << QStringLiteral("typeof(%1) || ':' || quote(%1) || ':' || hex(%1)").arg(c);
    return Fixture::rows(file, QStringLiteral("select id, %1 from %2 order by id")
                                   .arg(parts.join(QLatin1String(", ")), table));
}

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
    void copyTableStopsAtUnreadableRows_data();
    void copyTableStopsAtUnreadableRows();
    void rebuildFailureLeavesTableUnchanged();
    void rebuildKeepsIdsAndAddsCollation();
    void rebuildReplacesIndexOfSameName();
    void upgradeKeepsEveryStoredValue_data();
    void upgradeKeepsEveryStoredValue();
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
    // Not a goal that holds: the upgrade stops there.
    QVERIFY(!probe.renameTable(QStringLiteral("a"), QStringLiteral("b")));
    QCOMPARE(g_messages.size(), 1);
    QVERIFY(g_messages.first().contains(QLatin1String("dbupdate/updatebase_copy.cpp (")));
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

void tst_UpdateBase::copyTableStopsAtUnreadableRows_data()
{
    QTest::addColumn<int>("page");
    QTest::newRow("first rows") << 4;   // the first leaf: src's root is page 2, dst's 3
    QTest::newRow("middle rows") << 60;
}

void tst_UpdateBase::copyTableStopsAtUnreadableRows()
{
    // Damaged pages in the table: the rows on them cannot be read, and a
    // copy that passed them over quietly would let the rebuild drop the
    // table with them.
    QFETCH(int, page);
    const QString file = path(QStringLiteral("damaged.db"));
    QVERIFY(Fixture::runScript(file,
        "create table src(id integer primary key, t text); create table dst(id integer primary key, t text);"
        "insert into src with recursive n(i) as (select 1 union all select i + 1 from n where i < 3000)"
        "  select i, printf('%0200d', i) from n;"));
    QByteArray bytes = Fixture::readFile(file);
    const int pageSize = 4096;
    QVERIFY(bytes.size() > 100 * pageSize);
    bytes.replace((page - 1) * pageSize, 2 * pageSize, QByteArray(2 * pageSize, '\x5a'));
    QVERIFY(Fixture::writeFile(file, bytes));
    Probe probe(file);
    QVERIFY(!probe.copyTable(QStringLiteral("dst"), QStringLiteral("src")));
    QVERIFY2(!g_messages.filter(QStringLiteral("malformed")).isEmpty(), qPrintable(g_messages.join('\n')));
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

    // Once the data is fixed, the same rebuild goes through (in a new
    // upgrade: a stopped one runs nothing more).
    QVERIFY(Fixture::runScript(file, "update user set name = 'other' where id = 2;"));
    Probe again(file);
    QVERIFY(again.rebuildTable(QStringLiteral("user"),
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

void tst_UpdateBase::upgradeKeepsEveryStoredValue_data()
{
    QTest::addColumn<quint64>("seed");
    QTest::newRow("fixed seed") << quint64(20);
    for (int i = 0; i < 3; ++i) {
        const quint64 seed = QRandomGenerator::global()->generate64();
        QTest::addRow("seed %llu", seed) << seed;
    }
}

void tst_UpdateBase::upgradeKeepsEveryStoredValue()
{
    // Version 0 files whose rebuilt tables hold random values under random
    // declared types, upgraded by the program; every copied cell must be
    // what SQLite's own insert ... select into the new table gives.
    QFETCH(quint64, seed);
    ValueMaker values(seed);
    const QString dir = m_dir.path();
    QVERIFY(Legacy::layProfile(dir));
    QVERIFY(Legacy::createData(path(QStringLiteral("data.db")), 0));

    const QString userTable = QStringLiteral(
        "create table user(id integer primary key, name text unique COLLATE NOCASE, password text, "
        "level integer default 0, hide integer default 0)");
    QVERIFY(Fixture::runScript(path(QStringLiteral("profile.db")),
                               QStringLiteral("drop table user; create table user(id integer primary key, "
                                              "name %1, password %2, level %3, hide %4);")
                                   .arg(values.declaredType(), values.declaredType(),
                                        values.declaredType(), values.declaredType())));
    QVERIFY(fillRandom(path(QStringLiteral("profile.db")), QStringLiteral("user"), 5, 40, values, 1));
    const QStringList lookups = {"department", "sex", "treatmentRoom", "diagnosis", "doctor", "operator"};
    for (const QString &table : lookups) {
        QVERIFY(Fixture::runScript(path(QStringLiteral("data.db")),
                                   QStringLiteral("drop table %1; create table %1(id integer primary key, abbr %2, name %3);")
                                       .arg(table, values.declaredType(), values.declaredType())));
        QVERIFY(fillRandom(path(QStringLiteral("data.db")), table, 3, 40, values));
    }

    // What SQLite itself makes of the same rows, on copies of the files as
    // they were.
    QVERIFY(QFile::copy(path(QStringLiteral("profile.db")), path(QStringLiteral("expected_profile.db"))));
    QVERIFY(QFile::copy(path(QStringLiteral("data.db")), path(QStringLiteral("expected_data.db"))));
    QString dataScript;
    for (const QString &table : lookups)
        dataScript += QStringLiteral("create table new_%1(id integer primary key, abbr text COLLATE NOCASE, name text);"
                                     "insert into new_%1 select * from %1;\n").arg(table);
    const QString profileScript = QString(userTable).replace(QLatin1String("table user"), QLatin1String("table new_user"))
        + QStringLiteral(";\ninsert into new_user select * from user;\n");
    for (const auto &[file, script] : {std::make_pair(QStringLiteral("expected_data.db"), dataScript),
                                       std::make_pair(QStringLiteral("expected_profile.db"), profileScript)}) {
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(path(file).toUtf8().constData(), &db), SQLITE_OK);
        char *message = nullptr;
        const int rc = sqlite3_exec(db, script.toUtf8().constData(), nullptr, nullptr, &message);
        const QByteArray text(message ? message : "");
        sqlite3_free(message);
        sqlite3_close(db);
        QVERIFY2(rc == SQLITE_OK, text.constData());
    }

    const Fixture::Run run = Fixture::runDbupdate(dir, {QStringLiteral("update.log")});
    QCOMPARE(run.exitCode, 0);
    const QStringList lookupColumns = {"abbr", "name"};
    for (const QString &table : lookups) {
        const QStringList expected = cells(path(QStringLiteral("expected_data.db")), QStringLiteral("new_") + table,
                                           lookupColumns);
        QCOMPARE(expected.size(), 41);
        QCOMPARE(cells(path(QStringLiteral("data.db")), table, lookupColumns), expected);
    }
    const QStringList userColumns = {"name", "password", "level", "hide"};
    const QStringList expected = cells(path(QStringLiteral("expected_profile.db")), QStringLiteral("new_user"), userColumns);
    QCOMPARE(expected.size(), 41);
    QCOMPARE(cells(path(QStringLiteral("profile.db")), QStringLiteral("user"), userColumns), expected);
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
    QTest::addColumn<QStringList>("version");
    // A new file holds no tables: nothing is written into it.
    QTest::newRow("new file") << QString() << 0 << QStringList();
    QTest::newRow("version 1") << "create table version(version integer); insert into version values(1);" << 0
                               << QStringList({"1"});
    QTest::newRow("empty version table") << "create table version(version integer);" << 1 << QStringList({"1"});
    QTest::newRow("log table kept") << "create table log(t text); insert into log values('boot');"
                                       "create table version(version integer); insert into version values(1);"
                                    << 0 << QStringList({"1"});
    QTest::newRow("log table, no version") << "create table log(t text); insert into log values('boot');" << 0
                                           << QStringList({"1"});
}

void tst_UpdateBase::syslogVersions()
{
    QFETCH(QString, script);
    QFETCH(int, warnings);
    QFETCH(QStringList, version);
    const QString old = QDir::currentPath();
    QDir::setCurrent(m_dir.path());
    if (!script.isEmpty())
        QVERIFY(Fixture::runScript(path(QStringLiteral("syslog.db")), script));
    {
        UpdateSyslog syslog;
        QVERIFY(syslog.update());
    }
    QDir::setCurrent(old);
    QCOMPARE(g_messages.filter(QStringLiteral("syslog.db")).size(), warnings);
    if (version.isEmpty())
        QCOMPARE(Fixture::scalar(path(QStringLiteral("syslog.db")), "select count(*) from sqlite_master").toInt(), 0);
    else
        QCOMPARE(Fixture::rows(path(QStringLiteral("syslog.db")), "select version from version"), version);
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
