#include "analysisresult.h"

#include <QDataStream>
#include <QtTest>

#include <cmath>
#include <limits>

using Values = QVector<double>;
Q_DECLARE_METATYPE(Values)
Q_DECLARE_METATYPE(QVector<Values>)

namespace {

Values range(int from, int to)
{
    Values v;
    for (int i = from; i < to; ++i)
        v.append(i);
    return v;
}

QVector<Values> valuesOf(const ClotCurve &curve)
{
    QVector<Values> out;
    for (const ClotCurve::Segment &s : curve.segments())
        out.append(s.values);
    return out;
}

// The blob as a plain QDataStream with its defaults writes it: an
// independent reference for the byte layout.
QByteArray streamed(const ClotCurve &curve)
{
    QByteArray blob;
    QDataStream out(&blob, QIODevice::WriteOnly);
    out << qint32(curve.type()) << quint32(curve.segments().size());
    for (const ClotCurve::Segment &s : curve.segments()) {
        out << s.start << s.step << quint32(s.values.size());
        for (double v : s.values)
            out << v;
    }
    return blob;
}

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

} // namespace

class tst_ClotCurve : public QObject
{
    Q_OBJECT

private slots:
    void pointLookup();
    void remove_data();
    void remove();
    void writesToACopyLeaveTheOriginal();
    void toOpticalDensity_data();
    void toOpticalDensity();
    void otherConversionsKeepTheCurve();
    void blobLayout();
    void blobRoundTrip();
    void badBlobs_data();
    void badBlobs();
};

void tst_ClotCurve::pointLookup()
{
    ClotCurve curve;
    QVERIFY(curve.isEmpty());
    QCOMPARE(curve.type(), ClotCurve::Intensity);
    curve.append(0.0, 0.1, range(0, 10));
    QCOMPARE(curve.size(), 10);
    QCOMPARE(curve.x(3), 0.0 + 3 * 0.1);
    QCOMPARE(curve.y(3), 3.0);
    QCOMPARE(curve.y(10), 0.0);
    QCOMPARE(curve.x(10), 0.0);

    // An empty run in between still counts as a segment but holds no point.
    curve.append(7.0, 0.5, Values());
    curve.append(20.0, 2.0, Values{100, 101});
    QVERIFY(!curve.isEmpty());
    QCOMPARE(curve.segments().size(), 3);
    QCOMPARE(curve.size(), 12);
    QCOMPARE(curve.x(10), 20.0);
    QCOMPARE(curve.y(10), 100.0);
    QCOMPARE(curve.x(11), 22.0);
    QCOMPARE(curve.y(11), 101.0);
    QCOMPARE(curve.y(12), 0.0);

    ClotCurve onlyEmpty;
    onlyEmpty.append(ClotCurve::Segment());
    QVERIFY(!onlyEmpty.isEmpty());
    QCOMPARE(onlyEmpty.size(), 0);
}

void tst_ClotCurve::remove_data()
{
    QTest::addColumn<QVector<Values>>("before");
    QTest::addColumn<int>("pos");
    QTest::addColumn<int>("count");
    QTest::addColumn<QVector<Values>>("after");

    const QVector<Values> twoRuns{range(0, 5), range(5, 8)};
    QTest::newRow("across the boundary") << twoRuns << 3 << 4
                                         << QVector<Values>{Values{0, 1, 2}, Values{7}};
    QTest::newRow("whole first run") << twoRuns << 0 << 5 << QVector<Values>{range(5, 8)};
    QTest::newRow("everything") << twoRuns << 0 << 8 << QVector<Values>();
    QTest::newRow("more than there is") << twoRuns << 2 << 100 << QVector<Values>{Values{0, 1}};
    QTest::newRow("past the end") << twoRuns << 20 << 1 << twoRuns;
    QTest::newRow("middle of a run") << twoRuns << 1 << 2
                                     << QVector<Values>{Values{0, 3, 4}, range(5, 8)};
    QTest::newRow("last of the first run") << twoRuns << 4 << 1
                                           << QVector<Values>{range(0, 4), range(5, 8)};
    QTest::newRow("inside the second run") << twoRuns << 6 << 1
                                           << QVector<Values>{range(0, 5), Values{5, 7}};
    QTest::newRow("over an empty run")
        << QVector<Values>{range(0, 5), Values(), range(5, 8)} << 3 << 4
        << QVector<Values>{Values{0, 1, 2}, Values(), Values{7}};
    QTest::newRow("a whole run then an empty one")
        << QVector<Values>{range(0, 5), Values(), range(5, 8)} << 0 << 6
        << QVector<Values>{Values(), Values{6, 7}};
}

