#include "profiledefaults.h"

#include <QCoreApplication>

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

} // namespace

namespace ProfileDefaults {

QStringList version2()
{
    QStringList statements;
    for (const ProfileRow &row : version2Head)
        statements << statement(row);
    for (const char *name : version2ReagentDeletes)
        statements << QStringLiteral("delete from reagent where name=") + quoted(QString::fromUtf8(name));
    for (const ReagentRow &row : version2Reagents)
        statements << statement(Kind::Replace, row);
    for (const ProfileRow &row : version2Tail)
        statements << statement(row);
    return statements;
}

QStringList calibrationMethods()
{
    QStringList statements;
    for (const CalibrationRow &row : version3Calibrations)
        statements << statement(row);
    return statements;
}

QStringList everyStart()
{
    QStringList statements;
    for (const ProfileRow &row : everyRun)
        statements << statement(row);
    return statements;
}

QStringList closing()
{
    QStringList statements;
    for (const ProfileRow &row : closingProfile)
        statements << statement(row);
    statements << statement(Kind::InsertOrIgnore, closingReagent);
    return statements;
}

} // namespace ProfileDefaults
