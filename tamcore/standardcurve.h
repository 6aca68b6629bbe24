#ifndef STANDARDCURVE_H
#define STANDARDCURVE_H

#include "stdpoint.h"
#include "tamcore_global.h"

#include <QObject>
#include <QScopedPointer>
#include <QString>
#include <QVector>

class QDate;
class StandardCurvePrivate;

// A calibration curve: measured points, the regression method and axis
// functions to fit them with, and the fitted coefficients, correlation and
// validity. update() fits the curve again from its points.
class TAMCORE_EXPORT StandardCurve : public QObject
{
    Q_OBJECT
public:
    explicit StandardCurve(QObject *parent = nullptr);
    ~StandardCurve() override;

    int id() const;
    void setId(int id);
    QString name() const;
    void setName(const QString &name);
    void setXUnit(const QString &unit);
    void setYUnit(const QString &unit);
    void setLotsNum(const QString &lotsNum);
    void setDate(const QDate &date);

    // Axes the fit works on: X = xFun(x), Y = yFun(y).
    void setXFun(tam::Function function);
    void setYFun(tam::Function function);
    // Axes the curve is shown on; they take no part in the fit.
    void setXDispFun(tam::Function function);
    void setYDispFun(tam::Function function);

    void setMethod(tam::RegressionMethod method);
    // Number of coefficients of the method: 2, 3 or 4 for the regressions,
    // 0 for the interpolations and for a method this library does not know.
    int coefficientCount() const;

    // point(j) is the j-th point given, also after update(); a default point
    // for j out of range.
    void setPoints(const QVector<StdPoint> &points);
    StdPoint point(int j) const;

    // coefficient(i) is NaN where there is no i-th coefficient.
    void setCoefficient(const QVector<double> &coefficients);
    double coefficient(int i) const;
    double correlation() const;
    void setCorrelation(double correlation);
    bool isValid() const;
    void setValid(bool valid);

    // Fits the curve on the transformed axes and sets the coefficients, the
    // correlation, the validity and every point's z and flags. Points whose
    // transformed x or y is not finite (a logarithm of 0 or less) are left
    // out of the fit and flagged. A value not computable is NaN.
    void update();

private:
    Q_DISABLE_COPY(StandardCurve)
    const QScopedPointer<StandardCurvePrivate> d;
};

#endif // STANDARDCURVE_H