void tst_ClotCurve::remove()
{
    QFETCH(QVector<Values>, before);
    QFETCH(int, pos);
    QFETCH(int, count);
    QFETCH(QVector<Values>, after);

    ClotCurve curve;
    for (int s = 0; s < before.size(); ++s)
        curve.append(10.0 * s, 1.0 + s, before.at(s));
    curve.remove(pos, count);
    QCOMPARE(valuesOf(curve), after);
    QCOMPARE(curve.isEmpty(), after.isEmpty());

    // Starts and steps stay with the runs that survive.
    for (const ClotCurve::Segment &s : curve.segments()) {
        const int index = int(s.start / 10.0);
        QCOMPARE(s.start, 10.0 * index);
        QCOMPARE(s.step, 1.0 + index);
    }
}

void tst_ClotCurve::writesToACopyLeaveTheOriginal()
{
    ClotCurve original;
    original.append(0.0, 0.1, range(0, 10));
    original.append(5.0, 0.1, range(10, 13));

    ClotCurve copy = original;
    QCOMPARE(copy, original);
    copy.remove(2, 9);
    QCOMPARE(copy.size(), 4);
    QCOMPARE(original.size(), 13);
    QCOMPARE(valuesOf(original), (QVector<Values>{range(0, 10), range(10, 13)}));

    ClotCurve typed = original;
    typed.setType(ClotCurve::OpticalDensity);
    QCOMPARE(original.type(), ClotCurve::Intensity);
    QCOMPARE(typed.segments(), original.segments());

    ClotCurve appended = original;
    appended.append(9.0, 1.0, Values{1});
    QCOMPARE(original.segments().size(), 2);
    QVERIFY(appended != original);

    // The segments handed out are copies too.
    QVector<ClotCurve::Segment> segments = original.segments();
    segments[0].values[0] = -1.0;
    QCOMPARE(original.y(0), 0.0);

    // Conversion works on a copy.
    ClotCurve flat;
    flat.append(0.0, 0.1, Values(100, 1000.0));
    const ClotCurve od = flat.toType(ClotCurve::OpticalDensity);
    QCOMPARE(od.type(), ClotCurve::OpticalDensity);
    QCOMPARE(flat.type(), ClotCurve::Intensity);
    QCOMPARE(flat.y(0), 1000.0);
}

void tst_ClotCurve::toOpticalDensity_data()
{
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("step");
    QTest::addColumn<Values>("signal");
    QTest::addColumn<Values>("expected");

    const double log2 = 0.30103;

    // Baseline over points 30..39 (x 3.0 to 3.9); zero up to point 34.
    QTest::newRow("flat") << 0.0 << 0.1 << Values(100, 1000.0) << Values(100, 0.0);

    Values halved(100, 1000.0), halvedOd(100, 0.0);
    for (int i = 50; i < 100; ++i) {
        halved[i] = 500.0;
        halvedOd[i] = log2;
    }
    QTest::newRow("halved from point 50") << 0.0 << 0.1 << halved << halvedOd;

    // Neighbours of the window that would move the baseline if it were
    // one point off; an early point that must be zeroed; a value above the
    // baseline gives a negative density.
    Values edges(100, 1000.0), edgesOd(100, 0.0);
    edges[29] = 1.0e6;
    edges[40] = 1.0e6;
    edgesOd[40] = -3.0;
    edges[10] = 1.0;
    QTest::newRow("window edges") << 0.0 << 0.1 << edges << edgesOd;

    // Points 34 and 35 inside the window: 34 is zeroed, 35 converted.
    Values half(100, 1000.0), halfOd(100, std::log10(820.0 / 1000.0));
    half[34] = 100.0;
    half[35] = 100.0;
    for (int i = 0; i < 35; ++i)
        halfOd[i] = 0.0;
    halfOd[35] = 0.913814;
    QTest::newRow("zeroed up to the window's middle") << 0.0 << 0.1 << half << halfOd;

    // No light at all, or nearly none, caps at 5.
    Values dark(100, 1000.0), darkOd(100, 0.0);
    dark[60] = 0.0;
    dark[61] = 1.0e-30;
    dark[62] = -5.0;
    darkOd[60] = darkOd[61] = darkOd[62] = 5.0;
    QTest::newRow("dark points") << 0.0 << 0.1 << dark << darkOd;

    QTest::newRow("starts after 3.0") << 5.0 << 0.5 << Values{100, 300, 200, 50}
                                      << Values{0.0, -0.17609, 0.0, 0.60206};

    Values shortRun = range(1, 21);
    QTest::newRow("ends before 3.0") << 0.0 << 0.1 << shortRun << Values(20, 0.0);

    // (3.0 - 1.875) / 0.25 = 4.5 rounds up: the window is points 5..8.
    Values halfStart(12, 1000.0), halfStartOd(12, 0.0);
    halfStart[4] = 10.0;
    halfStart[9] = 10.0;
    halfStartOd[9] = 2.0;
    QTest::newRow("window start half rounds up") << 1.875 << 0.25 << halfStart << halfStartOd;

    // 1 / 0.4 = 2.5 rounds up: three points wide.
    QTest::newRow("window width half rounds up")
        << 3.0 << 0.4 << Values{1000, 1000, 4000, 2000, 20}
        << Values{0.0, log2, -log2, 0.0, 2.0};

    QTest::newRow("one point") << 3.0 << 0.1 << Values{500} << Values{0.0};
    QTest::newRow("no points") << 0.0 << 0.1 << Values() << Values();
}

