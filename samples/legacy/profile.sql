-- profile.db as a workstation left it before schema versions were kept.
create table profile(name text unique, value);
create table user(id integer primary key, name text, password text, level integer, hide integer);
create table assayTemplate(id integer primary key, name text);
create table assayItem(id integer primary key, assayTemplateId integer, name text, unit text,
                       precision integer, lowerNormal real, upperNormal real);
create table assayCalibration(id integer primary key, name text, assayTemplateId integer, condition text,
                              caliX text, caliY text, funX text, funY text);
create table variable(id integer primary key, assayTemplateId integer, name text, value);
create table reagent(id integer primary key, type integer, name text unique, initVolume real,
                     alarmLimit real, vialType integer);
create table curve(id integer primary key, name text, xunit text, yunit text, correlation real, date date,
                   xFun integer, yFun integer, a real, b real);
create index curve_index on curve(name);
create table curvePoint(id integer primary key, curveId integer, x real, y real, z real, flags integer);
create table curveVariable(id integer primary key, curveId integer, name text, value);
create table curveReagent(id integer primary key, curveId integer, name text, lot text);
create trigger deleteCurve after delete on curve
begin
    delete from curvePoint where curvePoint.curveId = old.id;
end;

insert into profile values('hospital', 'County General Hospital');
insert into profile values('routine_sample_prefix', 'S');
insert into profile values('DD/disable', 'true');
insert into profile values('schedule/test/PT', 25);
insert into user values(1, 'admin', 'admin', 2, 0);
insert into user values(2, 'operator', '1234', 0, 0);
insert into assayTemplate values(1, 'PT');
insert into assayTemplate values(2, 'FIB');
insert into assayTemplate values(3, 'DD');
insert into assayItem values(1, 1, 'T', 's', 1, 11.0, 14.5);
insert into assayItem values(2, 1, 'OD', '', 3, null, null);
insert into assayItem values(3, 2, 'C', 'g/L', 2, 2.0, 4.0);
insert into assayItem values(4, 3, 'C', 'mg/L', 2, null, 0.5);
insert into assayItem values(5, 3, 'OD', '', 4, null, null);
insert into assayCalibration values(1, 'FIB', 2, '', 'Concentration', 'Time', 'Log', 'Log');
insert into assayCalibration values(2, 'PT', 1, '', 'Activity', 'Time', 'Linear', 'Linear');
insert into assayCalibration values(3, 'PT 演算 FIB', 1, '', 'Concentration', 'Time', 'Linear', 'Linear');
insert into assayCalibration values(4, 'DD', 3, '', 'Concentration', 'OD', 'Linear', 'Log');
insert into variable values(1, 2, 'ISI', 1.02);
insert into reagent values(1, 0, 'PT', 2000, 200, 1);
insert into reagent values(2, 2, 'Buffer', 6500, 200, 6);
insert into reagent values(3, 0, 'Latex', 1000, 100, 2);
insert into curve values(1, 'FIB', 'g/L', 's', 0.999, '2026-11-02', 1, 1, 1.30, -0.65);
insert into curve values(2, 'PT', '%', 's', 0.998, '2026-10-12', 0, 0, 0.05, 11.2);
insert into curve values(3, 'FIB', 'g/L', 's', 0.997, '2026-11-20', 1, 1, 1.28, -0.63);
insert into curvePoint values(1, 1, 1.0, 20.0, null, null);
insert into curvePoint values(2, 1, 2.0, 12.7, null, null);
insert into curvePoint values(3, 1, 4.0, 8.1, null, null);
insert into curveVariable values(1, 1, 'ISI', 1.02);
insert into curvePoint values(4, 2, 100.0, 11.9, null, null);
insert into curvePoint values(5, 2, 50.0, 14.6, null, null);
insert into curvePoint values(6, 3, 1.0, 19.6, null, null);
insert into curvePoint values(7, 3, 4.0, 8.3, null, null);
insert into curveReagent values(1, 1, 'Thrombin', 'T2611');
insert into curveReagent values(2, 3, 'Thrombin', 'T2612');
