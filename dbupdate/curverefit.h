#ifndef CURVEREFIT_H
#define CURVEREFIT_H

#include <QDate>
#include <QHash>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <QVector>

#include "assaytemplate.h"

class StandardCurve;
class UpdateProfile;

// The calibration recompute of every start on profile.db: variables carried
// over from the curves, and the curves not stored valid fitted again, each
// curve with its points in a transaction of its own. Every statement goes
// through the upgrade's SQL funnel.
class CurveRefit
{
public:
    explicit CurveRefit(UpdateProfile &upgrade);

    // False, logged, at the first statement that fails.
    bool updateVariables();
    bool updateCurves();

private:
    struct CurveRow;
    struct VariableRow;
    struct Lookup {
        bool found = false;
        AssayTemplate::Calibration calibration;
    };

    bool readVariables(QVector<VariableRow> *rows);
    bool carryVariables(const QVector<VariableRow> &rows);
    bool readCurves(QVector<CurveRow> *rows);
    bool prepareCurveStatements();
    const Lookup *findCalibration(const QString &name);
    bool loadPoints(const CurveRow &row, StandardCurve *curve, QVector<QVariant> *rowids);
    bool refit(const CurveRow &row, const Lookup &lookup);
    bool writeCurve(const CurveRow &row, const StandardCurve &curve, const QVector<QVariant> &rowids);

    UpdateProfile &m_upgrade;
    QSqlQuery m_calibrations;
    QSqlQuery m_points;
    QSqlQuery m_curveUpdate;
    QSqlQuery m_pointUpdate;
    // Many curves share a calibration name, and nothing here writes
    // assayCalibration: each name is looked up once per run.
    QHash<QString, Lookup> m_lookups;
    Lookup m_uncached;
    QDate m_today;
};

#endif // CURVEREFIT_H