void tst_ClotCurve::toOpticalDensity()
{
    QFETCH(double, start);
    QFETCH(double, step);
    QFETCH(Values, signal);
    QFETCH(Values, expected);

    ClotCurve curve;
    curve.append(start, step, signal);
    curve.append(50.0, 1.0, Values{7.0, 0.0}); // carried over as it is

    const ClotCurve od = curve.toType(ClotCurve::OpticalDensity);
    QCOMPARE(od.type(), ClotCurve::OpticalDensity);
    const QVector<ClotCurve::Segment> segments = od.segments();
    QCOMPARE(segments.size(), 2);
    QCOMPARE(segments.at(0).start, start);
    QCOMPARE(segments.at(0).step, step);
    QCOMPARE(segments.at(1), curve.segments().at(1));

    const Values got = segments.at(0).values;
    QCOMPARE(got.size(), expected.size());
    for (int i = 0; i < got.size(); ++i) {
        if (std::fabs(got.at(i) - expected.at(i)) > 1e-5)
            QFAIL(qPrintable(QStringLiteral("point %1: %2, expected %3")
                                 .arg(i).arg(got.at(i), 0, 'g', 10).arg(expected.at(i))));
    }
}

void tst_ClotCurve::otherConversionsKeepTheCurve()
{
    ClotCurve od;
    od.setType(ClotCurve::OpticalDensity);
    od.append(0.0, 0.1, Values(50, 1000.0));
    QCOMPARE(od.toType(ClotCurve::Intensity), od);
    QCOMPARE(od.toType(ClotCurve::OpticalDensity), od);

    ClotCurve raw;
    raw.append(0.0, 0.1, Values(50, 1000.0));
    QCOMPARE(raw.toType(ClotCurve::Intensity), raw);
    QCOMPARE(raw.simplified(), raw);

    const ClotCurve empty = ClotCurve().toType(ClotCurve::OpticalDensity);
    QVERIFY(empty.isEmpty());
    QCOMPARE(empty.type(), ClotCurve::OpticalDensity);

    // Steps without meaning must not break the conversion.
    for (const double step : {0.0, -0.1, std::numeric_limits<double>::quiet_NaN()}) {
        ClotCurve odd;
        odd.append(0.0, step, Values(10, 1000.0));
        QCOMPARE(odd.toType(ClotCurve::OpticalDensity).size(), 10);
    }
}

void tst_ClotCurve::blobLayout()
{
    ClotCurve curve;
    curve.setType(ClotCurve::OpticalDensity);
    curve.append(0.0, 0.5, Values{1.0, 2.0});
    const QByteArray blob = curve.toBuffer();
    QCOMPARE(blob.size(), 44);
    QCOMPARE(blob.toHex(),
             QByteArray("00000001" "00000001"
                        "0000000000000000" "3fe0000000000000" "00000002"
                        "3ff0000000000000" "4000000000000000"));

    QCOMPARE(ClotCurve().toBuffer(), hex("0000000000000000"));
}

