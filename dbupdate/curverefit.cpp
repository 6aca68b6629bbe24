#include "curverefit.h"

#include "standardcurve.h"
#include "updateprofile.h"

#include <QDate>
#include <QSqlError>

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

const char *const coefficientNames[5] = {":a", ":b", ":c", ":d", ":e"};

// How long the refit's transaction stays open before it is committed and a
// new one begun. One commit costs two or three flushes to disk, tens of
// milliseconds on a spinning disk, while the fits and writes of a second are
// thousands of curves: a file of ordinary size is written in one commit,
// and a very large one holds the write lock (which, once SQLite's page cache
// spills, keeps readers out too) no more than about a second at a time.
// Counted in time rather than curves, so that a slow PC or curves of many
// points do not stretch it.
constexpr qint64 batchMilliseconds = 1000;

} // namespace

// One row of the curve table, as the recompute reads it.
struct CurveRefit::CurveRow
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

// What the refit writes back for one curve: the row's new values and, for a
// curve that became valid, each point's.
struct CurveRefit::Fit
{
    struct Point {
        QVariant rowid;
        double z = 0.0;
        int flags = 0;
    };
    QVariant id;
    double correlation = 0.0;
    QVariant coefficients[5];
    bool valid = false;
    QVector<Point> points;
};

CurveRefit::CurveRefit(UpdateProfile &upgrade)
    : m_upgrade(upgrade)
{
}

// Only reached when the refit has returned: each of its paths commits or
// gives up its transaction itself.
CurveRefit::~CurveRefit() = default;

// One row of the variable table, as the recompute reads it.
struct CurveRefit::VariableRow
{
    QVariant id;
    QVariant assayTemplateId;
    QVariant name;
};

bool CurveRefit::updateVariables()
{
    QSqlQuery count;
    if (!m_upgrade.prepare(count, QStringLiteral("select count(*) from variable where value notnull"),
                           __FILE__, __LINE__)
            || !m_upgrade.run(count, __FILE__, __LINE__))
        return false;
    if (count.next() && count.value(0).toLongLong() >= 1)
        return true;
    QVector<VariableRow> rows;
    return readVariables(&rows) && carryVariables(rows);
}

bool CurveRefit::readVariables(QVector<VariableRow> *rows)
{
    // Read to the end first: no reading statement stays open while the
    // updates commit.
    QSqlQuery variables;
    variables.setForwardOnly(true);
    if (!m_upgrade.prepare(variables, QStringLiteral("select id, assayTemplateId, name, value from variable"),
                           __FILE__, __LINE__)
            || !m_upgrade.readAll(variables, [&] {
                   rows->append({variables.value(0), variables.value(1), variables.value(2)});
               }, __FILE__, __LINE__))
        return false;
    variables.finish();
    return true;
}

bool CurveRefit::carryVariables(const QVector<VariableRow> &rows)
{
    QSqlQuery lookup;
    QSqlQuery store;
    if (!m_upgrade.prepare(lookup,
                           QStringLiteral("select curveVariable.value from curveVariable, curve, assayCalibration"
                                          " where curveVariable.name=:name and curveId=curve.id"
                                          "       and curve.name=assayCalibration.name"
                                          "       and assayCalibration.assayTemplateId=:assayTemplateId"),
                           __FILE__, __LINE__)
            || !m_upgrade.prepare(store, QStringLiteral("update variable set value=:value where id=:id"),
                                  __FILE__, __LINE__))
        return false;
    for (const VariableRow &row : rows) {
        lookup.bindValue(QStringLiteral(":name"), row.name);
        lookup.bindValue(QStringLiteral(":assayTemplateId"), row.assayTemplateId);
        if (!m_upgrade.run(lookup, __FILE__, __LINE__))
            return false;
        if (!lookup.next())
            continue;
        store.bindValue(QStringLiteral(":id"), row.id);
        store.bindValue(QStringLiteral(":value"), lookup.value(0));
        lookup.finish();
        if (!m_upgrade.run(store, __FILE__, __LINE__))
            return false;
    }
    return true;
}

