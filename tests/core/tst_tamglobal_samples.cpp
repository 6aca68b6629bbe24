#include "profile.h"
#include "tamglobal.h"

#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlTableModel>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>
#include <thread>

#include "dbfixture.h"
#include "messageboxcatcher.h"

// The settings profile opens its four files in the working directory: the
// test runs in a temporary one, with data.db made from the legacy sample.
class tst_TamglobalSamples : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void prefix_data();
    void prefix();
    void legacyFile();
    void nextNumber_data();
    void nextNumber();
    void failedPreparation();
    void failedExecution();
    void generatedValueReachesTheInsert();
    void workerThreadGetsTheSameNumber();

private:
    bool exec(const QString &sql);

    QTemporaryDir m_dir;
    QString m_previousDir;
};

bool tst_TamglobalSamples::exec(const QString &sql)
{
    QSqlQuery query(Profile::instance().dataDatabase());
    if (query.exec(sql))
        return true;
    qWarning() << sql << query.lastError().text();
    return false;
}

void tst_TamglobalSamples::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    QVERIFY(Fixture::runScriptFile(QStringLiteral("data.db"),
                                   Fixture::sourcePath(QStringLiteral("samples/legacy/data.sql"))));
    QVERIFY(Fixture::runScript(QStringLiteral("profile.db"),
                               QStringLiteral("create table profile(name text primary key, value)")));
    QVERIFY(Fixture::runScript(QStringLiteral("qc.db"), QStringLiteral("create table qc(id integer)")));
    QVERIFY(Fixture::runScript(QStringLiteral("syslog.db"), QStringLiteral("create table log(id integer)")));

    // A start-up loader thread makes the store: it moves to the GUI thread,
    // where every test below uses its connections.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
            "first called outside the application's thread")));
    MessageBoxCatcher catcher;
    Profile *made = nullptr;
    std::thread([&made] { made = &Profile::instance(); }).join();
    QCOMPARE(&Profile::instance(), made);
    QCOMPARE(made->thread(), QCoreApplication::instance()->thread());
    QVERIFY(Profile::instance().dataDatabase().isOpen());
    QCOMPARE(Profile::instance().dataDatabase().connectionName(), QStringLiteral("data.db"));
    QCOMPARE(catcher.texts(), QStringList());
}

void tst_TamglobalSamples::cleanupTestCase()
{
    QDir::setCurrent(m_previousDir);
}

void tst_TamglobalSamples::prefix_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("statim");
    QTest::addColumn<QVariant>("qc");
    QTest::addColumn<QString>("prefix");

    const QVariant none;
    QTest::newRow("routine") << int(tam::RoutineSample) << none << none << "";
    QTest::newRow("statim default") << int(tam::StatimSample) << none << none << "S";
    QTest::newRow("qc default") << int(tam::QcSample) << none << none << "QC";
    QTest::newRow("undefined type") << 7 << none << none << "";
    QTest::newRow("statim set") << int(tam::StatimSample) << QVariant("E") << QVariant("K") << "E";
    QTest::newRow("qc set") << int(tam::QcSample) << QVariant("E") << QVariant("K") << "K";
}

void tst_TamglobalSamples::prefix()
{
    QFETCH(int, type);
    QFETCH(QVariant, statim);
    QFETCH(QVariant, qc);
    QFETCH(QString, prefix);

    Profile &profile = Profile::instance();
    profile.setValue(QStringLiteral("statim_sample_prefix"), statim, false);
    profile.setValue(QStringLiteral("qc_sample_prefix"), qc, false);
    const QString result = samplePrefix(tam::SampleType(type));
    profile.setValue(QStringLiteral("statim_sample_prefix"), QVariant(), false);
    profile.setValue(QStringLiteral("qc_sample_prefix"), QVariant(), false);
    QCOMPARE(result, prefix);
}

void tst_TamglobalSamples::legacyFile()
{
    // The sample's day holds the numbers "1" and "2"; a third sample
    // numbered "10" makes the textual maximum ("2") differ from the numeric one.
    QCOMPARE(nextSampleNo(QDate(2013, 11, 4)), qint64(3));
    QVERIFY(Fixture::runScript(QStringLiteral("data.db"),
        QStringLiteral("insert into patient (id, sampleNo, date) values(100, '10', '2013-11-04');")));
    QCOMPARE(nextSampleNo(QDate(2013, 11, 4)), qint64(11));
    QCOMPARE(nextSampleNo(QDate(2013, 11, 5)), qint64(1));
    QVERIFY(Fixture::runScript(QStringLiteral("data.db"), QStringLiteral("delete from patient where id = 100;")));
}