void tst_ClotCurve::blobRoundTrip()
{
    ClotCurve curve;
    curve.append(0.0, 0.1, range(0, 10));
    curve.append(2.5, -0.25, Values());
    curve.append(-1.0e300, 1.0e-300,
                 Values{-0.0, std::numeric_limits<double>::infinity(),
                        std::numeric_limits<double>::denorm_min(), 123.456});

    const QByteArray blob = curve.toBuffer();
    QCOMPARE(blob, streamed(curve));
    QCOMPARE(ClotCurve::fromBuffer(blob), curve);
    QCOMPARE(ClotCurve::fromBuffer(streamed(curve)), curve);

    // NaN payloads survive bit for bit.
    ClotCurve nan;
    nan.append(std::numeric_limits<double>::quiet_NaN(), 0.1,
               Values{std::numeric_limits<double>::quiet_NaN(), 1.0});
    QCOMPARE(ClotCurve::fromBuffer(nan.toBuffer()).toBuffer(), nan.toBuffer());

    // A type number this program does not know is kept as it was stored.
    const QByteArray unknownType = hex("fffffff9" "00000000");
    QCOMPARE(int(ClotCurve::fromBuffer(unknownType).type()), -7);
    QCOMPARE(ClotCurve::fromBuffer(unknownType).toBuffer(), unknownType);

    // Bytes after the last segment are not part of the curve.
    QCOMPARE(ClotCurve::fromBuffer(blob + hex("deadbeef")), curve);
}

void tst_ClotCurve::badBlobs_data()
{
    QTest::addColumn<QByteArray>("blob");
    QTest::addColumn<int>("type");
    QTest::addColumn<QVector<Values>>("values");
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("step");

    const QVector<Values> none;
    QTest::newRow("empty") << QByteArray() << 0 << none << 0.0 << 0.0;
    QTest::newRow("half a type") << hex("0000") << 0 << none << 0.0 << 0.0;
    QTest::newRow("type only") << hex("00000001") << 1 << none << 0.0 << 0.0;
    QTest::newRow("no segment after its count") << hex("00000000" "00000002") << 0 << none
                                                << 0.0 << 0.0;
    QTest::newRow("start cut off") << hex("00000000" "00000001" "3ff000")
                                   << 0 << QVector<Values>{Values()} << 0.0 << 0.0;
    QTest::newRow("step cut off") << hex("00000000" "00000001" "3ff0000000000000" "3fe0")
                                  << 0 << QVector<Values>{Values()} << 1.0 << 0.0;
    QTest::newRow("value count cut off")
        << hex("00000000" "00000001" "3ff0000000000000" "3fe0000000000000" "0000")
        << 0 << QVector<Values>{Values()} << 1.0 << 0.5;
    QTest::newRow("values missing")
        << hex("00000000" "00000001" "3ff0000000000000" "3fe0000000000000" "00000003"
               "4000000000000000" "4008000000000000")
        << 0 << QVector<Values>{Values{2.0, 3.0}} << 1.0 << 0.5;
    QTest::newRow("last value cut off")
        << hex("00000000" "00000001" "3ff0000000000000" "3fe0000000000000" "00000003"
               "4000000000000000" "40080000")
        << 0 << QVector<Values>{Values{2.0, 0.0}} << 1.0 << 0.5;
    // Four thousand million of each, announced in 20 bytes.
    QTest::newRow("hostile segment count")
        << hex("00000000" "ee6b2800" "3ff0000000000000" "3fe00000")
        << 0 << QVector<Values>{Values()} << 1.0 << 0.0;
    QTest::newRow("hostile value count with values")
        << hex("00000000" "00000001" "0000000000000000" "3fe0000000000000" "ee6b2800"
               "4000000000000000")
        << 0 << QVector<Values>{Values{2.0}} << 0.0 << 0.5;
    QTest::newRow("hostile counts, both")
        << hex("00000000" "ffffffff" "0000000000000000" "3fe0000000000000" "ffffffff")
        << 0 << QVector<Values>{Values()} << 0.0 << 0.5;
}

void tst_ClotCurve::badBlobs()
{
    QFETCH(QByteArray, blob);
    QFETCH(int, type);
    QFETCH(QVector<Values>, values);
    QFETCH(double, start);
    QFETCH(double, step);

    const ClotCurve curve = ClotCurve::fromBuffer(blob);
    QCOMPARE(int(curve.type()), type);
    QCOMPARE(valuesOf(curve), values);
    if (!values.isEmpty()) {
        QCOMPARE(curve.segments().at(0).start, start);
        QCOMPARE(curve.segments().at(0).step, step);
    }
    // What was read stores as a well-formed blob and reads back the same.
    QCOMPARE(ClotCurve::fromBuffer(curve.toBuffer()), curve);
}

QTEST_GUILESS_MAIN(tst_ClotCurve)
#include "tst_clotcurve.moc"