bool CurveRefit::updateCurves()
{
    m_today = QDate::currentDate();
    // Read to the end before the first write, so no reading statement stays
    // open across the commits below.
    QVector<CurveRow> rows;
    if (!readCurves(&rows) || !prepareCurveStatements())
        return false;
    for (const CurveRow &row : qAsConst(rows)) {
        const Lookup *lookup = findCalibration(row.name);
        if (!lookup)
            return stop();
        if (!lookup->found) {
            qDebug("%s", (debugHead(__FILE__, __LINE__) + "No calibration named  "
                          + quotedItem(row.name)).constData());
            continue;
        }
        // A curve stored valid is left alone. Deciding that before any point
        // is read means a start with nothing to refit neither reads
        // curvePoint nor opens a transaction.
        if (row.valid)
            continue;
        if (!openBatch() || (!m_pointsRead && !readPoints(rows)))
            return stop();
        Fit fit;
        refit(row, *lookup, &fit);
        if (!writeCurve(fit))
            return stop();
        if (m_batchAge.hasExpired(batchMilliseconds) && !commitBatch())
            return false;
    }
    return commitBatch();
}

bool CurveRefit::openBatch()
{
    // Inside a transaction the upgrade opened, the savepoints alone keep
    // each curve whole; the upgrade commits, and a very large file is
    // committed in between as the refit's own batches are.
    if (m_transaction)
        return true;
    if (m_upgrade.inTransaction()) {
        if (!m_batchAge.isValid())
            m_batchAge.start();
        return true;
    }
    m_transaction.emplace(m_upgrade, __FILE__, __LINE__);
    if (!m_transaction->isOpen()) {
        m_transaction.reset();
        return false;
    }
    m_batchAge.start();
    return true;
}

bool CurveRefit::commitBatch()
{
    if (!m_transaction) {
        // The upgrade's transaction: committed only when the batch is old,
        // and opened again for the steps after the refit.
        if (!m_batchAge.isValid() || !m_batchAge.hasExpired(batchMilliseconds) || !m_upgrade.inTransaction())
            return true;
        m_batchAge.start();
        return m_upgrade.commitTransaction(__FILE__, __LINE__) && m_upgrade.beginTransaction(__FILE__, __LINE__);
    }
    // A commit that fails leaves the curves of the batch as they were: still
    // not valid, so the next start refits them.
    const bool committed = m_transaction->commit();
    m_transaction.reset();
    return committed;
}

bool CurveRefit::stop()
{
    // The curves written before the failure stay written. Where SQLite took
    // the whole transaction back, the upgrade stops: writing again on a
    // full disk or a failing one would only fail again, and the curves are
    // as they were, still not valid, so the next start refits them.
    if (m_transaction && m_upgrade.transactionLost())
        m_transaction.reset();
    else
        commitBatch();
    return false;
}

bool CurveRefit::readCurves(QVector<CurveRow> *rows)
{
    QSqlQuery curves;
    curves.setForwardOnly(true);
    if (!m_upgrade.prepare(curves, QStringLiteral("select id, name, xunit, yunit, correlation, date, xFun, yFun,"
                                                  " a, b, c, d, e, valid, lotsNum from curve "),
                           __FILE__, __LINE__))
        return false;
    const bool read = m_upgrade.readAll(curves, [&] {
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
        rows->append(row);
    }, __FILE__, __LINE__);
    curves.finish();
    return read;
}

