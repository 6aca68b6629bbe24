#ifndef CURVEREFIT_H
#define CURVEREFIT_H

#include <QDate>
#include <QElapsedTimer>
#include <QHash>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <QVector>

#include "assaytemplate.h"
#include "stdpoint.h"
#include "updateprofile.h"

#include <optional>

class StandardCurve;

// The calibration recompute of every start on profile.db: variables carried
// over from the curves, and the curves not stored valid fitted again. The
// refitted curves are written in one transaction (committed about once a
// second on a very large file), each curve with its points under a savepoint
// of its own, so a curve is always stored either as it was or refitted.
// Every statement goes through the upgrade's SQL funnel.
class CurveRefit
{
public:
    explicit CurveRefit(UpdateProfile &upgrade);
    ~CurveRefit();

    // False, logged, at the first statement that fails.
    bool updateVariables();
    bool updateCurves();

private:
    Q_DISABLE_COPY(CurveRefit)

    struct CurveRow;
    struct VariableRow;
    struct Fit;
    struct Lookup {
        bool found = false;
        AssayTemplate::Calibration calibration;
    };

    bool readVariables(QVector<VariableRow> *rows);
    bool carryVariables(const QVector<VariableRow> &rows);
    bool readCurves(QVector<CurveRow> *rows);
    bool prepareCurveStatements();
    const Lookup *findCalibration(const QString &name);
    bool readPoints(const QVector<CurveRow> &rows);
    void loadPoints(const CurveRow &row, StandardCurve *curve, QVector<QVariant> *rowids);
    void refit(const CurveRow &row, const Lookup &lookup, Fit *fit);
    bool writeCurve(const Fit &fit);
    bool runCurveUpdates(const Fit &fit);

    // The write transaction of the refit, opened before the first curve is
    // written; none of its own when the upgrade already has one open.
    bool openBatch();
    bool commitBatch();
    // After a failure: what was written before it is committed, unless
    // SQLite took the transaction back (a full disk, an I/O error): those
    // curves then stay as they were, not valid, for the next start.
    bool stop();

    UpdateProfile &m_upgrade;
    std::optional<UpdateProfile::Transaction> m_transaction;
    QElapsedTimer m_batchAge;

    QSqlQuery m_calibrations;
    QSqlQuery m_points;
    QSqlQuery m_curveUpdate;
    QSqlQuery m_pointUpdate;
    // Many curves share a calibration name, and nothing here writes
    // assayCalibration: each name is looked up once per run.
    QHash<QString, Lookup> m_lookups;
    // The points of every curve to refit, by curve id, in the order read.
    struct PointRow {
        QVariant rowid;
        StdPoint point;
    };
    QHash<qlonglong, QVector<PointRow>> m_curvePoints;
    bool m_pointsRead = false;
    Lookup m_uncached;
    QDate m_today;
};

#endif // CURVEREFIT_H
