#include "analysisresult.h"
#include "dbfixture.h"
#include "profile.h"

#include <QBrush>
#include <QDir>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include <cmath>
#include <functional>
#include <limits>
#include <thread>

using Writer = std::function<void(AnalysisResult &)>;
Q_DECLARE_METATYPE(Writer)
Q_DECLARE_METATYPE(AnalysisResult::ErrorCode)
Q_DECLARE_METATYPE(AnalysisResult::Format)

namespace {

const double notANumber = std::numeric_limits<double>::quiet_NaN();

// Every field a reader can see, for comparing two results as wholes.
QString fields(const AnalysisResult &r)
{
    return QStringLiteral("%1|%2|%3|%4|%5|%6|%7|%8|%9")
        .arg(r.id()).arg(r.value()).arg(r.od()).arg(r.flags()).arg(int(r.error()))
        .arg(r.errorText()).arg(r.ch()).arg(r.version()).arg(r.recordId())
        + QString::fromLatin1(r.curve().toBuffer().toHex());
}

ClotCurve someCurve()
{
    ClotCurve curve;
    curve.append(0.0, 0.1, QVector<double>{1000.0, 990.5, 870.25});
    curve.append(4.0, 0.2, QVector<double>{12.0, std::numeric_limits<double>::infinity()});
    return curve;
}

// A translator that knows a few texts, each under one context only.
class ContextTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char *,
                      int) const override
    {
        const QString key = QString::fromUtf8(context) + QLatin1Char('/')
                            + QString::fromUtf8(sourceText);
        static const QHash<QString, QString> texts{
            {QStringLiteral("Profile/不凝"), QStringLiteral("n.c.")},
            {QStringLiteral("Profile/↑"), QStringLiteral("H")},
            {QStringLiteral("Profile/M"), QStringLiteral("man")},
            {QStringLiteral("QObject/无标准曲线"), QStringLiteral("no standard curve")},
        };
        return texts.value(key);
    }
    bool isEmpty() const override { return false; }
};

QVariant brush(const QColor &color)
{
    return QVariant::fromValue(QBrush(color, Qt::SolidPattern));
}

} // namespace

class tst_AnalysisResult : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void defaults();
    void classification_data();
    void classification();
    void fromCode();
    void errorTextAndCode();
    void flags();
    void writesDetach_data();
    void writesDetach();

    void toString_data();
    void toString();
    void foregroundRole_data();
    void foregroundRole();
    void colourPrecedence_data();
    void colourPrecedence();
    void errorText_data();
    void errorText();
    void siteSettingsApplyAtOnce();
    void translatedInTheirContexts();

    void saveStoresAReadableRow();
    void saveReportsFailures();

private:
    QTemporaryDir m_dir;
};

void tst_AnalysisResult::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir::setCurrent(m_dir.path()));
    // A site locale with a decimal comma must not reach the result texts.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    // Rows another tool left: no value, and colours that do not parse. The
    // results they mark must still show their default colours, not black.
    QVERIFY(Fixture::runScript(QStringLiteral("profile.db"),
                               QStringLiteral("create table profile(name text unique, value);"
                                              "insert into profile values('color_of_upper_mark', NULL);"
                                              "insert into profile values('color_of_lower_mark', 'nonsense');"
                                              "insert into profile values('color_of_lower_report', '#12')")));
    QVERIFY(Fixture::runScript(
        QStringLiteral("data.db"),
        QStringLiteral("create table patient(id integer primary key, sampleNo, date);"
                       "create table curve(id integer primary key,"
                       " patientId integer references patient, item text,"
                       " version integer, curve blob)")));
    QVERIFY(Fixture::runScript(QStringLiteral("qc.db"), QStringLiteral("create table qc(id)")));
    QVERIFY(Fixture::runScript(QStringLiteral("syslog.db"),
                               QStringLiteral("create table syslog(id)")));
    QVERIFY(Profile::instance().dataDatabase().isOpen());
}

