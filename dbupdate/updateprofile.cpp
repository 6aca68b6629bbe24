#include "updateprofile.h"

#include "assaytemplate.h"
#include "standardcurve.h"

#include <QCoreApplication>
#include <QDate>
#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QVector>

namespace {

// How a seeded row meets a row that already has its key: insert and
// insert-or-abort keep the site's value (the failure is logged), insert-or-
// ignore keeps it silently, replace resets it, delete removes it.
enum class Kind { Insert, InsertOrAbort, InsertOrIgnore, Replace, Delete };

// A bare number is written as a numeric literal and a text as a text
// literal, so the stored types are what the settings store reads back. A
// caption is the translation of its source text, stored as text; a series
// list is a text whose %1 to %4 are the dilution series captions.
enum class Value { None, Number, Text, Caption, SeriesList };

struct ProfileRow {
    Kind kind;
    const char *key;
    Value type;
    const char *value;
};

struct ReagentRow {
    const char *name;
    int type;
    int initVolume;
    int alarmLimit;
    int vialType;
};

struct CalibrationRow {
    const char *where;   // names the calibration (one or both of its names)
    int method;
    const char *funX;    // null: left as the site has it
    const char *funY;
};

// Names of the four dilution series offered by default.
const char *const dilutionCaptions[] = {
    QT_TRANSLATE_NOOP("UpdateProfile", "梯度1"),
    QT_TRANSLATE_NOOP("UpdateProfile", "梯度2"),
    QT_TRANSLATE_NOOP("UpdateProfile", "梯度3"),
    QT_TRANSLATE_NOOP("UpdateProfile", "梯度4"),
};
const char dilutionSeries[] =
    "%1;1/5;1/10;1/20;1/30,%2;1/5;1/10;1/20;1/30;1/40,%3;1/1;1/2;1/4;1/8,%4;1/1;3/4;1/2;1/4";

// Version-2 defaults, first part: written before the reagent list.
const ProfileRow version2Head[] = {
    { Kind::Insert, "FIB/report/dilution", Value::Text, "1/10" },
    { Kind::Insert, "dilution", Value::SeriesList, dilutionSeries },
    { Kind::Insert, "patient/sampleType", Value::Caption, QT_TRANSLATE_NOOP("UpdateProfile", "样本类型") },
};

// Reagents the version-2 list replaces outright.
const char *const version2ReagentDeletes[] = { "Buffer", "Latex", "Saline" };

const ReagentRow version2Reagents[] = {
    { "Latex", 0, 2000, 200, 3 },
    { "FDP", 0, 2000, 200, 3 },
    { "Saline", 2, 6500, 200, 6 },
    { "Buffer(PT)", 2, 6500, 200, 6 },
    { "Buffer(APTT)", 2, 6500, 200, 6 },
    { "Buffer(FIB)", 2, 6500, 200, 6 },
    { "Buffer(TT)", 2, 6500, 200, 6 },
    { "Buffer(DD)", 2, 6500, 200, 6 },
    { "Buffer(EX)", 2, 6500, 200, 6 },
    { "Buffer(EN)", 2, 6500, 200, 6 },
    { "Buffer(FDP)", 2, 6500, 200, 6 },
    { "DD ct", 5, 1000, 200, 1 },
    { "FDP ct", 5, 1000, 200, 1 },
};

// Version-2 defaults, after the reagent list.
const ProfileRow version2Tail[] = {
    { Kind::Replace, "DD/mix/times", Value::Number, "3" },
    { Kind::Replace, "DD/max_clot_time", Value::Number, "120" },
    { Kind::Replace, "specialValue/DD/P", Value::Number, "0.1" },
    { Kind::Replace, "DD/priority", Value::Number, "10" },
    { Kind::Replace, "FDP/mix/times", Value::Number, "3" },
    { Kind::Replace, "FDP/max_clot_time", Value::Number, "120" },
    { Kind::Replace, "specialValue/FDP/P", Value::Number, "0.1" },
    // No assay stays switched off after the upgrade.
    { Kind::Delete, "DD/disable", Value::None, nullptr },
    { Kind::Delete, "II/disable", Value::None, nullptr },
    { Kind::Delete, "V/disable", Value::None, nullptr },
    { Kind::Delete, "VII/disable", Value::None, nullptr },
    { Kind::Delete, "X/disable", Value::None, nullptr },
    { Kind::Delete, "VIII/disable", Value::None, nullptr },
    { Kind::Delete, "IX/disable", Value::None, nullptr },
    { Kind::Delete, "XI/disable", Value::None, nullptr },
    { Kind::Delete, "XII/disable", Value::None, nullptr },
    { Kind::Delete, "FDP/disable", Value::None, nullptr },
    { Kind::Insert, "reagent/initVolume", Value::Caption, QT_TRANSLATE_NOOP("UpdateProfile", "初始量[ul]") },
    { Kind::Insert, "reagent/alarmLimit", Value::Caption, QT_TRANSLATE_NOOP("UpdateProfile", "报警限[ul]") },
    { Kind::Insert, "reagent/interruptLimit", Value::Caption, QT_TRANSLATE_NOOP("UpdateProfile", "中断限[ul]") },
    { Kind::Insert, "patient/hospitalNo", Value::Caption, QT_TRANSLATE_NOOP("UpdateProfile", "住院号") },
    { Kind::Replace, "schedule/sample", Value::Number, "6" },
    { Kind::Replace, "schedule/reagent", Value::Number, "6" },
    { Kind::Replace, "schedule/mix", Value::Number, "2" },
    { Kind::Replace, "schedule/dilution", Value::Number, "12" },
    { Kind::Replace, "schedule/dilution/1/10", Value::Number, "12" },
    { Kind::Replace, "schedule/dilution/1/20", Value::Number, "17" },
    { Kind::Replace, "schedule/dilution/1/40", Value::Number, "22" },
    { Kind::Replace, "schedule/clean", Value::Number, "15" },
    { Kind::Replace, "schedule/test/PT", Value::Number, "27" },
    { Kind::Replace, "schedule/test/FIB/table", Value::Text, "0.2,25;0.1,35;0.05,45;0.025,65" },
    { Kind::Replace, "schedule/test/APTT", Value::Number, "50" },
    { Kind::Replace, "schedule/test/TT", Value::Number, "35" },
    { Kind::Replace, "schedule/test/II", Value::Number, "30" },
    { Kind::Replace, "schedule/test/V", Value::Number, "30" },
    { Kind::Replace, "schedule/test/VII", Value::Number, "30" },
    { Kind::Replace, "schedule/test/X", Value::Number, "30" },
    { Kind::Replace, "schedule/test/VIII", Value::Number, "30" },
    { Kind::Replace, "schedule/test/IX", Value::Number, "30" },
    { Kind::Replace, "schedule/test/XI", Value::Number, "30" },
    { Kind::Replace, "schedule/test/XII", Value::Number, "30" },
    { Kind::InsertOrAbort, "analyst/FIB/odPercent", Value::Number, "0.5" },
    { Kind::Replace, "analyst/FIB/odThreshold", Value::Text, "4,0.008; 6,0.004; 10,0.0025; 20,0.001; 40,0.0005" },
    { Kind::Replace, "analyst/APTT/odThreshold", Value::Text, "4,0.2; 10,0.05; 20,0.02" },
};

// Version-3 regression methods and axis functions of the calibrations.
const CalibrationRow version3Calibrations[] = {
    { "name='PT'", 0, nullptr, nullptr },
    { "name='PT 演算 FIB' or name='PT calculate FIB'", 0, "Log", "Log" },
    { "name='FIB'", 0, nullptr, nullptr },
    { "name='DD'", 4, "Log", "Linear" },
    { "name='FDP'", 4, "Log", "Linear" },
    { "name='AT'", 4, "Log", "Linear" },
    { "name='II'", 0, nullptr, nullptr },
    { "name='V'", 0, nullptr, nullptr },
    { "name='VII'", 0, nullptr, nullptr },
    { "name='X'", 0, nullptr, nullptr },
    { "name='VIII'", 0, nullptr, nullptr },
    { "name='IX'", 0, nullptr, nullptr },
    { "name='XI'", 0, nullptr, nullptr },
    { "name='XII'", 0, nullptr, nullptr },
};

// Reset on every start.
const ProfileRow everyRun[] = {
    { Kind::Replace, "analyst/odThreshold", Value::Text, "4,0.2; 7,0.02; 10,0.008" },
};

// Written last, once the calibrations are through; never over a site's row.
const ProfileRow closingProfile[] = {
    { Kind::InsertOrIgnore, "patient/memo", Value::Caption, QT_TRANSLATE_NOOP("UpdateProfile", "备注") },
};
const ReagentRow closingReagent = { "Buffer(ATIII)", 2, 6500, 200, 6 };

// A text as an SQL literal. Captions come from translation catalogues, so a
// quote in one must end up in the stored text, not in the statement.
QString quoted(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + escaped + QLatin1Char('\'');
}

QString caption(const char *source)
{
    return QCoreApplication::translate("UpdateProfile", source);
}

QString verb(Kind kind)
{
    switch (kind) {
    case Kind::Insert: return QStringLiteral("insert into");
    case Kind::InsertOrAbort: return QStringLiteral("insert or abort into");
    case Kind::InsertOrIgnore: return QStringLiteral("insert or ignore into");
    case Kind::Replace: return QStringLiteral("replace into");
    case Kind::Delete: break;
    }
    return QString();
}

QString statement(const ProfileRow &row)
{
    const QString key = QString::fromUtf8(row.key);
    if (row.kind == Kind::Delete)
        return QStringLiteral("delete from profile where name=") + quoted(key);

    QString value;
    switch (row.type) {
    case Value::Number:
        value = QString::fromLatin1(row.value);
        break;
    case Value::Text:
        value = quoted(QString::fromUtf8(row.value));
        break;
    case Value::SeriesList:
        // All four filled at once, so a translation that itself holds "%2"
        // is stored as it is.
        value = quoted(QString::fromUtf8(row.value)
                           .arg(caption(dilutionCaptions[0]), caption(dilutionCaptions[1]),
                                caption(dilutionCaptions[2]), caption(dilutionCaptions[3])));
        break;
    case Value::Caption:
        value = quoted(caption(row.value));
        break;
    case Value::None:
        value = QStringLiteral("null");
        break;
    }
    return verb(row.kind) + QStringLiteral(" profile values(%1, %2)").arg(quoted(key), value);
}

QString statement(Kind kind, const ReagentRow &row)
{
    return verb(kind)
        + QStringLiteral(" reagent (type, name, initVolume, alarmLimit, vialType) values(%1, %2, %3, %4, %5)")
              .arg(row.type)
              .arg(quoted(QString::fromUtf8(row.name)))
              .arg(row.initVolume)
              .arg(row.alarmLimit)
              .arg(row.vialType);
}

QString statement(const CalibrationRow &row)
{
    QString set = QStringLiteral("method=%1").arg(row.method);
    if (row.funX)
        set += QStringLiteral(", funX=") + quoted(QString::fromUtf8(row.funX));
    if (row.funY)
        set += QStringLiteral(", funY=") + quoted(QString::fromUtf8(row.funY));
    set += QStringLiteral(", dispX='Log', dispY='Log'");
    return QStringLiteral("update assayCalibration set ") + set + QStringLiteral(" where ")
        + QString::fromUtf8(row.where);
}

const char userTable[] =
    "create table user(id integer primary key, name text unique COLLATE NOCASE, password text, "
    "level integer default 0, hide integer default 0)";

const char curveInfoTable[] =
    "-- curve debug info, since v1\n"
    "create table curveInfo(curveId integer references curve, name text not null, value, "
    "unique (curveId, name) on conflict replace)";

// The trigger's first form; the second adds the currentCurve rows. One line
// each, so a failed create stays one line in the log.
const char deleteCurveV1[] =
    "create trigger deleteCurve after delete on curve begin "
    "delete from curvePoint    where    curvePoint.curveId = old.id; "
    "delete from curveVariable where curveVariable.curveId = old.id; "
    "delete from curveReagent  where  curveReagent.curveId = old.id; "
    "delete from curveInfo     where     curveInfo.curveId = old.id; "
    "end";
const char deleteCurveV4[] =
    "create trigger deleteCurve after delete on curve begin "
    "delete from curvePoint    where    curvePoint.curveId = old.id; "
    "delete from curveVariable where curveVariable.curveId = old.id; "
    "delete from curveReagent  where  curveReagent.curveId = old.id; "
    "delete from curveInfo     where     curveInfo.curveId = old.id; "
    "delete from currentCurve  where  currentCurve.curveId = old.id; "
    "end";

const char currentCurveTable[] =
    "-- currentCurve\n"
    "create table currentCurve(id integer primary key, name text unique on conflict replace, "
    "curveId integer references curve)";

} // namespace

