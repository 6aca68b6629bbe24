#include "updateprofile.h"

#include "curverefit.h"
#include "profiledefaults.h"

#include <QVariant>
#include <QVector>

namespace {
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
    : UpdateBase(QStringLiteral("profile.db"), blocks(), true, parent)
{
}

// The schema of every block due runs first, then the version row, then the
// data steps in table order: the defaults that depend on the old version
// and the every-start resets inside the transaction; the calibration
// recompute and the closing rows after the commit.
QVector<UpdateBase::Block> UpdateProfile::blocks()
{
    return {
        { 1, "user table with case-blind unique names; curveInfo table; curve delete trigger", {
            // Names differing only in case are one user from here on; when the
            // old table has such a pair the copy fails and the upgrade is undone.
            rebuild(QStringLiteral("user"), QString::fromUtf8(userTable), QString(), explainUserCopy),
            sql(QString::fromUtf8(curveInfoTable)),
            sql(QStringLiteral("drop trigger if exists deleteCurve")),
            sql(QString::fromUtf8(deleteCurveV1)),
            sql(QStringLiteral("create table version(version integer)")),
        } },
        { 2, "curve instrument id and unique (name, instrument) index; version-2 settings, "
             "reagent list, schedule and analysis defaults", {
            sql(QStringLiteral("alter table curve add column instrUuid text")),
            sql(QStringLiteral("drop index curve_index")),
            sql(QStringLiteral("create unique index curve_index on curve(name, instrUuid)")),
        }, writeVersion2Defaults },
        { 3, "calibration method and display axes; curve coefficients c, d, e and valid flag; "
             "calibration methods and axis functions", {
            sql(QStringLiteral("alter table assayCalibration add column method integer")),
            sql(QStringLiteral("alter table assayCalibration add column dispX text")),
            sql(QStringLiteral("alter table assayCalibration add column dispY text")),
            sql(QStringLiteral("alter table curve add column c real")),
            sql(QStringLiteral("alter table curve add column d real")),
            sql(QStringLiteral("alter table curve add column e real")),
            sql(QStringLiteral("alter table curve add column valid integer")),
        }, writeCalibrationMethods },
        { 0, "assay items (OD precision, PT normal limit) and analyst/odThreshold reset", {},
          resetAssayItems, Phase::InTransaction },
        { 4, "curve lot numbers; currentCurve table filled from the stored curves; curve_index "
             "dropped; curve delete trigger also removes currentCurve rows", {
            sql(QStringLiteral("alter table curve add column lotsNum text")),
            sql(QString::fromUtf8(currentCurveTable)),
            // Several curves may share a name from now on; currentCurve says
            // which one is in use.
            sql(QStringLiteral("drop index curve_index")),
            sql(QStringLiteral("drop trigger if exists deleteCurve")),
            sql(QString::fromUtf8(deleteCurveV4)),
        }, fillCurrentCurve },
        { 0, "calibration variables carried over; curves not marked valid refitted", {},
          recompute, Phase::AfterCommit },
        { 0, "patient/memo caption and Buffer(ATIII) reagent where missing", {},
          writeClosingRows, Phase::AfterCommit },
    };
}

void UpdateProfile::explainUserCopy(const CopyFailure &failure)
{
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

bool UpdateProfile::writeVersion2Defaults(UpdateBase &base)
{
    UpdateProfile &self = static_cast<UpdateProfile &>(base);
    for (const QString &sql : ProfileDefaults::version2())
        self.exec(sql, __FILE__, __LINE__);
    return true;
}

bool UpdateProfile::writeCalibrationMethods(UpdateBase &base)
{
    UpdateProfile &self = static_cast<UpdateProfile &>(base);
    for (const QString &sql : ProfileDefaults::calibrationMethods())
        self.exec(sql, __FILE__, __LINE__);
    return true;
}

bool UpdateProfile::resetAssayItems(UpdateBase &base)
{
    UpdateProfile &self = static_cast<UpdateProfile &>(base);
    self.exec(QStringLiteral("update assayItem set precision=-1 where name='OD'"), __FILE__, __LINE__);
    self.exec(QStringLiteral("update assayItem set upperNormal=15 where assayTemplateId="
                             "(select id from assayTemplate where name='PT') and name='T' and upperNormal=14"),
              __FILE__, __LINE__);
    for (const QString &sql : ProfileDefaults::everyStart())
        self.exec(sql, __FILE__, __LINE__);
    return true;
}

bool UpdateProfile::fillCurrentCurve(UpdateBase &base)
{
    // Where curves share a name, the last one inserted stays current. Rows
    // move: a failure stops the upgrade.
    return static_cast<UpdateProfile &>(base).execMove(
        QStringLiteral("insert into currentCurve (name, curveId) select name, id from curve"),
        __FILE__, __LINE__);
}

bool UpdateProfile::recompute(UpdateBase &base)
{
    UpdateProfile &self = static_cast<UpdateProfile &>(base);
    return self.updateVariables() && self.updateCurves();
}

bool UpdateProfile::writeClosingRows(UpdateBase &base)
{
    UpdateProfile &self = static_cast<UpdateProfile &>(base);
    for (const QString &sql : ProfileDefaults::closing())
        self.exec(sql, __FILE__, __LINE__);
    return true;
}

bool UpdateProfile::updateVariables()
{
    return CurveRefit(*this).updateVariables();
}

bool UpdateProfile::updateCurves()
{
    return CurveRefit(*this).updateCurves();
}
