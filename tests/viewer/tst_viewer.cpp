// The reference viewer over a real data directory: the legacy sample files
// upgraded by the real dbupdate, then patients, results of every flag and
// error kind, and curves stored by ClotCurve::save. The window runs in this
// process; the program itself runs for its screenshot.

#include "curveplot.h"
#include "dbfixture.h"
#include "mainwindow.h"
#include "resultmodel.h"
#include "settingsmodel.h"

#include <analysisresult.h>
#include <profile.h>
#include <propertyitem.h>
#include <serial.h>

#include <QAbstractItemModelTester>
#include <QBrush>
#include <QDate>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

// The chosen results of the first patient, in display order: every flag,
// the flag pairs, and every kind of stored value (number, not clotted, zero,
// NULL, text). Colours are the rendering's defaults.
struct StoredResult {
    const char *subitem;
    const char *abbr;
    const char *value; // SQL literal
    int flags;
    const char *text;
    const char *colour; // "" for the view's own colour
    const char *unit;
    const char *lower;
    const char *upper;
};
const StoredResult storedResults[] = {
    {"PT.T", "PT", "12.4", 0, "12.4", "", "s", "11", "14.5"},
    {"PT.INR", "INR", "1.35", 0x20, "1.35 \u2191", "#ffaa00", "", "0.8", "1.2"},
    {"PT.%", "PT%", "62", 0x10, "62 \u2193", "#ffaa00", "%", "70", "120"},
    {"PT.R", "PTR", "1.1", 0x8000 | 0x1000, "M 1.1", "", "", "0.8", "1.2"},
    {"FIB.C", "FIB", "0.35", 0x2 | 0x4, "!< 0.35", "#ff0000", "g/L", "2", "4"},
    {"FIB.D", "FIB-D", "9.8", 0x8, "> 9.8", "#ff0000", "g/L", "2", "4"},
    {"FIB.E", "FIB-E", "3.3", 0x4 | 0x8, "< 3.3", "#ff0000", "g/L", "2", "4"},
    {"FIB.F", "FIB-F", "7", 0x10 | 0x20, "7 \u2193", "#ffaa00", "g/L", "2", "4"},
    {"DD.C", "DD", "5", 0x8000 | 0x2 | 0x4 | 0x10, "M!< 5 \u2193", "#ff0000", "mg/L", "0", "0.5"},
    {"APTT.T", "APTT", "999.9", 0, "\u4e0d\u51dd", "#ff0000", "s", "25", "37"},
    {"TT.T", "TT", "0", 0x20, "", "#ff0000", "s", "14", "21"},
    {"AT.%", "AT", "NULL", 0, "", "#ff0000", "%", "80", "120"},
    {"FDP.C", "FDP", "'E04'", 0, "---.-", "#ff0000", "mg/L", "0", "5"},
};
const int resultCount = int(sizeof storedResults / sizeof storedResults[0]);

QString itemOf(const char *subitem)
{
    return QString::fromLatin1(subitem).section(QLatin1Char('.'), 0, 0);
}

// A clotting reaction: a steady signal that falls when the clot forms.
QVector<double> reaction(int n, double t0, double dt, double clotTime)
{
    QVector<double> v;
    for (int i = 0; i < n; ++i) {
        const double t = t0 + i * dt;
        v.append(1000.0 - 420.0 / (1.0 + std::exp(-(t - clotTime) * 1.5)) + 3.0 * std::sin(i * 0.7));
    }
    return v;
}

// Pixels of about that colour: antialiased lines blend at their edges.
int countColour(const QImage &image, QRgb colour, int tolerance = 0)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            n += std::abs(qRed(line[x]) - qRed(colour)) <= tolerance
                    && std::abs(qGreen(line[x]) - qGreen(colour)) <= tolerance
                    && std::abs(qBlue(line[x]) - qBlue(colour)) <= tolerance;
    }
    return n;
}

struct Run {
    int exitCode = -1;
    QByteArray err;
};

