#include "standardcurve.h"

#include <QDate>

#include <Eigen/Dense>
#include <unsupported/Eigen/Polynomials>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Infinity = std::numeric_limits<double>::infinity();

// A regression that explains less than this of its points is no calibration.
const double minimumCorrelation = 0.98;
// A point whose back-calculated concentration is further than this fraction
// of its own concentration from it does not fit the curve.
const double pointTolerance = 0.10;

int coefficientCountOf(tam::RegressionMethod method)
{
    switch (method) {
    case tam::RegressionMethod::Linear: return 2;
    case tam::RegressionMethod::Quadratic: return 3;
    case tam::RegressionMethod::Cubic: return 4;
    case tam::RegressionMethod::PointToPoint:
    case tam::RegressionMethod::Spline:
        return 0;
    }
    return 0;
}

bool isInterpolation(tam::RegressionMethod method)
{
    return method == tam::RegressionMethod::PointToPoint || method == tam::RegressionMethod::Spline;
}

// NaN for what the function does not cover, and for a function this library
// does not know: such points cannot be placed on the axes at all.
double transform(tam::Function function, double v)
{
    switch (function) {
    case tam::Function::Linear: return v;
    case tam::Function::Log: return v > 0.0 ? std::log10(v) : NaN;
    case tam::Function::Ln: return v > 0.0 ? std::log(v) : NaN;
    }
    return NaN;
}

double untransform(tam::Function function, double v)
{
    switch (function) {
    case tam::Function::Linear: return v;
    case tam::Function::Log: return std::pow(10.0, v);
    case tam::Function::Ln: return std::exp(v);
    }
    return NaN;
}

// c[p] is the coefficient of t^p.
double evaluate(const std::vector<double> &c, double t)
{
    double v = 0.0;
    for (auto p = c.size(); p-- > 0;)
        v = v * t + c[p];
    return v;
}

double derivative(const std::vector<double> &c, double t)
{
    double v = 0.0;
    for (auto p = c.size(); p-- > 1;)
        v = v * t + double(p) * c[p];
    return v;
}

// The real roots of the polynomial c, each polished by Newton steps on c
// itself: a nearly vanishing leading coefficient (a quadratic fitted to
// straight data) leaves the companion-matrix roots imprecise.
std::vector<double> realRoots(std::vector<double> c)
{
    while (!c.empty() && c.back() == 0.0)
        c.pop_back();
    std::vector<double> roots;
    if (c.size() < 2)
        return roots; // a constant: no root, or every X at once, which names no value
    if (c.size() == 2) {
        roots.push_back(-c[0] / c[1]);
        return roots;
    }
    const Eigen::Map<const Eigen::VectorXd> poly(c.data(), Eigen::Index(c.size()));
    const Eigen::PolynomialSolver<double, Eigen::Dynamic> solver(poly);
    for (const auto &root : solver.roots()) {
        // A double root comes back with an imaginary part of about sqrt(eps).
        if (std::abs(root.imag()) > 1e-7 * std::max(1.0, std::abs(root.real())))
            continue;
        double t = root.real();
        for (int i = 0; i < 3; ++i) {
            const double slope = derivative(c, t);
            if (slope == 0.0)
                break;
            const double next = t - evaluate(c, t) / slope;
            if (!std::isfinite(next))
                break;
            t = next;
        }
        roots.push_back(t);
    }
    return roots;
}

// A polynomial in (X - origin) that holds for X in [from, to].
struct Piece
{
    double from;
    double to;
    double origin;
    std::vector<double> c;
};

// The fitted curve on the transformed axes, Y = m(X): consecutive pieces
// that together cover every X. Empty when there is no fit.
struct Model
{
    std::vector<Piece> pieces;

    bool isEmpty() const { return pieces.empty(); }

    double value(double X) const
    {
        for (const Piece &piece : pieces) {
            if (X <= piece.to)
                return evaluate(piece.c, X - piece.origin);
        }
        return NaN;
    }

    // The X at which the curve reaches Y. Where several do (a polynomial
    // that turns), the one inside the calibrated range [lo, hi], else the
    // one nearest to it; the smaller on a tie.
    double inverse(double Y, double lo, double hi) const
    {
        if (!std::isfinite(Y))
            return NaN;
        double best = NaN;
        double bestDistance = Infinity;
        for (const Piece &piece : pieces) {
            std::vector<double> c = piece.c;
            c[0] -= Y;
            for (const double t : realRoots(c)) {
                const double X = piece.origin + t;
                const double slack = 1e-9 * (1.0 + std::abs(X));
                if (!std::isfinite(X) || X < piece.from - slack || X > piece.to + slack)
                    continue;
                const double distance = X < lo ? lo - X : X > hi ? X - hi : 0.0;
                if (distance < bestDistance || (distance == bestDistance && X < best)) {
                    best = X;
                    bestDistance = distance;
                }
            }
        }
        return best;
    }
};