UpdateProfile::UpdateProfile(QObject *parent)
    : UpdateBase(QStringLiteral("profile.db"), parent)
{
}

// One entry per `if (version() < N)` step of update() below (schema and
// the defaults that depend on the old version), and one per step that runs
// on every start; keep them together.
QVector<UpdateBase::Block> UpdateProfile::blocks()
{
    return {
        { 1, "user table with case-blind unique names; curveInfo table; curve delete trigger" },
        { 2, "curve instrument id and unique (name, instrument) index; version-2 settings, "
             "reagent list, schedule and analysis defaults" },
        { 3, "calibration method and display axes; curve coefficients c, d, e and valid flag; "
             "calibration methods and axis functions" },
        { 4, "curve lot numbers; currentCurve table filled from the stored curves; curve_index "
             "dropped; curve delete trigger also removes currentCurve rows" },
        { 0, "assay items (OD precision, PT normal limit) and analyst/odThreshold reset" },
        { 0, "calibration variables carried over; curves not marked valid refitted" },
        { 0, "patient/memo caption and Buffer(ATIII) reagent where missing" },
    };
}

bool UpdateProfile::update()
{
    // A file left by a newer release gets none of the steps, not even those
    // of every start: that release would take them for its own.
    if (newerThan(currentVersion(blocks())))
        return true;

    // Before the first schema statement: no copy, no upgrade.
    if (!backupBeforeUpgrade(currentVersion(blocks())))
        return false;

    // The schema steps, the version row and the data steps that depend on
    // the old version commit together: a run killed or failed before the
    // commit leaves the file as it was, and the next run starts over.
    beginTransaction(__FILE__, __LINE__);
    if (!inTransaction())
        return false;

    // Read again inside the transaction: the version is the file's until the
    // commit. When it differs from the one the steps are chosen by, another
    // program changed the file in between; nothing is done now and the next
    // start upgrades the file.
    const int stored = storedVersion();
    if (stored != version()) {
        qWarning("profile.db changed while the upgrade started (version %d, now %d); it is left for the next start",
                 version(), stored);
        rollbackTransaction(__FILE__, __LINE__);
        return false;
    }

    if (version() < 1) {
        // Names differing only in case are one user from here on; when the old
        // table has such a pair the copy fails and the whole upgrade is undone.
        CopyFailure failure;
        if (!rebuildTable(QStringLiteral("user"), QString::fromUtf8(userTable), QString(),
                          __FILE__, __LINE__, &failure)) {
            // A lost transaction has been reported where it happened.
            const bool lost = transactionLost();
            rollbackTransaction(__FILE__, __LINE__);
            if (!lost) {
                const QString user = failure.rowid.isValid()
                    ? QStringLiteral("user id %1").arg(failure.rowid.toLongLong())
                    : QStringLiteral("a user");
                // The hint only where it is the cause: two names alike but for case.
                const QString hint = failure.error.contains(QLatin1String("UNIQUE constraint failed: user.name"))
                    ? QStringLiteral("; names must differ in more than letter case")
                    : QString();
                qWarning("profile.db: %s could not be copied into the new user table (%s%s); the "
                         "upgrade was undone and the file is unchanged",
                         user.toUtf8().constData(), failure.error.toUtf8().constData(),
                         hint.toUtf8().constData());
            }
            return false;
        }
        exec(QString::fromUtf8(curveInfoTable), __FILE__, __LINE__);
        exec(QStringLiteral("drop trigger if exists deleteCurve"), __FILE__, __LINE__);
        exec(QString::fromUtf8(deleteCurveV1), __FILE__, __LINE__);
        exec(QStringLiteral("create table version(version integer)"), __FILE__, __LINE__);
    }
    if (version() < 2) {
        exec(QStringLiteral("alter table curve add column instrUuid text"), __FILE__, __LINE__);
        exec(QStringLiteral("drop index curve_index"), __FILE__, __LINE__);
        exec(QStringLiteral("create unique index curve_index on curve(name, instrUuid)"),
             __FILE__, __LINE__);
    }
    if (version() < 3) {
        static const char *const statements[] = {
            "alter table assayCalibration add column method integer",
            "alter table assayCalibration add column dispX text",
            "alter table assayCalibration add column dispY text",
            "alter table curve add column c real",
            "alter table curve add column d real",
            "alter table curve add column e real",
            "alter table curve add column valid integer",
        };
        for (const char *sql : statements)
            exec(QString::fromLatin1(sql), __FILE__, __LINE__);
    }
    if (version() < 4) {
        exec(QStringLiteral("alter table curve add column lotsNum text"), __FILE__, __LINE__);
        exec(QString::fromUtf8(currentCurveTable), __FILE__, __LINE__);
        // Several curves may share a name from now on; currentCurve says
        // which one is in use.
        exec(QStringLiteral("drop index curve_index"), __FILE__, __LINE__);
        exec(QStringLiteral("drop trigger if exists deleteCurve"), __FILE__, __LINE__);
        exec(QString::fromUtf8(deleteCurveV4), __FILE__, __LINE__);
    }

    exec(QStringLiteral("delete from version"), __FILE__, __LINE__);
    exec(QStringLiteral("insert into version values(4)"), __FILE__, __LINE__);

    if (version() < 2) {
        for (const ProfileRow &row : version2Head)
            exec(statement(row), __FILE__, __LINE__);
        for (const char *name : version2ReagentDeletes)
            exec(QStringLiteral("delete from reagent where name=") + quoted(QString::fromUtf8(name)),
                 __FILE__, __LINE__);
        for (const ReagentRow &row : version2Reagents)
            exec(statement(Kind::Replace, row), __FILE__, __LINE__);
        for (const ProfileRow &row : version2Tail)
            exec(statement(row), __FILE__, __LINE__);
    }
    if (version() < 3) {
        for (const CalibrationRow &row : version3Calibrations)
            exec(statement(row), __FILE__, __LINE__);
    }

    exec(QStringLiteral("update assayItem set precision=-1 where name='OD'"), __FILE__, __LINE__);
    exec(QStringLiteral("update assayItem set upperNormal=15 where assayTemplateId="
                        "(select id from assayTemplate where name='PT') and name='T' and upperNormal=14"),
         __FILE__, __LINE__);
    for (const ProfileRow &row : everyRun)
        exec(statement(row), __FILE__, __LINE__);

    if (version() < 4) {
        // Where curves share a name, the last one inserted stays current.
        exec(QStringLiteral("insert into currentCurve (name, curveId) select name, id from curve"),
             __FILE__, __LINE__);
    }

    // Fails when SQLite itself dropped the transaction; the file is then at
    // its old version and the next run starts over.
    if (!commitTransaction(__FILE__, __LINE__))
        return false;

    if (!updateVariables())
        return false;
    if (!updateCurves())
        return false;

    for (const ProfileRow &row : closingProfile)
        exec(statement(row), __FILE__, __LINE__);
    exec(statement(Kind::InsertOrIgnore, closingReagent), __FILE__, __LINE__);
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
    if (count.next() && count.value(0).toLongLong() >= 1)
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
                // Only the row's name and fit settings matter here; its
                // id is kept for the model and never written back.
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
                          + QByteArray::number(row.id.toLongLong()) + ' ').constData());
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
        curveUpdate.bindValue(QStringLiteral(":id"), row.id);
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