Run runViewer(const QString &workDir, const QStringList &arguments)
{
    QProcess p;
    p.setWorkingDirectory(workDir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(VIEWER_BIN), arguments);
    Run run;
    if (!p.waitForFinished(-1))
        return run;
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    run.err = p.readAllStandardError();
    return run;
}

} // namespace

class TestViewer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void ticks_data();
    void ticks();
    void ticksOutOfRange();
    void tickLabel_data();
    void tickLabel();
    void screenshot();
    void damagedFileDoesNotBlock();
    void badInvocation_data();
    void badInvocation();
    void results_data();
    void results();
    void curveOfSelectedResult();
    void station();
    void editSettings();

private:
    QTemporaryDir m_dir;
    QString m_today;
    ClotCurve m_ptCurve;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<QAbstractItemModelTester> m_resultTester;
    std::unique_ptr<QAbstractItemModelTester> m_legendTester;
    std::unique_ptr<QAbstractItemModelTester> m_settingsTester;
};

void TestViewer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString dir = m_dir.path();
    // The legacy settings and logs brought up to date by the real upgrade,
    // beside a patient database of the current version.
    for (const char *name : {"profile", "qc", "syslog"}) {
        const QString file = QString::fromLatin1(name);
        QVERIFY(Fixture::runScriptFile(dir + QLatin1Char('/') + file + QStringLiteral(".db"),
                                       Fixture::sourcePath(QStringLiteral("samples/legacy/%1.sql").arg(file))));
    }
    QVERIFY(Fixture::runScriptFile(dir + QStringLiteral("/data.db"),
                                   Fixture::sourcePath(QStringLiteral("tests/viewer/data_v5.sql"))));
    const Fixture::Run upgrade = Fixture::runDbupdate(dir);
    QCOMPARE(upgrade.exitCode, 0);
    QCOMPARE(Fixture::scalar(dir + QStringLiteral("/data.db"), QStringLiteral("select version from version")).toInt(), 5);

    m_today = QDate::currentDate().toString(Qt::ISODate);
    QString script = QStringLiteral(
            "insert into patient (id, sampleNo, date, name, sampleType, hospitalNo) values"
            " (11, '1', '%1', 'Chen Jing', 'routine', 'H101'),"
            " (12, '2', '%1', 'Zhou Min', 'statim', 'H102'),"
            " (13, '10', '%1', 'Sun Li', 'routine', 'H103');").arg(m_today);
    // An older version of PT.T that is not the chosen one.
    script += QStringLiteral("insert into results (id, patientId, item, subitem, version, abbr, result, unit, flag, "
                             "displayOrder) values (100, 11, 'PT', 'PT.T', 1, 'PT', 13.0, 's', 0, 0);");
    for (int i = 0; i < resultCount; ++i) {
        const StoredResult &r = storedResults[i];
        const int version = itemOf(r.subitem) == QLatin1String("PT") ? 2 : 1;
        script += QStringLiteral("insert into results (id, patientId, item, subitem, version, abbr, code, date, time, "
                                 "result, unit, flag, displayOrder, lowerMarkLimit, upperMarkLimit) values "
                                 "(%1, 11, '%2', '%3', %4, '%5', 'code of %5', '%6', '10:0%7:00', %8, '%9', %10, %11, %12, %13);"
                                 "insert into checkedResult (patientId, item, subitem, resultsId) values "
                                 "(11, '%2', '%3', %1);")
                .arg(200 + i).arg(itemOf(r.subitem), QString::fromLatin1(r.subitem)).arg(version)
                .arg(QString::fromLatin1(r.abbr), m_today).arg(i % 10)
                .arg(QString::fromLatin1(r.value), QString::fromLatin1(r.unit))
                .arg(r.flags).arg(i).arg(QString::fromLatin1(r.lower), QString::fromLatin1(r.upper));
    }
    script += QStringLiteral("insert into results (id, patientId, item, subitem, version, abbr, result, unit, flag, "
                             "displayOrder) values (300, 12, 'TT', 'TT.T', 1, 'TT', 17.2, 's', 0, 0);"
                             "insert into checkedResult (patientId, item, subitem, resultsId) values (12, 'TT', 'TT.T', 300);"
                             "insert into detail (patientId, item, version, info) values (11, 'PT', 1, 'channel 1'),"
                             " (11, 'PT', 2, 'channel 3');");
    QVERIFY(Fixture::runScript(dir + QStringLiteral("/data.db"), script));
    // Settings a site has set: the tree shows them, the rendering uses them.
    QVERIFY(Fixture::runScript(dir + QStringLiteral("/profile.db"), QStringLiteral(
            "insert or replace into profile values('statim_sample_prefix', 'E');"
            "insert or replace into profile values('upper_mark_limit_flag', '\u2191');"
            "insert or replace into profile values('color_of_null_result', '#ff0000');")));

    QVERIFY(QDir::setCurrent(dir));
    Profile::instance();
    // Two runs with a gap between them; the old version of PT has a curve
    // of its own, APTT only its optical density, FIB none at all.
    m_ptCurve.append(0.0, 0.1, reaction(150, 0.0, 0.1, 11.0));
    m_ptCurve.append(20.0, 0.5, reaction(40, 20.0, 0.5, 11.0));
    m_ptCurve.save(11, QStringLiteral("PT"), 2);
    ClotCurve old;
    old.append(0.0, 0.2, reaction(50, 0.0, 0.2, 6.0));
    old.save(11, QStringLiteral("PT"), 1);
    ClotCurve density;
    density.setType(ClotCurve::OpticalDensity);
    QVector<double> od;
    for (int i = 0; i < 60; ++i)
        od.append(i < 30 ? 0.0 : 0.01 * (i - 30));
    density.append(0.0, 1.0, od);
    density.save(11, QStringLiteral("APTT"), 1);
    ClotCurve tt;
    tt.append(0.0, 0.1, reaction(300, 0.0, 0.1, 17.2));
    tt.save(12, QStringLiteral("TT"), 1);
    QCOMPARE(Fixture::scalar(dir + QStringLiteral("/data.db"), QStringLiteral("select count(*) from curve where patientId > 10")).toInt(), 4);

    m_window.reset(new MainWindow);
    m_resultTester.reset(new QAbstractItemModelTester(m_window->resultModel(),
            QAbstractItemModelTester::FailureReportingMode::Fatal));
    m_legendTester.reset(new QAbstractItemModelTester(m_window->legendModel(),
            QAbstractItemModelTester::FailureReportingMode::Fatal));
    m_settingsTester.reset(new QAbstractItemModelTester(m_window->settingsModel()));
    m_window->reload();
}