void tst_AnalysisResult::defaults()
{
    const AnalysisResult r;
    QVERIFY(r.isNull());
    QVERIFY(!r.isValid());
    QCOMPARE(r.error(), AnalysisResult::NullResult);
    QCOMPARE(r.value(), 0.0);
    QCOMPARE(double(r), 0.0);
    QCOMPARE(r.od(), 0.0);
    QCOMPARE(r.flags(), 0);
    QCOMPARE(r.id(), 0);
    QCOMPARE(r.ch(), 0);
    QCOMPARE(r.version(), 0);
    QCOMPARE(r.recordId(), 0);
    QVERIFY(!r.toVariant().isValid());
    QVERIFY(r.curve().isEmpty());
    QCOMPARE(r.curve().type(), ClotCurve::Intensity);
    QVERIFY(r.isCopyOf(AnalysisResult()));
}

void tst_AnalysisResult::classification_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<AnalysisResult::ErrorCode>("error");

    QTest::newRow("zero") << 0.0 << AnalysisResult::NullResult;
    QTest::newRow("1e-7") << 1e-7 << AnalysisResult::NullResult;
    QTest::newRow("-1e-7") << -1e-7 << AnalysisResult::NullResult;
    QTest::newRow("just below 2^-23") << std::nextafter(1.1920928955078125e-07, 0.0)
                                      << AnalysisResult::NullResult;
    QTest::newRow("2^-23 itself") << 1.1920928955078125e-07 << AnalysisResult::NoError;
    QTest::newRow("2e-7") << 2e-7 << AnalysisResult::NoError;
    QTest::newRow("999.9") << 999.9 << AnalysisResult::NotClotted;
    QTest::newRow("999.8995") << 999.8995 << AnalysisResult::NotClotted;
    QTest::newRow("999.902") << 999.902 << AnalysisResult::NoError;
    QTest::newRow("-999.9") << -999.9 << AnalysisResult::NoError;
    QTest::newRow("negative") << -5.0 << AnalysisResult::NoError;
    QTest::newRow("NaN") << notANumber << AnalysisResult::NoError;
}

void tst_AnalysisResult::classification()
{
    QFETCH(double, value);
    QFETCH(AnalysisResult::ErrorCode, error);

    const AnalysisResult constructed(value);
    AnalysisResult set(AnalysisResult::InvalidStandardCurve);
    set.setValue(value);
    for (const AnalysisResult &r : {constructed, set}) {
        QCOMPARE(r.error(), error);
        QCOMPARE(r.isValid(), error == AnalysisResult::NoError);
        QCOMPARE(r.isNull(), error == AnalysisResult::NullResult);
        QVERIFY(r.value() == value || (std::isnan(value) && std::isnan(r.value())));
        // The variant holds the number for valid and not-clotted results.
        const QVariant v = r.toVariant();
        QCOMPARE(v.isValid(), error != AnalysisResult::NullResult);
        if (v.isValid() && !std::isnan(value))
            QCOMPARE(v.toDouble(), value);
    }
}

void tst_AnalysisResult::fromCode()
{
    const AnalysisResult zero(AnalysisResult::NoError);
    QVERIFY(zero.isValid());
    QCOMPARE(zero.value(), 0.0);
    QCOMPARE(zero.toVariant(), QVariant(0.0));

    const AnalysisResult null(AnalysisResult::NullResult);
    QCOMPARE(fields(null), fields(AnalysisResult()));
    QVERIFY(!null.isCopyOf(AnalysisResult()));

    for (const auto code : {AnalysisResult::InvalidValue, AnalysisResult::NoStandardCurve,
                            AnalysisResult::MissingCalculationParameter}) {
        QCOMPARE(AnalysisResult(code).error(), code);
        QVERIFY(!AnalysisResult(code).toVariant().isValid());
    }
    QCOMPARE(AnalysisResult(AnalysisResult::NotClotted).toVariant(), QVariant(0.0));
}

