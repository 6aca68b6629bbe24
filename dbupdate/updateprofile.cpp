#include "updateprofile.h"

#include "assaytemplate.h"
#include "standardcurve.h"

#include <QDate>
#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QVector>

UpdateProfile::UpdateProfile(QObject *parent)
    : UpdateBase(QStringLiteral("profile.db"), parent)
{
}

bool UpdateProfile::update()
{
    // The schema and data steps of profile.db are not written yet; opening
    // the file keeps the upgrade sequence complete.
    return true;
}

// ---- Calibration recompute ---------------------------------------------

namespace {

// The first items of a recompute debug line, "file ( line ): ", each
// followed by one space as the debug stream writes them. Composed by hand
// like reportQueryError's warnings, so the line keeps its last space.
QByteArray debugHead(const char *file, int line)
{
    QByteArray message;
    message += file;
    message += " ( ";
    message += QByteArray::number(line);
    message += " ):  ";
    return message;
}

// A string item of the debug stream: in double quotes, one space after.
QByteArray quotedItem(const QString &text)
{
    return '"' + text.toUtf8() + "\" ";
}

bool execOrReport(QSqlQuery &query, const char *file, int line)
{
    if (query.exec())
        return true;
    reportQueryError(query, file, line);
    return false;
}

bool prepareOrReport(QSqlQuery &query, const QString &sql, const char *file, int line)
{
    if (query.prepare(sql))
        return true;
    reportQueryError(query, file, line);
    return false;
}

bool runOrReport(const QString &sql, const char *file, int line)
{
    QSqlQuery query;
    if (query.exec(sql))
        return true;
    reportQueryError(query, file, line);
    return false;
}

// A failed write leaves the curve as it was. SQLite may have ended the
// transaction itself already; the rollback then has nothing to undo.
void rollbackCurve()
{
    QSqlQuery query;
    query.exec(QStringLiteral("rollback transaction"));
}

// One row of the curve table, as the recompute reads it.
struct CurveRow
{
    QVariant id;
    QString name;
    QString xUnit;
    QString yUnit;
    double correlation = 0.0;
    QDate date;
    int xFun = 0;
    int yFun = 0;
    double coefficients[5] = {};
    bool valid = false;
    QString lotsNum;
};

const char *const coefficientNames[5] = {":a", ":b", ":c", ":d", ":e"};

} // namespace

bool UpdateProfile::updateVariables()
{
    QSqlQuery count;
    if (!count.exec(QStringLiteral("select count(*) from variable where value notnull"))) {
        reportQueryError(count, __FILE__, __LINE__);
        return false;
    }
    if (count.next() && count.value(0).toInt() >= 1)
        return true;

    QSqlQuery variables;
    variables.setForwardOnly(true);
    if (!variables.exec(QStringLiteral("select id, assayTemplateId, name, value from variable"))) {
        reportQueryError(variables, __FILE__, __LINE__);
        return false;
    }
    // Read to the end first: no reading statement stays open while the
    // updates below commit.
    struct VariableRow
    {
        QVariant id;
        QVariant assayTemplateId;
        QVariant name;
    };
    QVector<VariableRow> rows;
    while (variables.next())
        rows.append({variables.value(0), variables.value(1), variables.value(2)});
    if (variables.lastError().isValid()) {
        reportQueryError(variables, __FILE__, __LINE__);
        return false;
    }
    variables.finish();

    QSqlQuery lookup;
    if (!prepareOrReport(lookup,
                         QStringLiteral("select curveVariable.value from curveVariable, curve, assayCalibration"
                                        " where curveVariable.name=:name and curveId=curve.id"
                                        "       and curve.name=assayCalibration.name"
                                        "       and assayCalibration.assayTemplateId=:assayTemplateId"),
                         __FILE__, __LINE__))
        return false;
    QSqlQuery store;
    if (!prepareOrReport(store, QStringLiteral("update variable set value=:value where id=:id"),
                         __FILE__, __LINE__))
        return false;

    for (const VariableRow &row : qAsConst(rows)) {
        lookup.bindValue(QStringLiteral(":name"), row.name);
        lookup.bindValue(QStringLiteral(":assayTemplateId"), row.assayTemplateId);
        if (!execOrReport(lookup, __FILE__, __LINE__))
            return false;
        if (!lookup.next())
            continue;
        store.bindValue(QStringLiteral(":id"), row.id);
        store.bindValue(QStringLiteral(":value"), lookup.value(0));
        lookup.finish();
        if (!execOrReport(store, __FILE__, __LINE__))
            return false;
    }
    return true;
}