void TestViewer::ticks_data()
{
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    QTest::addColumn<int>("maxTicks");
    QTest::addColumn<double>("step");

    QTest::newRow("unit") << 0.0 << 1.0 << 5 << 0.2;
    QTest::newRow("seconds") << 0.0 << 39.5 << 8 << 5.0;
    QTest::newRow("signed density") << -0.176 << 0.602 << 5 << 0.2;
    QTest::newRow("signed density, fewer") << -0.176 << 0.602 << 4 << 0.5;
    QTest::newRow("intensity") << 577.0 << 1003.0 << 6 << 100.0;
    QTest::newRow("flat") << 1000.0 << 1000.0 << 4 << 50.0;
    QTest::newRow("all zero") << 0.0 << 0.0 << 4 << 0.5;
    QTest::newRow("tiny") << -1e-3 << 2e-3 << 6 << 5e-4;
    QTest::newRow("reversed") << 10.0 << 0.0 << 5 << 2.0;
    QTest::newRow("one tick wanted") << 0.0 << 7.0 << 1 << 10.0;
}

void TestViewer::ticks()
{
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(int, maxTicks);
    QFETCH(double, step);

    const QVector<double> t = CurvePlot::ticks(low, high, maxTicks);
    QVERIFY2(t.size() >= 2 && t.size() <= maxTicks + 1, qPrintable(QString::number(t.size())));
    QVERIFY(t.first() <= std::min(low, high));
    QVERIFY(t.last() >= std::max(low, high));
    for (int i = 1; i < t.size(); ++i)
        QVERIFY2(std::abs(t.at(i) - t.at(i - 1) - step) < step * 1e-6,
                 qPrintable(QStringLiteral("tick %1: %2 after %3").arg(i).arg(t.at(i)).arg(t.at(i - 1))));
}