void tst_TamglobalSamples::nextNumber_data()
{
    QTest::addColumn<QStringList>("patients"); // "sampleNo|date", sampleNo "NULL" for none
    QTest::addColumn<QDate>("date");
    QTest::addColumn<qint64>("next");

    const QDate day(2026, 12, 1);
    QTest::newRow("numeric maximum") << QStringList{"1|2026-12-01", "2|2026-12-01", "10|2026-12-01"}
                                     << day << qint64(11);
    QTest::newRow("other days ignored") << QStringList{"50|2026-11-30", "3|2026-12-01", "70|2026-12-02"}
                                        << day << qint64(4);
    QTest::newRow("day without patients") << QStringList{"5|2026-11-30"} << day << qint64(1);
    QTest::newRow("no patients at all") << QStringList() << day << qint64(1);
    QTest::newRow("only a text") << QStringList{"abc|2026-12-01"} << day << qint64(1);
    QTest::newRow("text beside a number") << QStringList{"abc|2026-12-01", "7|2026-12-01"} << day << qint64(8);
    QTest::newRow("leading integer part") << QStringList{"12b|2026-12-01", "9|2026-12-01"} << day << qint64(13);
    QTest::newRow("no sample number") << QStringList{"NULL|2026-12-01"} << day << qint64(1);
    // Barcode-like numbers: past 32 bits, and the top of the 64-bit range,
    // where there is no next number and the count stays instead of wrapping.
    QTest::newRow("eleven digits") << QStringList{"99999999999|2026-12-01", "5|2026-12-01"}
                                   << day << qint64(100000000000);
    QTest::newRow("largest int") << QStringList{"2147483647|2026-12-01"} << day << qint64(2147483648);
    QTest::newRow("largest qint64") << QStringList{"9223372036854775806|2026-12-01"} << day
                                    << std::numeric_limits<qint64>::max();
    QTest::newRow("top of the range") << QStringList{"9223372036854775807|2026-12-01"} << day
                                      << std::numeric_limits<qint64>::max();
    QTest::newRow("beyond the range") << QStringList{"99999999999999999999|2026-12-01"} << day
                                      << std::numeric_limits<qint64>::max();
}

void tst_TamglobalSamples::nextNumber()
{
    QFETCH(QStringList, patients);
    QFETCH(QDate, date);
    QFETCH(qint64, next);

    QVERIFY(exec(QStringLiteral("delete from patient")));
    for (const QString &patient : patients) {
        const QStringList fields = patient.split(QLatin1Char('|'));
        QSqlQuery query(Profile::instance().dataDatabase());
        QVERIFY(query.prepare(QStringLiteral("insert into patient(sampleNo, date) values(?, ?)")));
        query.addBindValue(fields.at(0) == QLatin1String("NULL") ? QVariant(QVariant::String) : fields.at(0));
        query.addBindValue(fields.at(1));
        QVERIFY2(query.exec(), qPrintable(query.lastError().text()));
    }
    QCOMPARE(nextSampleNo(date), next);
    // Asking reserves nothing.
    QCOMPARE(nextSampleNo(date), next);
}

