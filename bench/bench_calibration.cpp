// The calibration recompute on a profile.db of many curves: the first run,
// which refits every curve, and the run on every later start, which finds
// them all valid. Two floors: a bare "select * from curve" by the sqlite3
// shell on the same file, and for the first run the same reads, fits and
// writes done straight through SQLite's C interface in one transaction.
//
// Usage: bench_calibration [CURVES [NAMES [POINTS]]]   (default 2000 20 12)

#include "assaytemplate.h"
#include "standardcurve.h"
#include "updateprofile.h"

#include <QCoreApplication>
#include <QDate>
#include <QHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

class Recompute : public UpdateProfile
{
public:
    using UpdateProfile::updateCurves;
    using UpdateProfile::updateVariables;
};

int g_debugLines = 0;

void quiet(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg)
        ++g_debugLines;
    else if (!text.startsWith(QLatin1String("QSqlDatabasePrivate::addDatabase")))
        fprintf(stderr, "%s\n", qPrintable(text));
}

bool build(const QString &file, int curves, int names, int points)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(QFile::encodeName(file).constData(), &db) != SQLITE_OK)
        return false;
    QByteArray sql =
        "begin;"
        "create table version(version integer); insert into version values(4);"
        "create table assayCalibration(id integer primary key, name text, assayTemplateId integer,"
        " condition text, caliX text, caliY text, funX text, funY text, method integer, dispX text, dispY text);"
        "create table variable(id integer primary key, assayTemplateId integer, name text, value);"
        "create table curve(id integer primary key, name text, xunit text, yunit text, correlation real,"
        " date date, xFun integer, yFun integer, a real, b real, instrUuid text, c real, d real, e real,"
        " valid integer, lotsNum text);"
        "create table curvePoint(id integer primary key, curveId integer, x real, y real, z real, flags integer);"
        "create table curveVariable(id integer primary key, curveId integer, name text, value);"
        "insert into variable values(1, 1, 'ISI', 1.0);";
    for (int n = 0; n < names; ++n) {
        sql += QStringLiteral("insert into assayCalibration values(%1, 'CAL%1', %1, '', 'Concentration',"
                              " 'Time', 'Log', 'Log', 0, 'Log', 'Log');").arg(n).toUtf8();
    }
    // Lines on log-log axes with a little scatter, so every fit is valid.
    for (int c = 0; c < curves; ++c) {
        sql += QStringLiteral("insert into curve values(%1, 'CAL%2', 'g/L', 's', null, '2020-01-01', 1, 1,"
                              " null, null, 'A', null, null, null, null, 'L%1');").arg(c).arg(c % names).toUtf8();
        for (int p = 0; p < points; ++p) {
            const double x = std::pow(2.0, p % 6) * (1 + p / 6);
            const double scatter = 1.0 + 0.01 * ((p * 7 + c) % 5 - 2);
            const double y = std::pow(10.0, 1.3 - 0.65 * std::log10(x)) * scatter;
            sql += QStringLiteral("insert into curvePoint(curveId, x, y) values(%1, %2, %3);")
                       .arg(c).arg(x, 0, 'g', 17).arg(y, 0, 'g', 17).toUtf8();
        }
    }
    sql += "commit;";
    char *error = nullptr;
    const bool ok = sqlite3_exec(db, sql.constData(), nullptr, nullptr, &error) == SQLITE_OK;
    if (!ok)
        fprintf(stderr, "cannot build the file: %s\n", error);
    sqlite3_free(error);
    sqlite3_close(db);
    return ok;
}

// Both operations as the upgrade runs them, on a connection of their own.
double recomputeMs(bool *ok)
{
    // Opening the file is part of it, as for the shell.
    QElapsedTimer timer;
    timer.start();
    Recompute recompute;
    *ok = recompute.updateVariables() && recompute.updateCurves();
    return double(timer.nsecsElapsed()) / 1e6;
}

double shellSelectMs(const QString &file)
{
    QProcess shell;
    shell.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    shell.start(QStringLiteral("sqlite3"), {file, QStringLiteral("select * from curve")});
    if (!shell.waitForFinished(60000) || shell.exitCode() != 0)
        return -1;
    return double(timer.nsecsElapsed()) / 1e6;
}