void TestViewer::ticksOutOfRange()
{
    // Doubles read from a damaged blob can be anything.
    QVERIFY(CurvePlot::ticks(0.0, qInf(), 5).isEmpty());
    QVERIFY(CurvePlot::ticks(qQNaN(), 1.0, 5).isEmpty());
    QVERIFY(CurvePlot::ticks(-1e308, 1e308, 5).isEmpty());

    CurvePlot plot;
    plot.resize(400, 300);
    plot.setRuns({QPolygonF({QPointF(0.0, -1e308), QPointF(1.0, 1e308), QPointF(qQNaN(), 1.0), QPointF(2.0, 0.0)})});
    QCOMPARE(plot.runs().size(), 2);
    QCOMPARE(plot.pointCount(), 3);
    const QImage image = plot.grab().toImage();
    QCOMPARE(image.size(), QSize(400, 300));
}

void TestViewer::tickLabel_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("spacing");
    QTest::addColumn<QString>("text");

    QTest::newRow("whole") << 1500.0 << 500.0 << "1500";
    QTest::newRow("tenths") << 0.30000000000000004 << 0.1 << "0.3";
    QTest::newRow("negative zero") << -1e-17 << 0.2 << "0.0";
    QTest::newRow("negative") << -0.2 << 0.2 << "-0.2";
    QTest::newRow("halves") << 2.5 << 0.5 << "2.5";
    QTest::newRow("thousandths") << 0.0015 << 0.0005 << "0.0015";
}

void TestViewer::tickLabel()
{
    QFETCH(double, value);
    QFETCH(double, spacing);
    QFETCH(QString, text);
    QCOMPARE(CurvePlot::tickLabel(value, spacing), text);
}

void TestViewer::screenshot()
{
    const QString shot = m_dir.filePath(QStringLiteral("shot.png"));
    const Run run = runViewer(m_dir.path(), {QStringLiteral("--screenshot"), QStringLiteral("shot.png"),
                                             QStringLiteral("--size"), QStringLiteral("1400x900")});
    QVERIFY2(run.exitCode == 0, run.err.constData());

    QImage image(shot);
    QVERIFY(!image.isNull());
#ifdef Q_OS_WIN
    // Without the Linux fonts the widgets' least widths add up to more.
    if (image.width() > 1400 && image.height() == 900)
        QSKIP("the window's least width is above the size asked (fonts of this platform)");
#endif
    QCOMPARE(image.size(), QSize(1400, 900));
    image = image.convertToFormat(QImage::Format_RGB32);

    QHash<QRgb, int> colours;
    for (int y = 0; y < image.height(); y += 2) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); x += 2)
            ++colours[line[x] & 0xffffff];
    }
    int background = 0;
    for (int n : qAsConst(colours))
        background = std::max(background, n);
    const int sampled = (image.width() / 2) * (image.height() / 2);
    QVERIFY2(colours.size() >= 40, qPrintable(QString::number(colours.size())));
    QVERIFY2(sampled - background > sampled / 10, "the picture is mostly one colour");

    // The two curves in their line colours, and result texts in the red and
    // orange of the rendering.
    QVERIFY2(countColour(image, qRgb(0x1f, 0x5f, 0xbf), 24) > 200, "no signal curve");
    QVERIFY2(countColour(image, qRgb(0xc0, 0x39, 0x2b), 24) > 200, "no optical-density curve");
    QVERIFY2(countColour(image, qRgb(0xff, 0x00, 0x00)) > 20, "no red result text");
    QVERIFY2(countColour(image, qRgb(0xff, 0xaa, 0x00)) > 20, "no orange result text");

    const QByteArray keep = qgetenv("VIEWER_SCREENSHOT_KEEP");
    if (!keep.isEmpty()) {
        QFile::remove(QString::fromLocal8Bit(keep));
        QVERIFY(QFile::copy(shot, QString::fromLocal8Bit(keep)));
    }
}