void tst_TamglobalSamples::failedPreparation()
{
    QVERIFY(exec(QStringLiteral("alter table patient rename to patientKept")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(
            QStringLiteral("^\\.\\\\tamglobal\\(158\\): QSqlError\\(.*no such table: patient")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^\\.\\\\tamglobal\\(161\\): ")));
    const qint64 next = nextSampleNo(QDate(2026, 12, 1));
    QVERIFY(exec(QStringLiteral("alter table patientKept rename to patient")));
    // No number rather than one another sample may have.
    QCOMPARE(next, qint64(-1));
}

void tst_TamglobalSamples::failedExecution()
{
    // A view that prepares but fails when stepped: abs() of the smallest
    // integer overflows.
    QVERIFY(exec(QStringLiteral("delete from patient")));
    QVERIFY(exec(QStringLiteral("insert into patient(sampleNo, date) values('5', '2026-12-01')")));
    QVERIFY(exec(QStringLiteral("alter table patient rename to patientKept")));
    QVERIFY(exec(QStringLiteral("create view patient as select sampleNo, date from patientKept "
                                "where abs(-9223372036854775807 - 1) > 0")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(
            QStringLiteral("^\\.\\\\tamglobal\\(161\\): QSqlError\\(.*integer overflow")));
    const qint64 next = nextSampleNo(QDate(2026, 12, 1));
    QVERIFY(exec(QStringLiteral("drop view patient")));
    QVERIFY(exec(QStringLiteral("alter table patientKept rename to patient")));
    QCOMPARE(next, qint64(-1));
    QCOMPARE(nextSampleNo(QDate(2026, 12, 1)), qint64(6));
}

void tst_TamglobalSamples::generatedValueReachesTheInsert()
{
    // A model writes only generated fields: set this way, the number reaches
    // the row while the untouched fields are left to the table's defaults.
    QSqlDatabase db = Profile::instance().dataDatabase();
    QVERIFY(exec(QStringLiteral("delete from patient")));
    QSqlTableModel model(nullptr, db);
    model.setTable(QStringLiteral("patient"));
    model.setEditStrategy(QSqlTableModel::OnManualSubmit);
    QVERIFY(model.select());

    QSqlRecord record = model.record();
    for (int i = 0; i < record.count(); ++i)
        record.setGenerated(i, false);
    const QSqlRecord untouched = record;
    setGeneratedValue(record, QStringLiteral("noSuchField"), 5);
    QVERIFY(record == untouched);
    setGeneratedValue(record, QStringLiteral("sampleNo"), QString::number(nextSampleNo(QDate(2026, 12, 3))));
    setGeneratedValue(record, QStringLiteral("date"), QStringLiteral("2026-12-03"));
    QVERIFY(model.insertRecord(-1, record));
    QVERIFY2(model.submitAll(), qPrintable(model.lastError().text()));

    QCOMPARE(Fixture::rows(QStringLiteral("data.db"), QStringLiteral("select sampleNo, date, name from patient")),
             QStringList{QStringLiteral("1|2026-12-03|NULL")});
    QCOMPARE(nextSampleNo(QDate(2026, 12, 3)), qint64(2));
}

// A worker's number is the GUI thread's, asked on a connection of its own
// that sees the rows the GUI thread wrote; a worker that can have no
// connection gets no number rather than 1.
void tst_TamglobalSamples::workerThreadGetsTheSameNumber()
{
    const QDate day(2026, 12, 4);
    QVERIFY(exec(QStringLiteral("delete from patient")));
    QVERIFY(exec(QStringLiteral("insert into patient(sampleNo, date) values('41', '2026-12-04')")));
    const qint64 inGui = nextSampleNo(day);
    QCOMPARE(inGui, qint64(42));

    std::vector<qint64> answers(3, 0);
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < answers.size(); ++i)
        workers.emplace_back([&answers, i, day] { answers[i] = nextSampleNo(day); });
    for (std::thread &worker : workers)
        worker.join();
    QCOMPARE(answers, std::vector<qint64>(3, inGui));
    for (const QString &name : QSqlDatabase::connectionNames())
        QVERIFY2(!name.contains(QLatin1Char('@')), qPrintable(name + " left open"));

    // data.db replaced by something SQLite cannot open: the GUI thread's
    // connection still has the old file, a new thread's cannot open one.
#ifdef Q_OS_WIN
    QSKIP("Windows renames no file that a connection holds open; the rest ran");
#endif
    QVERIFY(QFile::rename(QStringLiteral("data.db"), QStringLiteral("data.db.kept")));
    QVERIFY(QDir().mkdir(QStringLiteral("data.db")));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("no connection to")));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral(
            "^\\.\\\\tamglobal\\(156\\): no sample number")));
    qint64 failed = 0;
    std::thread([&failed, day] { failed = nextSampleNo(day); }).join();
    QVERIFY(QDir().rmdir(QStringLiteral("data.db")));
    QVERIFY(QFile::rename(QStringLiteral("data.db.kept"), QStringLiteral("data.db")));
    QCOMPARE(failed, qint64(-1));
    QCOMPARE(nextSampleNo(day), inGui);
}

QTEST_MAIN(tst_TamglobalSamples)
#include "tst_tamglobal_samples.moc"