bool CurveRefit::prepareCurveStatements()
{
    m_points.setForwardOnly(true);
    return m_upgrade.prepare(m_calibrations,
                             QStringLiteral("select id, name, method, condition, caliX, caliY, funX, funY,"
                                            " dispX, dispY from assayCalibration where name = :name"),
                             __FILE__, __LINE__)
        && m_upgrade.prepare(m_points,
                             QStringLiteral("select curveId, rowid, x, y, z, flags from curvePoint"),
                             __FILE__, __LINE__)
        && m_upgrade.prepare(m_curveUpdate,
                             QStringLiteral("update curve set correlation = :correlation, date = :date,"
                                            " a = :a, b = :b, c = :c, d = :d, e = :e, valid = :valid where id = :id"),
                             __FILE__, __LINE__)
        && m_upgrade.prepare(m_pointUpdate,
                             QStringLiteral("update curvePoint set z = :z, flags = :flags where rowid = :rowid"),
                             __FILE__, __LINE__);
}

const CurveRefit::Lookup *CurveRefit::findCalibration(const QString &name)
{
    // A NULL name matches no row and is not cached: as a key it would be
    // taken for ''.
    if (!name.isNull()) {
        const auto it = m_lookups.constFind(name);
        if (it != m_lookups.constEnd())
            return &it.value();
    }
    m_calibrations.bindValue(QStringLiteral(":name"), name);
    if (!m_upgrade.run(m_calibrations, __FILE__, __LINE__))
        return nullptr;
    Lookup lookup;
    lookup.found = m_calibrations.next();
    if (lookup.found) {
        AssayTemplate::Calibration &calibration = lookup.calibration;
        calibration.assayTemplateId = 0; // the lookup does not read the assay
        // Only the row's name and fit settings matter here; its id is kept
        // for the model and never written back.
        calibration.id = m_calibrations.value(0).toInt();
        calibration.name = m_calibrations.value(1).toString();
        calibration.method = m_calibrations.value(2).toInt();
        calibration.condition = m_calibrations.value(3).toString();
        calibration.caliX = m_calibrations.value(4).toString();
        calibration.caliY = m_calibrations.value(5).toString();
        calibration.funX = m_calibrations.value(6).toString();
        calibration.funY = m_calibrations.value(7).toString();
        calibration.dispX = m_calibrations.value(8).toString();
        calibration.dispY = m_calibrations.value(9).toString();
    }
    m_calibrations.finish();
    if (name.isNull()) {
        m_uncached = lookup;
        return &m_uncached;
    }
    return &m_lookups.insert(name, lookup).value();
}

bool CurveRefit::readPoints(const QVector<CurveRow> &rows)
{
    // One pass over curvePoint for all curves to refit: it has no index on
    // curveId, so a query per curve would read the whole table each time.
    // The pass meets each curve's points in the order that query returns
    // them (the table's), and point j is written back to the j-th rowid.
    m_pointsRead = true;
    for (const CurveRow &row : rows) {
        if (!row.valid)
            m_curvePoints.insert(row.id.toLongLong(), {});
    }
    const bool read = m_upgrade.readAll(m_points, [&] {
        // Only an integer matches a curve's id, as in SQL.
        const QVariant curveId = m_points.value(0);
        if (curveId.userType() != QMetaType::LongLong && curveId.userType() != QMetaType::Int)
            return;
        const auto it = m_curvePoints.find(curveId.toLongLong());
        if (it == m_curvePoints.end())
            return;
        StdPoint point;
        point.setX(m_points.value(2).toDouble());
        point.setY(m_points.value(3).toDouble());
        point.setZ(m_points.value(4).toDouble());
        point.setFlags(m_points.value(5).toInt());
        it->append({m_points.value(1), point});
    }, __FILE__, __LINE__);
    m_points.finish();
    return read;
}

void CurveRefit::loadPoints(const CurveRow &row, StandardCurve *curve, QVector<QVariant> *rowids)
{
    const QVector<PointRow> rows = m_curvePoints.take(row.id.toLongLong());
    QVector<StdPoint> list;
    list.reserve(rows.size());
    rowids->reserve(rows.size());
    for (const PointRow &point : rows) {
        rowids->append(point.rowid);
        list.append(point.point);
    }
    curve->setPoints(list);
}