bool UpdateProfile::updateCurves()
{
    QSqlQuery curves;
    curves.setForwardOnly(true);
    if (!curves.exec(QStringLiteral("select id, name, xunit, yunit, correlation, date, xFun, yFun,"
                                    " a, b, c, d, e, valid, lotsNum from curve "))) {
        reportQueryError(curves, __FILE__, __LINE__);
        return false;
    }
    // Read to the end before the first write, so no reading statement stays
    // open across the transactions below.
    QVector<CurveRow> rows;
    while (curves.next()) {
        CurveRow row;
        row.id = curves.value(0);
        row.name = curves.value(1).toString();
        row.xUnit = curves.value(2).toString();
        row.yUnit = curves.value(3).toString();
        row.correlation = curves.value(4).toDouble();
        row.date = curves.value(5).toDate();
        row.xFun = curves.value(6).toInt();
        row.yFun = curves.value(7).toInt();
        for (int i = 0; i < 5; ++i)
            row.coefficients[i] = curves.value(8 + i).toDouble();
        row.valid = curves.value(13).toBool();
        row.lotsNum = curves.value(14).toString();
        rows.append(row);
    }
    if (curves.lastError().isValid()) {
        reportQueryError(curves, __FILE__, __LINE__);
        return false;
    }
    curves.finish();

    QSqlQuery calibrations;
    if (!prepareOrReport(calibrations,
                         QStringLiteral("select id, name, method, condition, caliX, caliY, funX, funY,"
                                        " dispX, dispY from assayCalibration where name = :name"),
                         __FILE__, __LINE__))
        return false;
    QSqlQuery points;
    points.setForwardOnly(true);
    if (!prepareOrReport(points,
                         QStringLiteral("select rowid, x, y, z, flags from curvePoint where curveId = :curveId"),
                         __FILE__, __LINE__))
        return false;
    QSqlQuery curveUpdate;
    if (!prepareOrReport(curveUpdate,
                         QStringLiteral("update curve set correlation = :correlation, date = :date,"
                                        " a = :a, b = :b, c = :c, d = :d, e = :e, valid = :valid where id = :id"),
                         __FILE__, __LINE__))
        return false;
    QSqlQuery pointUpdate;
    if (!prepareOrReport(pointUpdate,
                         QStringLiteral("update curvePoint set z = :z, flags = :flags where rowid = :rowid"),
                         __FILE__, __LINE__))
        return false;

    // Many curves share a calibration name, and nothing here writes
    // assayCalibration: each name is looked up once per run.
    struct Lookup
    {
        bool found = false;
        AssayTemplate::Calibration calibration;
    };
    QHash<QString, Lookup> lookups;

    const QDate today = QDate::currentDate();
    for (const CurveRow &row : qAsConst(rows)) {
        // A NULL name matches no row and is not cached: as a key it would
        // be taken for ''.
        const Lookup *lookup = nullptr;
        Lookup uncached;
        if (!row.name.isNull()) {
            const auto it = lookups.constFind(row.name);
            if (it != lookups.constEnd())
                lookup = &it.value();
        }
        if (!lookup) {
            calibrations.bindValue(QStringLiteral(":name"), row.name);
            if (!execOrReport(calibrations, __FILE__, __LINE__))
                return false;
            uncached.found = calibrations.next();
            if (uncached.found) {
                AssayTemplate::Calibration &calibration = uncached.calibration;
                calibration.assayTemplateId = 0; // the lookup does not read the assay
                calibration.id = calibrations.value(0).toInt();
                calibration.name = calibrations.value(1).toString();
                calibration.method = calibrations.value(2).toInt();
                calibration.condition = calibrations.value(3).toString();
                calibration.caliX = calibrations.value(4).toString();
                calibration.caliY = calibrations.value(5).toString();
                calibration.funX = calibrations.value(6).toString();
                calibration.funY = calibrations.value(7).toString();
                calibration.dispX = calibrations.value(8).toString();
                calibration.dispY = calibrations.value(9).toString();
            }
            calibrations.finish();
            lookup = row.name.isNull() ? &uncached : &lookups.insert(row.name, uncached).value();
        }
        if (!lookup->found) {
            qDebug("%s", (debugHead(__FILE__, __LINE__) + "No calibration named  "
                          + quotedItem(row.name)).constData());
            continue;
        }
        // A curve stored valid is left alone. Deciding that before its points
        // are read spares a scan of curvePoint per curve on every start.
        if (row.valid)
            continue;
        const AssayTemplate::Calibration calibration = lookup->calibration;

        StandardCurve curve(nullptr);
        curve.setId(row.id.toInt());
        curve.setName(row.name);
        curve.setXUnit(row.xUnit);
        curve.setYUnit(row.yUnit);
        curve.setLotsNum(row.lotsNum);
        curve.setCorrelation(row.correlation);
        curve.setDate(row.date);
        curve.setXFun(static_cast<tam::Function>(row.xFun));
        curve.setYFun(static_cast<tam::Function>(row.yFun));
        curve.setXDispFun(calibration.dispFunX());
        curve.setYDispFun(calibration.dispFunY());
        curve.setMethod(static_cast<tam::RegressionMethod>(calibration.method));

        points.bindValue(QStringLiteral(":curveId"), row.id);
        if (!execOrReport(points, __FILE__, __LINE__))
            return false;
        // Point j of the curve is written back to the j-th rowid read.
        QVector<QVariant> rowids;
        QVector<StdPoint> list;
        while (points.next()) {
            rowids.append(points.value(0));
            StdPoint point;
            point.setX(points.value(1).toDouble());
            point.setY(points.value(2).toDouble());
            point.setZ(points.value(3).toDouble());
            point.setFlags(points.value(4).toInt());
            list.append(point);
        }
        if (points.lastError().isValid()) {
            reportQueryError(points, __FILE__, __LINE__);
            return false;
        }
        curve.setPoints(list);

        // Only the first five coefficients have columns; a method with fewer
        // than two still gets all five stored ones.
        const int n = qMin(5, curve.coefficientCount());
        QVector<double> coefficients(n < 2 ? 5 : n, 0.0);
        for (int i = 0; i < coefficients.size(); ++i)
            coefficients[i] = row.coefficients[i];
        curve.setCoefficient(coefficients);
        curve.setValid(row.valid);
        if (curve.isValid())
            continue;

        curve.update();
        if (!curve.isValid()) {
            qDebug("%s", (debugHead(__FILE__, __LINE__) + "Invalid curve: name = "
                          + quotedItem(curve.name()) + " id = "
                          + QByteArray::number(curve.id()) + ' ').constData());
        }

        // The row and its points go in together: a curve marked valid whose
        // points were never written would never be fitted again.
        if (!runOrReport(QStringLiteral("begin transaction"), __FILE__, __LINE__))
            return false;
        curveUpdate.bindValue(QStringLiteral(":correlation"), curve.correlation());
        curveUpdate.bindValue(QStringLiteral(":date"), today);
        const int count = curve.coefficientCount();
        for (int i = 0; i < 5; ++i) {
            curveUpdate.bindValue(QLatin1String(coefficientNames[i]),
                                  i < count ? QVariant(curve.coefficient(i)) : QVariant(QVariant::Double));
        }
        curveUpdate.bindValue(QStringLiteral(":valid"), curve.isValid() ? 1 : 0);
        curveUpdate.bindValue(QStringLiteral(":id"), curve.id());
        if (!execOrReport(curveUpdate, __FILE__, __LINE__)) {
            rollbackCurve();
            return false;
        }
        if (curve.isValid()) {
            for (int j = 0; j < rowids.size(); ++j) {
                const StdPoint point = curve.point(j);
                pointUpdate.bindValue(QStringLiteral(":z"), point.z());
                pointUpdate.bindValue(QStringLiteral(":flags"), point.flags());
                pointUpdate.bindValue(QStringLiteral(":rowid"), rowids.at(j));
                if (!execOrReport(pointUpdate, __FILE__, __LINE__)) {
                    rollbackCurve();
                    return false;
                }
            }
        }
        if (!runOrReport(QStringLiteral("commit transaction"), __FILE__, __LINE__)) {
            rollbackCurve();
            return false;
        }
    }
    return true;
}