// Least squares by column-pivoting QR of the Vandermonde matrix: sound where
// the normal equations lose half the digits.
Model leastSquares(const std::vector<double> &X, const std::vector<double> &Y, int count,
                   QVector<double> *coefficients)
{
    const Eigen::Index n = Eigen::Index(X.size());
    Eigen::MatrixXd A(n, count);
    for (Eigen::Index i = 0; i < n; ++i) {
        double power = 1.0;
        for (int p = 0; p < count; ++p) {
            A(i, p) = power;
            power *= X[std::size_t(i)];
        }
    }
    const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(A);
    if (qr.rank() < count)
        return Model();
    const Eigen::VectorXd solution = qr.solve(Eigen::Map<const Eigen::VectorXd>(Y.data(), n));
    Piece piece{-Infinity, Infinity, 0.0, std::vector<double>(solution.data(), solution.data() + count)};
    for (int p = 0; p < count; ++p)
        (*coefficients)[p] = solution(p);
    Model model;
    model.pieces.push_back(std::move(piece));
    return model;
}

// Piecewise linear or natural cubic spline through the points sorted by X;
// replicates at one X count as their mean. Beyond the end points the curve
// goes on straight with its end slopes. Needs two distinct X.
Model interpolation(const std::vector<double> &X, const std::vector<double> &Y, bool spline)
{
    std::vector<std::pair<double, double>> sorted;
    sorted.reserve(X.size());
    for (std::size_t i = 0; i < X.size(); ++i)
        sorted.emplace_back(X[i], Y[i]);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<double> kx;
    std::vector<double> ky;
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i;
        double sum = 0.0;
        for (; j < sorted.size() && sorted[j].first == sorted[i].first; ++j)
            sum += sorted[j].second;
        kx.push_back(sorted[i].first);
        ky.push_back(sum / double(j - i));
        i = j;
    }
    const std::size_t m = kx.size();
    if (m < 2)
        return Model();

    // Second derivatives at the knots; natural ends have none. The system is
    // tridiagonal and diagonally dominant, so elimination needs no pivoting.
    std::vector<double> M(m, 0.0);
    if (spline && m > 2) {
        std::vector<double> cp(m, 0.0);
        std::vector<double> dp(m, 0.0);
        for (std::size_t i = 1; i + 1 < m; ++i) {
            const double h0 = kx[i] - kx[i - 1];
            const double h1 = kx[i + 1] - kx[i];
            const double rhs = 6.0 * ((ky[i + 1] - ky[i]) / h1 - (ky[i] - ky[i - 1]) / h0);
            const double denominator = 2.0 * (h0 + h1) - h0 * cp[i - 1];
            cp[i] = h1 / denominator;
            dp[i] = (rhs - h0 * dp[i - 1]) / denominator;
        }
        for (std::size_t i = m - 2; i >= 1; --i)
            M[i] = dp[i] - cp[i] * M[i + 1];
    }

    Model model;
    for (std::size_t s = 0; s + 1 < m; ++s) {
        const double h = kx[s + 1] - kx[s];
        const double slope = (ky[s + 1] - ky[s]) / h;
        std::vector<double> c;
        if (spline)
            c = {ky[s], slope - h * (2.0 * M[s] + M[s + 1]) / 6.0, M[s] / 2.0, (M[s + 1] - M[s]) / (6.0 * h)};
        else
            c = {ky[s], slope};
        model.pieces.push_back(Piece{kx[s], kx[s + 1], kx[s], std::move(c)});
    }
    const Piece &first = model.pieces.front();
    const Piece &last = model.pieces.back();
    const double startSlope = derivative(first.c, 0.0);
    const double endSlope = derivative(last.c, last.to - last.origin);
    model.pieces.insert(model.pieces.begin(),
                        Piece{-Infinity, kx.front(), kx.front(), {ky.front(), startSlope}});
    model.pieces.push_back(Piece{kx.back(), Infinity, kx.back(), {ky.back(), endSlope}});
    return model;
}

// Pearson's r; NaN when either side does not vary.
double pearson(const std::vector<double> &a, const std::vector<double> &b)
{
    const double n = double(a.size());
    double meanA = 0.0;
    double meanB = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        meanA += a[i];
        meanB += b[i];
    }
    meanA /= n;
    meanB /= n;
    double sab = 0.0;
    double saa = 0.0;
    double sbb = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        sab += (a[i] - meanA) * (b[i] - meanB);
        saa += (a[i] - meanA) * (a[i] - meanA);
        sbb += (b[i] - meanB) * (b[i] - meanB);
    }
    return sab / std::sqrt(saa * sbb);
}

} // namespace

class StandardCurvePrivate
{
public:
    void fit();

