// The calibration recompute on a profile.db of many curves: the first run,
// which refits every curve, and the run on every later start, which finds
// them all valid. The floor is a bare "select * from curve" by the sqlite3
// shell on the same file.
//
// Usage: bench_calibration [CURVES [NAMES [POINTS]]]   (default 2000 20 12)

#include "updateprofile.h"

#include <QCoreApplication>
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
    qInstallMessageHandler(quiet);

    printf("profile.db: %d curves of %d points, %d calibration names\n", curves, points, names);
    bool ok = false;
    const double first = recomputeMs(&ok);
    if (!ok) {
        fprintf(stderr, "the first run failed\n");
        return 1;
    }
    const int invalid = g_debugLines;

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
    printf("ratio first run / floor: %.1f\n", first / floor);
    return 0;
}
