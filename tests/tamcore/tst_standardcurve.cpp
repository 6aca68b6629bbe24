#include "assaytemplate.h"
#include "standardcurve.h"

#include <QtTest>

#include <cmath>
#include <limits>
#include <memory>

using Values = QVector<double>;
Q_DECLARE_METATYPE(tam::Function)

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double e = std::exp(1.0);

std::unique_ptr<StandardCurve> fitted(int method, tam::Function xFun, tam::Function yFun,
                                      const Values &xs, const Values &ys)
{
    auto curve = std::make_unique<StandardCurve>(nullptr);
    curve->setMethod(static_cast<tam::RegressionMethod>(method));
    curve->setXFun(xFun);
    curve->setYFun(yFun);
    QVector<StdPoint> points;
    for (int i = 0; i < xs.size(); ++i) {
        StdPoint p;
        p.setX(xs.at(i));
        p.setY(ys.at(i));
        points.append(p);
    }
    curve->setPoints(points);
    curve->update();
    return curve;
}

bool same(double actual, double expected, double tolerance = 1e-9)
{
    if (std::isnan(expected))
        return std::isnan(actual);
    return std::abs(actual - expected) <= tolerance * std::max(1.0, std::abs(expected));
}

// y = 10^(1.3 - 0.65 log10 x): a straight line on log-log axes.
double logLog(double x)
{
    return std::pow(10.0, 1.3 - 0.65 * std::log10(x));
}

} // namespace

class tst_StandardCurve : public QObject
{
    Q_OBJECT
private slots:
    void exactData_data();
    void exactData();
    void correlationOfScatteredPoints();
    void validity_data();
    void validity();
    void zAndFlags_data();
    void zAndFlags();
    void storedValuesUntilUpdate();
    void displayFunctions_data();
    void displayFunctions();
};

void tst_StandardCurve::exactData_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<tam::Function>("xFun");
    QTest::addColumn<tam::Function>("yFun");
    QTest::addColumn<Values>("xs");
    QTest::addColumn<Values>("ys");
    QTest::addColumn<Values>("coefficients");

    const auto Lin = tam::Function::Linear;
    const Values xs = {1, 2, 4, 8, 16};
    Values ys;
    for (double x : xs)
        ys << logLog(x);
    QTest::newRow("linear, log-log") << 0 << tam::Function::Log << tam::Function::Log << xs << ys
                                     << Values{1.3, -0.65};
    QTest::newRow("linear, ln-linear")
        << 0 << tam::Function::Ln << Lin << Values{1, 2, 3, 5}
        << Values{2.0, 2 + 3 * std::log(2.0), 2 + 3 * std::log(3.0), 2 + 3 * std::log(5.0)}
        << Values{2, 3};
    QTest::newRow("quadratic") << 1 << Lin << Lin << Values{0, 1, 2, 3, 4, 5}
                               << Values{1, 3.5, 7, 11.5, 17, 23.5} << Values{1, 2, 0.5};
    Values cubic;
    for (double x = 0; x <= 6; ++x)
        cubic << 1 + x - 0.5 * x * x + 0.2 * x * x * x;
    QTest::newRow("cubic") << 2 << Lin << Lin << Values{0, 1, 2, 3, 4, 5, 6} << cubic
                           << Values{1, 1, -0.5, 0.2};
    // Points out of order: the interpolations sort them, point(j) keeps them.
    QTest::newRow("point to point") << 3 << Lin << tam::Function::Log << Values{8, 1, 4, 2}
                                    << Values{40, 5, 22, 12} << Values{};
    QTest::newRow("spline") << 4 << tam::Function::Log << Lin << Values{8, 1, 4, 2}
                            << Values{40, 5, 22, 12} << Values{};
}

void tst_StandardCurve::exactData()
{
    QFETCH(int, method);
    QFETCH(tam::Function, xFun);
    QFETCH(tam::Function, yFun);
    QFETCH(Values, xs);
    QFETCH(Values, ys);
    QFETCH(Values, coefficients);

    const auto curve = fitted(method, xFun, yFun, xs, ys);
    QVERIFY(curve->isValid());
    QCOMPARE(curve->coefficientCount(), coefficients.size());
    for (int i = 0; i < coefficients.size(); ++i)
        QVERIFY2(same(curve->coefficient(i), coefficients.at(i)),
                 qPrintable(QString::number(curve->coefficient(i), 'g', 17)));
    QVERIFY(std::isnan(curve->coefficient(coefficients.size())));
    QVERIFY(same(curve->correlation(), 1.0, 1e-12));
    for (int j = 0; j < xs.size(); ++j) {
        QVERIFY2(same(curve->point(j).z(), xs.at(j)), qPrintable(QString::number(j)));
        QCOMPARE(curve->point(j).flags(), 0);
    }
}