    int id = 0;
    QString name;
    QString xUnit;
    QString yUnit;
    QString lotsNum;
    QDate date;
    tam::Function xFun = tam::Function::Linear;
    tam::Function yFun = tam::Function::Linear;
    tam::Function xDispFun = tam::Function::Linear;
    tam::Function yDispFun = tam::Function::Linear;
    tam::RegressionMethod method = tam::RegressionMethod::Linear;
    QVector<StdPoint> points;
    QVector<double> coefficients;
    double correlation = 0.0;
    bool valid = false;
};

void StandardCurvePrivate::fit()
{
    const int count = coefficientCountOf(method);

    std::vector<double> X;
    std::vector<double> Y;
    X.reserve(std::size_t(points.size()));
    Y.reserve(std::size_t(points.size()));
    for (const StdPoint &p : qAsConst(points)) {
        const double px = transform(xFun, p.m_x);
        const double py = transform(yFun, p.m_y);
        if (std::isfinite(px) && std::isfinite(py)) {
            X.push_back(px);
            Y.push_back(py);
        }
    }
    std::vector<double> distinct = X;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    const bool enough = int(distinct.size()) >= std::max(2, count);
    const double lo = distinct.empty() ? NaN : distinct.front();
    const double hi = distinct.empty() ? NaN : distinct.back();

    Model model;
    coefficients = QVector<double>(count, NaN);
    correlation = NaN;
    if (enough && count > 0)
        model = leastSquares(X, Y, count, &coefficients);
    else if (enough && isInterpolation(method))
        model = interpolation(X, Y, method == tam::RegressionMethod::Spline);

    if (!model.isEmpty()) {
        if (isInterpolation(method)) {
            correlation = 1.0;
        } else {
            std::vector<double> fitted;
            fitted.reserve(X.size());
            for (const double x : X)
                fitted.push_back(model.value(x));
            correlation = pearson(Y, fitted);
        }
    }
    const bool finite = std::all_of(coefficients.cbegin(), coefficients.cend(),
                                    [](double c) { return std::isfinite(c); });
    valid = enough && !model.isEmpty() && finite
            && (isInterpolation(method) || std::abs(correlation) >= minimumCorrelation);

    // Rounding slack, so that a blank at x 0 which the fit goes through is
    // not flagged for a difference in the last digits.
    double largest = 0.0;
    for (const StdPoint &p : qAsConst(points)) {
        if (std::isfinite(p.m_x))
            largest = std::max(largest, std::abs(p.m_x));
    }
    const double slack = 1e-9 * largest;
    for (StdPoint &p : points) {
        const double px = transform(xFun, p.m_x);
        const double py = transform(yFun, p.m_y);
        const double z = model.isEmpty() ? NaN : untransform(xFun, model.inverse(py, lo, hi));
        const bool fits = std::isfinite(px) && std::isfinite(py) && std::isfinite(z)
                          && std::abs(z - p.m_x) <= pointTolerance * std::abs(p.m_x) + slack;
        p.m_z = z;
        p.m_flags = fits ? 0 : 1;
    }
}

StandardCurve::StandardCurve(QObject *parent)
    : QObject(parent)
    , d(new StandardCurvePrivate)
{
}

StandardCurve::~StandardCurve() = default;

int StandardCurve::id() const { return d->id; }
void StandardCurve::setId(int id) { d->id = id; }
QString StandardCurve::name() const { return d->name; }
void StandardCurve::setName(const QString &name) { d->name = name; }
void StandardCurve::setXUnit(const QString &unit) { d->xUnit = unit; }
void StandardCurve::setYUnit(const QString &unit) { d->yUnit = unit; }
void StandardCurve::setLotsNum(const QString &lotsNum) { d->lotsNum = lotsNum; }
void StandardCurve::setDate(const QDate &date) { d->date = date; }
void StandardCurve::setXFun(tam::Function function) { d->xFun = function; }
void StandardCurve::setYFun(tam::Function function) { d->yFun = function; }
void StandardCurve::setXDispFun(tam::Function function) { d->xDispFun = function; }
void StandardCurve::setYDispFun(tam::Function function) { d->yDispFun = function; }
void StandardCurve::setMethod(tam::RegressionMethod method) { d->method = method; }
int StandardCurve::coefficientCount() const { return coefficientCountOf(d->method); }
void StandardCurve::setPoints(const QVector<StdPoint> &points) { d->points = points; }
StdPoint StandardCurve::point(int j) const { return d->points.value(j); }
void StandardCurve::setCoefficient(const QVector<double> &coefficients) { d->coefficients = coefficients; }
double StandardCurve::coefficient(int i) const { return d->coefficients.value(i, NaN); }
double StandardCurve::correlation() const { return d->correlation; }
void StandardCurve::setCorrelation(double correlation) { d->correlation = correlation; }
bool StandardCurve::isValid() const { return d->valid; }
void StandardCurve::setValid(bool valid) { d->valid = valid; }

void StandardCurve::update()
{
    d->fit();
}