void TestViewer::damagedFileDoesNotBlock()
{
    // An empty qc.db makes the store warn in a message box at start; a
    // screenshot run prints the warning and goes on.
    QTemporaryDir work;
    for (const char *name : {"profile.db", "data.db", "syslog.db"})
        QVERIFY(QFile::copy(m_dir.filePath(QString::fromLatin1(name)), work.filePath(QString::fromLatin1(name))));
    QVERIFY(Fixture::writeFile(work.filePath(QStringLiteral("qc.db")), QByteArray()));
    const Run run = runViewer(work.path(), {QStringLiteral("--screenshot"), QStringLiteral("shot.png")});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.contains("qc.db"), run.err.constData());
    const QSize size = QImage(work.filePath(QStringLiteral("shot.png"))).size();
#ifdef Q_OS_WIN
    if (size.width() > 1600 && size.height() == 1000)
        QSKIP("the window's least width is above the size asked (fonts of this platform)");
#endif
    QCOMPARE(size, QSize(1600, 1000));
}

void TestViewer::badInvocation_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("not a data directory") << QStringList{QStringLiteral("--screenshot"), QStringLiteral("x.png"), QStringLiteral("empty")}
                                          << 1 << "not a data directory";
    QTest::newRow("no such directory") << QStringList{QStringLiteral("--screenshot"), QStringLiteral("x.png"), QStringLiteral("absent")}
                                       << 1 << "cannot enter";
    QTest::newRow("two directories") << QStringList{QStringLiteral("--screenshot"), QStringLiteral("x.png"), QStringLiteral("."), QStringLiteral(".")}
                                     << 2 << "more than one";
    QTest::newRow("bad size") << QStringList{QStringLiteral("--screenshot"), QStringLiteral("x.png"), QStringLiteral("--size"), QStringLiteral("big")}
                              << 2 << "--size";
    QTest::newRow("unwritable screenshot") << QStringList{QStringLiteral("--screenshot"), QStringLiteral("absent/x.png")}
                                           << 1 << "cannot write";
}

void TestViewer::badInvocation()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    QTemporaryDir work;
    QVERIFY(QDir(work.path()).mkpath(QStringLiteral("empty")));
    for (const char *name : {"profile.db", "data.db", "qc.db", "syslog.db"})
        QVERIFY(QFile::copy(m_dir.filePath(QString::fromLatin1(name)), work.filePath(QString::fromLatin1(name))));
    const Run run = runViewer(work.path(), arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    QVERIFY(!QFile::exists(work.filePath(QStringLiteral("x.png"))));
    // Nothing is created in a directory that is not a data directory.
    QCOMPARE(QDir(work.filePath(QStringLiteral("empty"))).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList());
}

void TestViewer::results_data()
{
    QTest::addColumn<int>("row");
    for (int i = 0; i < resultCount; ++i)
        QTest::newRow(storedResults[i].subitem) << i;
}

void TestViewer::results()
{
    QFETCH(int, row);
    const StoredResult &expected = storedResults[row];

    QVERIFY(m_window->selectPatientRow(0));
    const QAbstractItemModel *model = m_window->resultModel();
    QCOMPARE(model->rowCount(), resultCount);
    QCOMPARE(model->index(row, ResultModel::NameColumn).data().toString(), QString::fromLatin1(expected.abbr));
    QCOMPARE(model->index(row, ResultModel::ResultColumn).data().toString(), QString::fromUtf8(expected.text));
    const QVariant brush = model->index(row, ResultModel::ResultColumn).data(Qt::ForegroundRole);
    QCOMPARE(brush.isValid() ? brush.value<QBrush>().color().name() : QString(), QString::fromLatin1(expected.colour));
    QCOMPARE(model->index(row, ResultModel::UnitColumn).data().toString(), QString::fromLatin1(expected.unit));
    QCOMPARE(model->index(row, ResultModel::VersionColumn).data().toInt(),
             itemOf(expected.subitem) == QLatin1String("PT") ? 2 : 1);

    const QString tip = model->index(row, ResultModel::ResultColumn).data(Qt::ToolTipRole).toString();
    const AnalysisResult result = static_cast<const ResultModel *>(model)->result(row);
    if (!result.errorText().isEmpty())
        QVERIFY2(tip.contains(result.errorText()), qPrintable(tip));
    if (expected.flags & 0x10)
        QVERIFY2(tip.contains(QLatin1String("below the normal range")), qPrintable(tip));
    if (expected.flags & 0x1000)
        QVERIFY2(tip.contains(QLatin1String("manual test")), qPrintable(tip));
    if (QByteArray(expected.value).startsWith('\''))
        QVERIFY2(tip.contains(QLatin1String("E04")), qPrintable(tip));
}