void tst_StandardCurve::correlationOfScatteredPoints()
{
    // Least squares through (1,1), (2,3), (3,2) is y = 1 + 0.5x with r = 0.5.
    const auto curve = fitted(0, tam::Function::Linear, tam::Function::Linear, {1, 2, 3}, {1, 3, 2});
    QVERIFY(same(curve->coefficient(0), 1.0));
    QVERIFY(same(curve->coefficient(1), 0.5));
    QVERIFY(same(curve->correlation(), 0.5));
    QVERIFY(!curve->isValid());
    // z is computed all the same: y back through the line.
    const Values z = {0, 4, 2};
    for (int j = 0; j < 3; ++j) {
        QVERIFY(same(curve->point(j).z(), z.at(j)));
        QCOMPARE(curve->point(j).flags(), 1);
    }
}

void tst_StandardCurve::validity_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<tam::Function>("xFun");
    QTest::addColumn<Values>("xs");
    QTest::addColumn<Values>("ys");
    QTest::addColumn<bool>("valid");

    const auto Lin = tam::Function::Linear;
    QTest::newRow("linear, two points") << 0 << Lin << Values{1, 2} << Values{3, 5} << true;
    QTest::newRow("linear, one point") << 0 << Lin << Values{1} << Values{3} << false;
    QTest::newRow("linear, two points at one x") << 0 << Lin << Values{1, 1} << Values{3, 5} << false;
    QTest::newRow("linear, no points") << 0 << Lin << Values{} << Values{} << false;
    QTest::newRow("linear, r 0.983") << 0 << Lin << Values{1, 2, 3, 4, 5}
                                     << Values{1, 2.35, 2.65, 4.35, 5} << true;
    QTest::newRow("linear, r 0.978") << 0 << Lin << Values{1, 2, 3, 4, 5}
                                     << Values{1, 2.4, 2.6, 4.4, 5} << false;
    QTest::newRow("linear, flat") << 0 << Lin << Values{1, 2, 3} << Values{4, 4, 4} << false;
    QTest::newRow("quadratic, three points") << 1 << Lin << Values{1, 2, 3} << Values{1, 3, 2} << true;
    QTest::newRow("quadratic, two distinct x") << 1 << Lin << Values{1, 2, 2} << Values{1, 3, 2} << false;
    QTest::newRow("cubic, four distinct x") << 2 << Lin << Values{0, 1, 2, 3} << Values{1, 2, 5, 12} << true;
    QTest::newRow("cubic, three distinct x") << 2 << Lin << Values{0, 1, 1, 2} << Values{1, 2, 2, 5} << false;
    QTest::newRow("quadratic, overflowing") << 1 << Lin << Values{1e200, 2e200, 3e200}
                                            << Values{1, 2, 4} << false;
    QTest::newRow("log x, one point left") << 0 << tam::Function::Log << Values{0, -1, 5}
                                           << Values{1, 2, 3} << false;
    QTest::newRow("point to point, two points") << 3 << Lin << Values{1, 2} << Values{5, 3} << true;
    QTest::newRow("point to point, one x") << 3 << Lin << Values{2, 2} << Values{5, 3} << false;
    QTest::newRow("spline, two points") << 4 << Lin << Values{1, 2} << Values{5, 3} << true;
    QTest::newRow("spline, no points") << 4 << Lin << Values{} << Values{} << false;
    QTest::newRow("unknown method") << 9 << Lin << Values{1, 2, 3} << Values{1, 2, 3} << false;
    QTest::newRow("negative method") << -1 << Lin << Values{1, 2, 3} << Values{1, 2, 3} << false;
    QTest::newRow("unknown axis function") << 0 << static_cast<tam::Function>(7) << Values{1, 2, 3}
                                           << Values{1, 2, 3} << false;
}

void tst_StandardCurve::validity()
{
    QFETCH(int, method);
    QFETCH(tam::Function, xFun);
    QFETCH(Values, xs);
    QFETCH(Values, ys);
    QFETCH(bool, valid);

    const auto curve = fitted(method, xFun, tam::Function::Linear, xs, ys);
    QCOMPARE(curve->isValid(), valid);
}

