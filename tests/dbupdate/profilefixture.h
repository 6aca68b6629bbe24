#ifndef PROFILEFIXTURE_H
#define PROFILEFIXTURE_H

#include "dbfixture.h"

// profile.db files as earlier releases left them: the legacy file of the
// sample data directory, then the schema changes of each later version, as
// those releases made them, and the version row.
namespace ProfileFixture {

inline QString script(int version)
{
    QString sql = QString::fromUtf8(Fixture::readFile(Fixture::sourcePath("samples/legacy/profile.sql")));
    if (version >= 1) {
        sql += QStringLiteral(R"(
alter table user rename to user_bak;
create table user(id integer primary key, name text unique COLLATE NOCASE, password text,
                  level integer default 0, hide integer default 0);
insert into user select id, name, password, level, hide from user_bak;
drop table user_bak;
create table curveInfo(curveId integer references curve, name text not null, value,
                       unique (curveId, name) on conflict replace);
drop trigger if exists deleteCurve;
create trigger deleteCurve after delete on curve begin
    delete from curvePoint where curvePoint.curveId = old.id;
    delete from curveVariable where curveVariable.curveId = old.id;
    delete from curveReagent where curveReagent.curveId = old.id;
    delete from curveInfo where curveInfo.curveId = old.id;
end;
create table version(version integer);
insert into curveInfo values(1, 'fitSeconds', 0.4);
insert into curveInfo values(2, 'fitSeconds', 0.3);
)");
    }
    if (version >= 2) {
        sql += QStringLiteral(R"(
alter table curve add column instrUuid text;
drop index curve_index;
update curve set instrUuid = case id when 3 then 'B2' else 'A1' end;
create unique index curve_index on curve(name, instrUuid);
)");
    }
    if (version >= 3) {
        sql += QStringLiteral(R"(
alter table assayCalibration add column method integer;
alter table assayCalibration add column dispX text;
alter table assayCalibration add column dispY text;
alter table curve add column c real;
alter table curve add column d real;
alter table curve add column e real;
alter table curve add column valid integer;
update assayCalibration set method = 1, dispX = 'Linear', dispY = 'Linear';
update curve set valid = 1;
)");
    }
    if (version >= 4) {
        sql += QStringLiteral(R"(
alter table curve add column lotsNum text;
create table currentCurve(id integer primary key, name text unique on conflict replace,
                          curveId integer references curve);
insert into currentCurve (name, curveId) select name, id from curve;
drop index curve_index;
drop trigger if exists deleteCurve;
create trigger deleteCurve after delete on curve begin
    delete from curvePoint where curvePoint.curveId = old.id;
    delete from curveVariable where curveVariable.curveId = old.id;
    delete from curveReagent where curveReagent.curveId = old.id;
    delete from curveInfo where curveInfo.curveId = old.id;
    delete from currentCurve where currentCurve.curveId = old.id;
end;
insert into curve (id, name, xunit, yunit, correlation, date, xFun, yFun, a, b, instrUuid, valid, lotsNum)
    values(4, 'PT', '%', 's', 0.999, '2026-12-01', 0, 0, 0.04, 11.5, 'A1', 1, 'P2612');
)");
    }
    if (version >= 1)
        sql += QStringLiteral("\ninsert into version values(%1);\n").arg(version);
    return sql;
}

// Lays profile.db of that version at file, then runs extra on it.
inline bool make(const QString &file, int version, const QString &extra = QString())
{
    return Fixture::runScript(file, script(version) + extra);
}

} // namespace ProfileFixture

#endif // PROFILEFIXTURE_H