void TestViewer::curveOfSelectedResult()
{
    QVERIFY(m_window->selectPatientRow(0));
    QVERIFY(m_window->selectResultRow(0));
    // The curve of the chosen version 2, in its two runs, not the one of version 1.
    CurvePlot *raw = m_window->intensityPlot();
    CurvePlot *od = m_window->densityPlot();
    QCOMPARE(raw->runs().size(), 2);
    QCOMPARE(raw->pointCount(), 190);
    QCOMPARE(raw->runs().at(1).first(), QPointF(20.0, m_ptCurve.y(150)));
    // Only the first run is converted; the second would be raw signal.
    QCOMPARE(od->runs().size(), 1);
    QCOMPARE(od->pointCount(), 150);
    QVERIFY2(m_window->curveInfo().contains(QLatin1String("first segment")), qPrintable(m_window->curveInfo()));
    QVERIFY2(m_window->curveInfo().contains(QLatin1String("channel 3")), qPrintable(m_window->curveInfo()));
    // Before the baseline window the density is 0; after the clot it rises.
    const ClotCurve converted = m_ptCurve.toType(ClotCurve::OpticalDensity);
    QCOMPARE(od->runs().at(0).at(10).y(), 0.0);
    QCOMPARE(od->runs().at(0).at(140).y(), converted.y(140));
    QVERIFY(od->runs().at(0).at(140).y() > 0.2);

    int aptt = -1, fib = -1;
    for (int i = 0; i < resultCount; ++i) {
        if (qstrcmp(storedResults[i].subitem, "APTT.T") == 0)
            aptt = i;
        if (qstrcmp(storedResults[i].subitem, "FIB.C") == 0)
            fib = i;
    }
    QVERIFY(m_window->selectResultRow(aptt));
    QCOMPARE(raw->pointCount(), 0);
    QCOMPARE(od->pointCount(), 60);
    QVERIFY2(m_window->curveInfo().contains(QLatin1String("optical density")), qPrintable(m_window->curveInfo()));

    QVERIFY(m_window->selectResultRow(fib));
    QCOMPARE(raw->pointCount(), 0);
    QCOMPARE(od->pointCount(), 0);
    QVERIFY2(m_window->curveInfo().contains(QLatin1String("No curve")), qPrintable(m_window->curveInfo()));

    // The second patient of today: its own result and curve.
    QVERIFY(m_window->selectPatientRow(1));
    QCOMPARE(m_window->resultModel()->rowCount(), 1);
    QCOMPARE(m_window->resultModel()->index(0, ResultModel::ResultColumn).data().toString(), QStringLiteral("17.2"));
    QCOMPARE(raw->pointCount(), 300);
    QVERIFY(!m_window->selectResultRow(1));

    // The third has no results at all.
    QVERIFY(m_window->selectPatientRow(2));
    QCOMPARE(m_window->resultModel()->rowCount(), 0);
    QCOMPARE(raw->pointCount(), 0);
    QVERIFY2(m_window->curveInfo().contains(QLatin1String("no chosen results")), qPrintable(m_window->curveInfo()));
}