void CurveRefit::refit(const CurveRow &row, const Lookup &lookup, Fit *fit)
{
    const AssayTemplate::Calibration &calibration = lookup.calibration;
    StandardCurve curve(nullptr);
    // The model keeps a 32-bit id; the row is written back by its own.
    curve.setId(int(row.id.toLongLong()));
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

    QVector<QVariant> rowids;
    loadPoints(row, &curve, &rowids);

    // Only the first five coefficients have columns; a method with fewer
    // than two still gets all five stored ones.
    const int n = qMin(5, curve.coefficientCount());
    QVector<double> coefficients(n < 2 ? 5 : n, 0.0);
    for (int i = 0; i < coefficients.size(); ++i)
        coefficients[i] = row.coefficients[i];
    curve.setCoefficient(coefficients);
    // Called with a row not stored valid: the model reads the flag back
    // false and the curve is fitted.
    curve.setValid(row.valid);

    curve.update();
    if (!curve.isValid()) {
        qDebug("%s", (debugHead(__FILE__, __LINE__) + "Invalid curve: name = "
                      + quotedItem(curve.name()) + " id = "
                      + QByteArray::number(row.id.toLongLong()) + ' ').constData());
    }

    fit->id = row.id;
    fit->correlation = curve.correlation();
    const int count = curve.coefficientCount();
    for (int i = 0; i < 5; ++i)
        fit->coefficients[i] = i < count ? QVariant(curve.coefficient(i)) : QVariant(QVariant::Double);
    fit->valid = curve.isValid();
    // A curve that stays invalid keeps its stored points.
    if (fit->valid) {
        fit->points.reserve(rowids.size());
        for (int j = 0; j < rowids.size(); ++j) {
            const StdPoint point = curve.point(j);
            fit->points.append({rowids.at(j), point.z(), point.flags()});
        }
    }
}

bool CurveRefit::writeCurve(const Fit &fit)
{
    // The row and its points go in together: a curve marked valid whose
    // points were never written would never be fitted again.
    const QString savepoint = QStringLiteral("refit_curve");
    if (!m_upgrade.run(QStringLiteral("savepoint ") + savepoint, __FILE__, __LINE__))
        return false;
    if (runCurveUpdates(fit))
        return m_upgrade.run(QStringLiteral("release savepoint ") + savepoint, __FILE__, __LINE__);
    // Back to the curve as it was, the curves before it kept. (Skipped by
    // the funnel when SQLite has rolled back the transaction itself.)
    if (m_upgrade.run(QStringLiteral("rollback to savepoint ") + savepoint, __FILE__, __LINE__))
        m_upgrade.run(QStringLiteral("release savepoint ") + savepoint, __FILE__, __LINE__);
    return false;
}

bool CurveRefit::runCurveUpdates(const Fit &fit)
{
    m_curveUpdate.bindValue(QStringLiteral(":correlation"), fit.correlation);
    m_curveUpdate.bindValue(QStringLiteral(":date"), m_today);
    for (int i = 0; i < 5; ++i)
        m_curveUpdate.bindValue(QLatin1String(coefficientNames[i]), fit.coefficients[i]);
    m_curveUpdate.bindValue(QStringLiteral(":valid"), fit.valid ? 1 : 0);
    m_curveUpdate.bindValue(QStringLiteral(":id"), fit.id);
    if (!m_upgrade.run(m_curveUpdate, __FILE__, __LINE__))
        return false;
    for (const Fit::Point &point : fit.points) {
        m_pointUpdate.bindValue(QStringLiteral(":z"), point.z);
        m_pointUpdate.bindValue(QStringLiteral(":flags"), point.flags);
        m_pointUpdate.bindValue(QStringLiteral(":rowid"), point.rowid);
        if (!m_upgrade.run(m_pointUpdate, __FILE__, __LINE__))
            return false;
    }
    return true;
}