void tst_AnalysisResult::errorTextAndCode()
{
    AnalysisResult r(12.5);
    r.setErrorText(QStringLiteral("cuvette missing"));
    QCOMPARE(r.error(), AnalysisResult::UnknownError);
    QCOMPARE(r.errorText(), QStringLiteral("cuvette missing"));
    QCOMPARE(r.value(), 12.5);

    // A new value reclassifies but keeps the text.
    r.setValue(5.0);
    QCOMPARE(r.error(), AnalysisResult::NoError);
    QCOMPARE(r.errorText(), QStringLiteral("cuvette missing"));

    r.setErrorText(QStringLiteral("again"));
    r.clearErrorText();
    QCOMPARE(r.error(), AnalysisResult::UnknownError);
    QCOMPARE(r.errorText(), QStringLiteral("未知错误"));

    r.setErrorText(QStringLiteral("lamp"));
    r.setError(AnalysisResult::NoStandardCurve);
    QCOMPARE(r.error(), AnalysisResult::NoStandardCurve);
    QCOMPARE(r.errorText(), QStringLiteral("无标准曲线"));
}

void tst_AnalysisResult::flags()
{
    AnalysisResult r(1.0);
    r.setFlags(0x7fff0000 | tam::DilutionFlag | tam::LowerMarkLimitFlag);
    r.setFlag(tam::UpperReportLimitFlag, true);
    QVERIFY(r.testFlag(tam::UpperReportLimitFlag));
    r.setFlag(tam::UpperReportLimitFlag, false);
    QCOMPARE(r.flags(), 0x7fff0000 | tam::DilutionFlag | tam::LowerMarkLimitFlag);
    QVERIFY(!r.testFlag(tam::UpperReportLimitFlag));
    QVERIFY(r.testFlag(tam::DilutionFlag));

    QVERIFY(!r.isManualTest());
    r.setManualTest(true);
    QVERIFY(r.isManualTest());
    QCOMPARE(r.flags() & 0x1000, 0x1000);
    r.setManualTest(false);
    QCOMPARE(r.flags(), 0x7fff0000 | tam::DilutionFlag | tam::LowerMarkLimitFlag);

    r.setFlags(-1);
    QVERIFY(r.testFlag(tam::ManualInputFlag));
    r.setFlag(tam::ManualInputFlag, false);
    QCOMPARE(r.flags(), ~0x8000);
}

void tst_AnalysisResult::writesDetach_data()
{
    QTest::addColumn<Writer>("write");

    QTest::newRow("setValue") << Writer([](AnalysisResult &r) { r.setValue(999.9); });
    QTest::newRow("setOD") << Writer([](AnalysisResult &r) { r.setOD(0.25); });
    QTest::newRow("setCurve") << Writer([](AnalysisResult &r) { r.setCurve(someCurve()); });
    QTest::newRow("setId") << Writer([](AnalysisResult &r) { r.setId(4); });
    QTest::newRow("setCh") << Writer([](AnalysisResult &r) { r.setCh(3); });
    QTest::newRow("setVersion") << Writer([](AnalysisResult &r) { r.setVersion(2); });
    QTest::newRow("setRecordId") << Writer([](AnalysisResult &r) { r.setRecordId(77); });
    QTest::newRow("setFlags") << Writer([](AnalysisResult &r) { r.setFlags(0x24); });
    QTest::newRow("setFlag") << Writer([](AnalysisResult &r) {
        r.setFlag(tam::DilutionFlag, true);
    });
    QTest::newRow("setManualTest") << Writer([](AnalysisResult &r) { r.setManualTest(true); });
    QTest::newRow("setError") << Writer([](AnalysisResult &r) {
        r.setError(AnalysisResult::InvalidValue);
    });
    QTest::newRow("setErrorText") << Writer([](AnalysisResult &r) {
        r.setErrorText(QStringLiteral("x"));
    });
}