// The first run's floor: what the refit does to the file, as plainly as it
// can be done. Every curve read, its calibration and points read, fitted by
// the same model, the row and the points written back, all in one
// transaction on a connection of its own; no funnel, no logging.
double oneTransactionMs(const QString &file, bool *ok)
{
    QElapsedTimer timer;
    timer.start();
    sqlite3 *db = nullptr;
    *ok = sqlite3_open(QFile::encodeName(file).constData(), &db) == SQLITE_OK;
    sqlite3_stmt *curves = nullptr, *calibration = nullptr, *points = nullptr;
    sqlite3_stmt *curveUpdate = nullptr, *pointUpdate = nullptr;
    auto prepare = [&](const char *sql, sqlite3_stmt **statement) {
        *ok = *ok && sqlite3_prepare_v2(db, sql, -1, statement, nullptr) == SQLITE_OK;
    };
    *ok = *ok && sqlite3_exec(db, "begin", nullptr, nullptr, nullptr) == SQLITE_OK;
    prepare("select id, name, xunit, yunit, correlation, date, xFun, yFun, a, b, c, d, e, valid, lotsNum"
            " from curve", &curves);
    prepare("select id, name, method, condition, caliX, caliY, funX, funY, dispX, dispY"
            " from assayCalibration where name = ?", &calibration);
    prepare("select curveId, rowid, x, y, z, flags from curvePoint", &points);
    prepare("update curve set correlation = ?, date = ?, a = ?, b = ?, c = ?, d = ?, e = ?, valid = ?"
            " where id = ?", &curveUpdate);
    prepare("update curvePoint set z = ?, flags = ? where rowid = ?", &pointUpdate);
    auto text = [](sqlite3_stmt *statement, int column) {
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, column)));
    };
    const QByteArray today = QDate::currentDate().toString(Qt::ISODate).toUtf8();
    QHash<QString, AssayTemplate::Calibration> calibrations;
    // The points in one pass: curvePoint has no index on curveId.
    struct Point {
        sqlite3_int64 rowid;
        StdPoint point;
    };
    QHash<sqlite3_int64, QVector<Point>> pointsOf;
    while (*ok && sqlite3_step(points) == SQLITE_ROW) {
        StdPoint point;
        point.setX(sqlite3_column_double(points, 2));
        point.setY(sqlite3_column_double(points, 3));
        point.setZ(sqlite3_column_double(points, 4));
        point.setFlags(sqlite3_column_int(points, 5));
        pointsOf[sqlite3_column_int64(points, 0)].append({sqlite3_column_int64(points, 1), point});
    }
    while (*ok && sqlite3_step(curves) == SQLITE_ROW) {
        if (sqlite3_column_int(curves, 13))
            continue;
        const QString name = text(curves, 1);
        auto found = calibrations.find(name);
        if (found == calibrations.end()) {
            sqlite3_bind_text(calibration, 1, reinterpret_cast<const char *>(sqlite3_column_text(curves, 1)), -1,
                              SQLITE_TRANSIENT);
            if (sqlite3_step(calibration) != SQLITE_ROW) {
                sqlite3_reset(calibration);
                continue;
            }
            AssayTemplate::Calibration c;
            c.assayTemplateId = 0;
            c.id = sqlite3_column_int(calibration, 0);
            c.name = text(calibration, 1);
            c.method = sqlite3_column_int(calibration, 2);
            c.condition = text(calibration, 3);
            c.caliX = text(calibration, 4);
            c.caliY = text(calibration, 5);
            c.funX = text(calibration, 6);
            c.funY = text(calibration, 7);
            c.dispX = text(calibration, 8);
            c.dispY = text(calibration, 9);
            sqlite3_reset(calibration);
            found = calibrations.insert(name, c);
        }
        const sqlite3_int64 id = sqlite3_column_int64(curves, 0);
        StandardCurve curve(nullptr);
        curve.setId(int(id));
        curve.setName(name);
        curve.setXUnit(text(curves, 2));
        curve.setYUnit(text(curves, 3));
        curve.setLotsNum(text(curves, 14));
        curve.setCorrelation(sqlite3_column_double(curves, 4));
        curve.setDate(QDate::fromString(text(curves, 5), Qt::ISODate));
        curve.setXFun(static_cast<tam::Function>(sqlite3_column_int(curves, 6)));
        curve.setYFun(static_cast<tam::Function>(sqlite3_column_int(curves, 7)));
        curve.setXDispFun(found->dispFunX());
        curve.setYDispFun(found->dispFunY());
        curve.setMethod(static_cast<tam::RegressionMethod>(found->method));
        QVector<sqlite3_int64> rowids;
        QVector<StdPoint> list;
        for (const Point &point : pointsOf.value(id)) {
            rowids.append(point.rowid);
            list.append(point.point);
        }
        curve.setPoints(list);
        const int n = std::min(5, curve.coefficientCount());
        QVector<double> coefficients(n < 2 ? 5 : n, 0.0);
        for (int i = 0; i < coefficients.size(); ++i)
            coefficients[i] = sqlite3_column_double(curves, 8 + i);
        curve.setCoefficient(coefficients);
        curve.setValid(false);
        curve.update();

        sqlite3_bind_double(curveUpdate, 1, curve.correlation());
        sqlite3_bind_text(curveUpdate, 2, today.constData(), -1, SQLITE_STATIC);
        for (int i = 0; i < 5; ++i) {
            if (i < curve.coefficientCount())
                sqlite3_bind_double(curveUpdate, 3 + i, curve.coefficient(i));
            else
                sqlite3_bind_null(curveUpdate, 3 + i);
        }
        sqlite3_bind_int(curveUpdate, 8, curve.isValid() ? 1 : 0);
        sqlite3_bind_int64(curveUpdate, 9, id);
        *ok = sqlite3_step(curveUpdate) == SQLITE_DONE;
        sqlite3_reset(curveUpdate);
        for (int j = 0; *ok && curve.isValid() && j < rowids.size(); ++j) {
            const StdPoint point = curve.point(j);
            sqlite3_bind_double(pointUpdate, 1, point.z());
            sqlite3_bind_int(pointUpdate, 2, point.flags());
            sqlite3_bind_int64(pointUpdate, 3, rowids.at(j));
            *ok = sqlite3_step(pointUpdate) == SQLITE_DONE;
            sqlite3_reset(pointUpdate);
        }
    }
    for (sqlite3_stmt *statement : {curves, calibration, points, curveUpdate, pointUpdate})
        sqlite3_finalize(statement);
    *ok = *ok && sqlite3_exec(db, "commit", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return double(timer.nsecsElapsed()) / 1e6;
}