void TestViewer::station()
{
    QCOMPARE(m_window->serialPorts(), Serial::EnumDevices());
    const QString numbering = m_window->sampleNumbering();
    // The patients were laid with the day's date: past midnight the
    // numbering rightly starts again.
    if (QDate::currentDate().toString(Qt::ISODate) != m_today)
        QSKIP("the day changed while the test ran");
    // Today's sample numbers are 1, 2 and 10, compared as numbers.
    QVERIFY2(numbering.startsWith(QStringLiteral("11 (%1)").arg(m_today)), qPrintable(numbering));
    QVERIFY2(numbering.contains(QLatin1String("statim E")), qPrintable(numbering));
    QVERIFY2(numbering.contains(QLatin1String("quality control QC")), qPrintable(numbering));
}

void TestViewer::editSettings()
{
    auto *settings = static_cast<SettingsModel *>(m_window->settingsModel());
    const QString profileDb = m_dir.filePath(QStringLiteral("profile.db"));
    QSignalSpy rejected(settings, &SettingsModel::settingRejected);

    // A key path is a branch of the tree.
    PropertyItem *number = settings->itemForKey(QStringLiteral("schedule/test/PT"));
    QVERIFY(number);
    QCOMPARE(number->parent()->name(), QStringLiteral("test"));
    const QString stored = Fixture::scalar(profileDb, QStringLiteral("select value from profile where name = 'schedule/test/PT'")).toString();
    QVERIFY(!stored.isEmpty());
    QCOMPARE(number->value().toString(), stored);
    QVERIFY(!settings->flags(settings->nameIndexFromItem(number->parent())).testFlag(Qt::ItemIsEditable));

    // A number stays a number.
    QVERIFY(settings->setData(number->valueIndex(), QStringLiteral("30"), Qt::EditRole));
    QCOMPARE(Fixture::scalar(profileDb, QStringLiteral("select value || ':' || typeof(value) from profile "
                                                       "where name = 'schedule/test/PT'")).toString(),
             QStringLiteral("30:integer"));
    QCOMPARE(Profile::instance().value(QStringLiteral("schedule/test/PT")).toInt(), 30);

    // Text that is not a number is refused; file, store and tree keep 30.
    QVERIFY(settings->setData(number->valueIndex(), QStringLiteral("thirty"), Qt::EditRole));
    QCOMPARE(rejected.count(), 1);
    QVERIFY(rejected.at(0).at(1).toString().contains(QLatin1String("thirty")));
    QCOMPARE(number->value().toString(), QStringLiteral("30"));
    QCOMPARE(Fixture::scalar(profileDb, QStringLiteral("select value from profile where name = 'schedule/test/PT'")).toInt(), 30);
    QCOMPARE(Profile::instance().value(QStringLiteral("schedule/test/PT")).toInt(), 30);

    // A colour shows its swatch.
    PropertyItem *colour = settings->itemForKey(QStringLiteral("color_of_null_result"));
    QVERIFY(colour);
    QCOMPARE(colour->data(Qt::DecorationRole).value<QColor>(), QColor(Qt::red));

    // A mark changes what the result list shows, without reloading it.
    QVERIFY(m_window->selectPatientRow(0));
    const QModelIndex inr = m_window->resultModel()->index(1, ResultModel::ResultColumn);
    QCOMPARE(inr.data().toString(), QString::fromUtf8("1.35 \u2191"));
    QSignalSpy changed(m_window->resultModel(), &QAbstractItemModel::dataChanged);
    PropertyItem *mark = settings->itemForKey(QStringLiteral("upper_mark_limit_flag"));
    QVERIFY(mark);
    QVERIFY(settings->setData(mark->valueIndex(), QStringLiteral("H"), Qt::EditRole));
    QVERIFY(changed.count() >= 1);
    QCOMPARE(inr.data().toString(), QStringLiteral("1.35 H"));
    QCOMPARE(Fixture::scalar(profileDb, QStringLiteral("select value from profile where name = 'upper_mark_limit_flag'")).toString(),
             QStringLiteral("H"));
    QCOMPARE(rejected.count(), 1);
}

QTEST_MAIN(TestViewer)
#include "tst_viewer.moc"