void tst_AnalysisResult::writesDetach()
{
    QFETCH(Writer, write);

    // From a populated result ...
    AnalysisResult a(42.0);
    a.setCurve(ClotCurve());
    a.setCh(1);
    a.setErrorText(QStringLiteral("kept"));
    a.setValue(42.0);
    const QString before = fields(a);
    AnalysisResult b = a;
    QVERIFY(b.isCopyOf(a));
    write(b);
    QVERIFY(!b.isCopyOf(a));
    QVERIFY(fields(b) != before);
    QCOMPARE(fields(a), before);

    // ... and from the shared null record, which no write may change.
    AnalysisResult fromNull;
    write(fromNull);
    QVERIFY(!fromNull.isCopyOf(AnalysisResult()));
    QCOMPARE(fields(AnalysisResult()), fields(AnalysisResult(AnalysisResult::NullResult)));

    // Readers never detach.
    AnalysisResult c = a;
    (void)c.value(); (void)c.curve(); (void)c.toVariant(); (void)c.errorText();
    (void)c.toString(); (void)c.prefix(); (void)c.suffix(); (void)c.foregroundRole();
    QVERIFY(c.isCopyOf(a));
}

void tst_AnalysisResult::toString_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("flags");
    QTest::addColumn<AnalysisResult::ErrorCode>("error");
    QTest::addColumn<AnalysisResult::Format>("form");
    QTest::addColumn<char>("format");
    QTest::addColumn<int>("precision");
    QTest::addColumn<QString>("text");

    const auto ok = AnalysisResult::NoError;
    const auto withFlags = AnalysisResult::WithFlags;
    const auto valueOnly = AnalysisResult::ValueOnly;
    const int all = tam::ManualInputFlag | tam::DilutionFlag | tam::LowerReportLimitFlag
                    | tam::LowerMarkLimitFlag;

    QTest::newRow("plain") << 12.345 << 0 << ok << withFlags << 'f' << 1 << "12.3";
    QTest::newRow("negative precision") << 12.3456789 << 0 << ok << withFlags << 'f' << -1
                                        << "12.3457";
    QTest::newRow("every prefix mark") << 5.0 << all << ok << withFlags << 'f' << 1
                                       << "M!< 5.0 ↓";
    QTest::newRow("value only") << 5.0 << all << ok << valueOnly << 'f' << 1 << "5.0";
    QTest::newRow("unknown form is value only")
        << 5.0 << all << ok << AnalysisResult::Format(7) << 'f' << 1 << "5.0";
    QTest::newRow("upper mark") << 5.0 << int(tam::UpperMarkLimitFlag) << ok << withFlags << 'f'
                                << 2 << "5.00 ↑";
    QTest::newRow("both report limits") << 5.0
                                        << (tam::LowerReportLimitFlag | tam::UpperReportLimitFlag)
                                        << ok << withFlags << 'f' << 1 << "< 5.0";
    QTest::newRow("both marks") << 5.0 << (tam::LowerMarkLimitFlag | tam::UpperMarkLimitFlag)
                                << ok << withFlags << 'f' << 1 << "5.0 ↓";
    QTest::newRow("exponent, point separator") << 1234.5 << 0 << ok << withFlags << 'e' << 2
                                               << "1.23e+03";
    QTest::newRow("not clotted, marks not shown") << 999.9 << all << AnalysisResult::NotClotted
                                                  << withFlags << 'f' << 1 << "不凝";
    QTest::newRow("not clotted, value only") << 999.9 << 0 << AnalysisResult::NotClotted
                                             << valueOnly << 'f' << 1 << "不凝";
    QTest::newRow("null") << 0.0 << all << AnalysisResult::NullResult << withFlags << 'f' << 1
                          << "";
    QTest::newRow("null at 999.9") << 999.9 << 0 << AnalysisResult::NullResult << withFlags
                                   << 'f' << 1 << "不凝";
    QTest::newRow("no standard curve") << 12.0 << all << AnalysisResult::NoStandardCurve
                                       << withFlags << 'f' << 1 << "---.-";
    QTest::newRow("invalid value at 999.9") << 999.9 << 0 << AnalysisResult::InvalidValue
                                            << withFlags << 'f' << 1 << "不凝";
    QTest::newRow("unknown code") << 1.0 << 0 << AnalysisResult::ErrorCode(42) << withFlags
                                  << 'f' << 1 << "---.-";
}