double best(std::vector<double> v)
{
    return *std::min_element(v.begin(), v.end());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int curves = args.value(1, QStringLiteral("2000")).toInt();
    const int names = std::max(1, args.value(2, QStringLiteral("20")).toInt());
    const int points = args.value(3, QStringLiteral("12")).toInt();

    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()))
        return 1;
    const QString file = dir.filePath(QStringLiteral("profile.db"));
    if (!build(file, curves, names, points))
        return 1;
    // Untouched copies for the one-transaction floor, best of three.
    const int floorRounds = 3;
    for (int i = 0; i < floorRounds; ++i) {
        if (!QFile::copy(file, dir.filePath(QStringLiteral("floor%1.db").arg(i))))
            return 1;
    }
    qInstallMessageHandler(quiet);

    printf("profile.db: %d curves of %d points, %d calibration names\n", curves, points, names);
    bool ok = false;
    const double first = recomputeMs(&ok);
    if (!ok) {
        fprintf(stderr, "the first run failed\n");
        return 1;
    }
    const int invalid = g_debugLines;
    std::vector<double> direct;
    for (int i = 0; i < floorRounds; ++i) {
        direct.push_back(oneTransactionMs(dir.filePath(QStringLiteral("floor%1.db").arg(i)), &ok));
        if (!ok) {
            fprintf(stderr, "the one-transaction floor failed\n");
            return 1;
        }
    }

    const int rounds = 7;
    std::vector<double> second;
    std::vector<double> shell;
    for (int i = 0; i < rounds; ++i) {
        second.push_back(recomputeMs(&ok));
        if (!ok) {
            fprintf(stderr, "a later run failed\n");
            return 1;
        }
        shell.push_back(shellSelectMs(file));
    }
    const double floor = best(shell);
    if (floor <= 0) {
        fprintf(stderr, "the sqlite3 shell did not run\n");
        return 1;
    }
    printf("first run (every curve refitted):   %9.1f ms  (%d curves logged invalid)\n", first, invalid);
    printf("later run (nothing to do), best of %d: %7.1f ms\n", rounds, best(second));
    printf("floor: sqlite3 shell 'select * from curve', best of %d: %7.1f ms\n", rounds, floor);
    printf("ratio later run / floor: %.2f  (goal: within 2)\n", best(second) / floor);
    printf("ratio first run / floor: %.1f  (goal: at most 40)\n", first / floor);
    printf("floor: same fits and writes in one transaction through SQLite, best of %d: %7.1f ms\n",
           floorRounds, best(direct));
    printf("ratio first run / one-transaction floor: %.2f  (goal: within 2)\n", first / best(direct));
    return 0;
}