void tst_StandardCurve::zAndFlags_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<tam::Function>("xFun");
    QTest::addColumn<tam::Function>("yFun");
    QTest::addColumn<Values>("xs");
    QTest::addColumn<Values>("ys");
    QTest::addColumn<Values>("zs");
    QTest::addColumn<QVector<int>>("flags");

    const auto Lin = tam::Function::Linear;
    const auto Log = tam::Function::Log;
    const auto Ln = tam::Function::Ln;
    // The line is y = x; 8 and 12 are 20 % off 10, 19 and 21 5 % off 20.
    QTest::newRow("linear, 10 % of x") << 0 << Lin << Lin << Values{10, 10, 20, 20}
                                       << Values{8, 12, 19, 21} << Values{8, 12, 19, 21}
                                       << QVector<int>{1, 1, 0, 0};
    // x 0 and y 0 or below have no logarithm: left out of the fit, flagged;
    // a finite y is still read back through the curve.
    QTest::newRow("log-log, values of 0 and below")
        << 0 << Log << Log << Values{1, 2, 4, 8, 0, 4, 4}
        << Values{logLog(1), logLog(2), logLog(4), logLog(8), logLog(0.5), -1, 0}
        << Values{1, 2, 4, 8, 0.5, NaN, NaN} << QVector<int>{0, 0, 0, 0, 1, 1, 1};
    // Between the knots on the X = ln x axis, and straight on beyond them.
    QTest::newRow("point to point, ln x") << 3 << Ln << Lin << Values{1, e, e * e, 0, -1, -5}
                                          << Values{10, 20, 40, 15, 30, 50}
                                          << Values{1, e, e * e, std::sqrt(e), std::pow(e, 1.5), std::pow(e, 2.5)}
                                          << QVector<int>{0, 0, 0, 1, 1, 1};
    // The natural spline through (0,0), (1,1), (2,4) is 0.5X^3 + 0.5X on [0,1].
    QTest::newRow("spline, ln x") << 4 << Ln << Lin << Values{e * e, 1, e, 0} << Values{4, 0, 1, 0.3125}
                                  << Values{e * e, 1, e, std::sqrt(e)} << QVector<int>{0, 0, 0, 1};
    // Replicates at x 2 make one knot at their mean.
    QTest::newRow("point to point, replicates") << 3 << Lin << Lin << Values{3, 1, 2, 2}
                                                << Values{3, 1, 1.9, 2.1} << Values{3, 1, 1.9, 2.1}
                                                << QVector<int>{0, 0, 0, 0};
    // y = (x - 3)^2 + 1 turns at 3: y 5 is reached at 1 and 5, only 5 in range;
    // y 1 is the double root at the turn.
    QTest::newRow("quadratic, root in range") << 1 << Lin << Lin << Values{3, 4, 5, 6, 7}
                                              << Values{1, 2, 5, 10, 17} << Values{3, 4, 5, 6, 7}
                                              << QVector<int>{0, 0, 0, 0, 0};
    QTest::newRow("no fit") << 0 << Lin << Lin << Values{1} << Values{1} << Values{NaN}
                            << QVector<int>{1};
}

void tst_StandardCurve::zAndFlags()
{
    QFETCH(int, method);
    QFETCH(tam::Function, xFun);
    QFETCH(tam::Function, yFun);
    QFETCH(Values, xs);
    QFETCH(Values, ys);
    QFETCH(Values, zs);
    QFETCH(QVector<int>, flags);

    const auto curve = fitted(method, xFun, yFun, xs, ys);
    for (int j = 0; j < xs.size(); ++j) {
        const QByteArray where = "point " + QByteArray::number(j) + ": z "
                                 + QByteArray::number(curve->point(j).z(), 'g', 17);
        QVERIFY2(same(curve->point(j).z(), zs.at(j)), where.constData());
        QVERIFY2(curve->point(j).flags() == flags.at(j), where.constData());
    }
}

void tst_StandardCurve::storedValuesUntilUpdate()
{
    // Until update() the curve answers with what it was given.
    StandardCurve curve(nullptr);
    QVERIFY(!curve.isValid());
    curve.setCoefficient({1, 2, 3, 4, 5});
    curve.setValid(true);
    StdPoint p;
    p.setX(1);
    p.setY(2);
    p.setZ(3);
    p.setFlags(4);
    curve.setPoints({p});
    QVERIFY(curve.isValid());
    QCOMPARE(curve.coefficient(4), 5.0);
    QCOMPARE(curve.point(0).z(), 3.0);
    QCOMPARE(curve.point(0).flags(), 4);
    QCOMPARE(curve.point(1).flags(), 0); // out of range: a default point

    // Then with its own verdict: one point fits no line.
    curve.update();
    QVERIFY(!curve.isValid());
    QVERIFY(std::isnan(curve.coefficient(0)));
    QVERIFY(std::isnan(curve.coefficient(2)));

    const int counts[] = {2, 3, 4, 0, 0};
    for (int method = 0; method < 5; ++method) {
        curve.setMethod(static_cast<tam::RegressionMethod>(method));
        QCOMPARE(curve.coefficientCount(), counts[method]);
    }
}

void tst_StandardCurve::displayFunctions_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<tam::Function>("function");
    QTest::newRow("Log") << "Log" << tam::Function::Log;
    QTest::newRow("LOG") << "LOG" << tam::Function::Log;
    QTest::newRow("Ln") << "Ln" << tam::Function::Ln;
    QTest::newRow("ln") << "ln" << tam::Function::Ln;
    QTest::newRow("Linear") << "Linear" << tam::Function::Linear;
    QTest::newRow("empty") << "" << tam::Function::Linear;
    QTest::newRow("Logarithm") << "Logarithm" << tam::Function::Linear;
}

void tst_StandardCurve::displayFunctions()
{
    QFETCH(QString, text);
    QFETCH(tam::Function, function);
    AssayTemplate::Calibration calibration;
    calibration.dispX = text;
    QCOMPARE(calibration.dispFunX(), function);
    QCOMPARE(calibration.dispFunY(), tam::Function::Linear);
    calibration.dispY = text;
    QCOMPARE(calibration.dispFunY(), function);
}

QTEST_APPLESS_MAIN(tst_StandardCurve)
#include "tst_standardcurve.moc"