void tst_AnalysisResult::toString()
{
    QFETCH(double, value);
    QFETCH(int, flags);
    QFETCH(AnalysisResult::ErrorCode, error);
    QFETCH(AnalysisResult::Format, form);
    QFETCH(char, format);
    QFETCH(int, precision);
    QFETCH(QString, text);

    AnalysisResult r(error);
    r.setValue(value);
    r.setError(error);
    r.setFlags(flags);
    QCOMPARE(r.toString(form, format, precision), text);
}

void tst_AnalysisResult::foregroundRole_data()
{
    QTest::addColumn<int>("flags");
    QTest::addColumn<AnalysisResult::ErrorCode>("error");
    QTest::addColumn<QVariant>("role");

    const QColor red(Qt::red);
    const QColor orange(255, 170, 0);
    const auto ok = AnalysisResult::NoError;

    QTest::newRow("valid, no flags") << 0 << ok << QVariant();
    QTest::newRow("prefix-only flags") << (tam::DilutionFlag | tam::ManualInputFlag) << ok
                                       << QVariant();
    QTest::newRow("null") << 0 << AnalysisResult::NullResult << brush(red);
    QTest::newRow("lower mark, stored colour unparsable") << int(tam::LowerMarkLimitFlag) << ok
                                                          << brush(orange);
    QTest::newRow("upper mark, stored NULL") << int(tam::UpperMarkLimitFlag) << ok << brush(orange);
    QTest::newRow("lower report, stored colour unparsable") << int(tam::LowerReportLimitFlag) << ok
                                                            << brush(red);
}

void tst_AnalysisResult::foregroundRole()
{
    QFETCH(int, flags);
    QFETCH(AnalysisResult::ErrorCode, error);
    QFETCH(QVariant, role);

    AnalysisResult r(error);
    r.setFlags(flags);
    QCOMPARE(r.foregroundRole(), role);
    if (role.isValid())
        QCOMPARE(r.foregroundRole().value<QBrush>().style(), Qt::SolidPattern);
}

void tst_AnalysisResult::colourPrecedence_data()
{
    QTest::addColumn<int>("flags");
    QTest::addColumn<AnalysisResult::ErrorCode>("error");
    QTest::addColumn<QString>("key");

    const auto ok = AnalysisResult::NoError;
    const int lowerReport = tam::LowerReportLimitFlag, upperReport = tam::UpperReportLimitFlag;
    const int lowerMark = tam::LowerMarkLimitFlag, upperMark = tam::UpperMarkLimitFlag;
    const int every = lowerReport | upperReport | lowerMark | upperMark;

    QTest::newRow("error over every flag") << every << AnalysisResult::NotClotted
                                           << "color_of_null_result";
    QTest::newRow("upper report first") << every << ok << "color_of_upper_report";
    QTest::newRow("lower report over marks") << (lowerReport | lowerMark | upperMark) << ok
                                             << "color_of_lower_report";
    QTest::newRow("upper mark over lower") << (lowerMark | upperMark) << ok
                                           << "color_of_upper_mark";
    QTest::newRow("lower mark") << lowerMark << ok << "color_of_lower_mark";
}

void tst_AnalysisResult::colourPrecedence()
{
    QFETCH(int, flags);
    QFETCH(AnalysisResult::ErrorCode, error);
    QFETCH(QString, key);

    // A colour of its own for each rule, so the rule that won shows.
    const QStringList keys{QStringLiteral("color_of_null_result"),
                           QStringLiteral("color_of_upper_report"),
                           QStringLiteral("color_of_lower_report"),
                           QStringLiteral("color_of_upper_mark"),
                           QStringLiteral("color_of_lower_mark")};
    Profile &profile = Profile::instance();
    for (int i = 0; i < keys.size(); ++i)
        profile.setValue(keys.at(i), QColor(10 * (i + 1), 0, 0), false);

    AnalysisResult r(error);
    r.setFlags(flags);
    const QVariant role = r.foregroundRole();
    for (const QString &k : keys)
        profile.setValue(k, QVariant(), false);
    QCOMPARE(role, brush(QColor(10 * (keys.indexOf(key) + 1), 0, 0)));
}

void tst_AnalysisResult::errorText_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");

    QTest::newRow("0") << 0 << "";
    QTest::newRow("1") << 1 << "无效的值";
    QTest::newRow("4") << 4 << "无标准曲线";
    QTest::newRow("8") << 8 << "计算所需的参数不存在";
    QTest::newRow("9") << 9 << "";
    QTest::newRow("-1") << -1 << "";
}

void tst_AnalysisResult::errorText()
{
    QFETCH(int, code);
    QFETCH(QString, text);

    AnalysisResult r{AnalysisResult::ErrorCode(code)};
    QCOMPARE(r.errorText(), text);
    // A stored text wins over every code, and the display stays the placeholder.
    r.setErrorText(QStringLiteral("reagent expired"));
    r.setError(AnalysisResult::ErrorCode(code));
    QCOMPARE(r.errorText(), text);
    r.setErrorText(QStringLiteral("reagent expired"));
    QCOMPARE(r.errorText(), QStringLiteral("reagent expired"));
    QCOMPARE(r.toString(AnalysisResult::WithFlags, 'f', 1), QStringLiteral("---.-"));
}

void tst_AnalysisResult::siteSettingsApplyAtOnce()
{
    Profile &profile = Profile::instance();
    AnalysisResult r(5.0);
    r.setFlags(tam::ManualInputFlag | tam::UpperReportLimitFlag | tam::UpperMarkLimitFlag);
    QCOMPARE(r.toString(AnalysisResult::WithFlags, 'f', 1), QStringLiteral("M> 5.0 ↑"));
    QCOMPARE(r.foregroundRole(), brush(Qt::red));

    profile.set_manual_input_flag(QStringLiteral("[m]"));
    profile.set_upper_mark_limit_flag(QStringLiteral("HH"));
    profile.set_color_of_upper_report(QColor(0, 0, 255));
    QCOMPARE(r.toString(AnalysisResult::WithFlags, 'f', 1), QStringLiteral("[m]> 5.0 HH"));
    QCOMPARE(r.foregroundRole(), brush(QColor(0, 0, 255)));

    AnalysisResult notClotted(999.9);
    profile.set_result_not_clotted(QStringLiteral("NC"));
    profile.set_color_of_null_result(QColor(10, 20, 30));
    QCOMPARE(notClotted.toString(), QStringLiteral("NC"));
    QCOMPARE(notClotted.foregroundRole(), brush(QColor(10, 20, 30)));

    // Written through to the store, as a site would have set it.
    QCOMPARE(Fixture::scalar(QStringLiteral("profile.db"),
                             QStringLiteral("select value from profile where name = "
                                            "'upper_mark_limit_flag'")),
             QVariant(QStringLiteral("HH")));

    for (const char *key : {"manual_input_flag", "upper_mark_limit_flag",
                            "color_of_upper_report", "result_not_clotted",
                            "color_of_null_result"})
        profile.remove(QString::fromLatin1(key));
    QCOMPARE(r.toString(AnalysisResult::WithFlags, 'f', 1), QStringLiteral("M> 5.0 ↑"));
    QCOMPARE(notClotted.toString(), QStringLiteral("不凝"));
    QCOMPARE(notClotted.foregroundRole(), brush(Qt::red));
}

void tst_AnalysisResult::translatedInTheirContexts()
{
    ContextTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));

    AnalysisResult r(5.0);
    r.setFlags(tam::ManualInputFlag | tam::UpperMarkLimitFlag);
    QCOMPARE(r.toString(AnalysisResult::WithFlags, 'f', 1), QStringLiteral("man 5.0 H"));
    QCOMPARE(AnalysisResult(999.9).toString(), QStringLiteral("n.c."));
    QCOMPARE(AnalysisResult(AnalysisResult::NoStandardCurve).errorText(),
             QStringLiteral("no standard curve"));
    // Texts without a translation stay as they are.
    QCOMPARE(AnalysisResult(AnalysisResult::InvalidValue).errorText(), QStringLiteral("无效的值"));

    QVERIFY(QCoreApplication::removeTranslator(&translator));
}

void tst_AnalysisResult::saveStoresAReadableRow()
{
    const QString data = QStringLiteral("data.db");
    AnalysisResult r(12.3);
    r.setCurve(someCurve());
    r.setVersion(2);

    r.curve().save(7, QStringLiteral("APTT"), r.version());
    // From a worker, on a connection of its own: the row is there as well.
    std::thread([&r] { r.curve().save(7, QStringLiteral("APTT"), r.version()); }).join();
    ClotCurve().save(8, QStringLiteral("PT"), 1);

    QCOMPARE(Fixture::rows(data, QStringLiteral("select patientId, item, version from curve "
                                                "order by id")),
             (QStringList{QStringLiteral("7|APTT|2"), QStringLiteral("7|APTT|2")}));
    const QVariant blob = Fixture::scalar(data, QStringLiteral("select curve from curve "
                                                               "order by id desc limit 1"));
    QCOMPARE(blob.toByteArray(), someCurve().toBuffer());
    QCOMPARE(ClotCurve::fromBuffer(blob.toByteArray()), someCurve());
    QCOMPARE(Fixture::scalar(data, QStringLiteral("select typeof(curve) from curve limit 1")),
             QVariant(QStringLiteral("blob")));
    QVERIFY(Fixture::runScript(data, QStringLiteral("delete from curve")));
}

void tst_AnalysisResult::saveReportsFailures()
{
    const QString data = QStringLiteral("data.db");

    // The insert itself refused: only the execution is reported.
    QVERIFY(Fixture::runScript(data, QStringLiteral(
        "create trigger refuse before insert on curve begin select raise(abort, 'full'); end")));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^\\.\\\\analysisresult\\(103\\): .*full")));
    someCurve().save(1, QStringLiteral("PT"), 1);
    QVERIFY(Fixture::runScript(data, QStringLiteral("drop trigger refuse")));

    // No table: preparation fails, and so does the execution that follows.
    QVERIFY(Fixture::runScript(data, QStringLiteral("alter table curve rename to kept")));
    // Let the library's connection notice the change of schema before it prepares.
    QSqlQuery look(Profile::instance().dataDatabase());
    QVERIFY(look.exec(QStringLiteral("select count(*) from sqlite_master")));
    look.finish();
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^\\.\\\\analysisresult\\(91\\): .*curve")));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^\\.\\\\analysisresult\\(103\\): ")));
    someCurve().save(1, QStringLiteral("PT"), 1);
    // An empty curve runs no statement, so nothing fails.
    ClotCurve().save(1, QStringLiteral("PT"), 1);
    QVERIFY(Fixture::runScript(data, QStringLiteral("alter table kept rename to curve")));
    QCOMPARE(Fixture::scalar(data, QStringLiteral("select count(*) from curve")), QVariant(0));
}

// No GUI application: results and their colours need none, and Qt's platform
// plugin would leave its screen behind for the leak checker.
QTEST_GUILESS_MAIN(tst_AnalysisResult)
#include "tst_analysisresult.moc"
