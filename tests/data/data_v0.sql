-- data.db as the first workstation release left it: no version table, one
-- result table, curves without a version, no detail table, lookup lists
-- without case-blind abbreviations (two of them already indexed under the
-- names the upgrade uses), and the first delete trigger.
create table patient(id integer primary key, sampleNo text, date date, name text, age integer,
                     sex text, department text, treatmentRoom text, diagnosis text,
                     doctor text, operator text);
create table exam(id integer primary key, sampleNo text, date date, item text, status integer);
create table patientExtra(id integer primary key, patientId integer, name text, value text);
create table department(id integer primary key, abbr text, name text);
create index department_index on department (abbr);
create table sex(id integer primary key, abbr text, name text);
create table treatmentRoom(id integer primary key, abbr text, name text);
create table diagnosis(id integer primary key, abbr text, name text);
create table doctor(id integer primary key, abbr text, name text);
create index doctor_index on doctor (abbr);
create table operator(id integer primary key, abbr text, name text);
create table result(id integer primary key, patientId integer references patient, item text, subitem text,
                    abbr text, code text, result real, unit text, flag integer, displayOrder integer,
                    lowerMarkLimit real, upperMarkLimit real);
create index result_index on result(patientId, item, subitem);
create table curve(id integer primary key, patientId integer references patient, item text, curve blob);
create trigger on_delete_patient after delete on patient
begin
    delete from exam where old.sampleNo = exam.sampleNo and old.date = exam.date;
    delete from result where old.id = result.patientId;
    delete from patientExtra where old.id = patientExtra.patientId;
    delete from curve where old.id = curve.patientId;
end;

insert into department values(1, 'ICU', 'Intensive care unit');
insert into department values(2, 'Er', 'Emergency');
insert into department values(5, 'card', 'Cardiology');
insert into sex values(1, 'M', 'Male');
insert into sex values(2, 'f', 'Female');
insert into treatmentRoom values(1, 'r1', 'Treatment room 1');
insert into treatmentRoom values(2, 'R2', 'Treatment room 2');
insert into diagnosis values(1, 'Dvt', 'Deep vein thrombosis');
insert into diagnosis values(3, 'af', 'Atrial fibrillation');
insert into doctor values(1, 'lw', 'Dr. Lee Wen');
insert into doctor values(2, 'Hm', 'Dr. Hu Min');
insert into operator values(1, 'Adm', 'Administrator');
insert into operator values(2, 'tech', 'Lab technician O''Neil');
insert into patient values(1, '1', '2009-03-02', 'Zhang San', 54, 'M', 'ICU', 'r1', 'Dvt', 'lw', 'Adm');
insert into patient values(2, '2', '2009-03-02', 'Li Si', 61, 'f', 'Er', 'R2', 'af', 'Hm', 'tech');
insert into patient values(3, '1', '2009-03-03', 'Wang Wu', 38, 'M', 'card', null, null, 'lw', 'Adm');
insert into exam values(1, '1', '2009-03-02', 'PT', 2);
insert into exam values(2, '2', '2009-03-02', 'APTT', 2);
insert into exam values(3, '1', '2009-03-03', 'FIB', 1);
insert into patientExtra values(1, 1, 'ward', '3B');
insert into patientExtra values(2, 2, 'ward', '5A');
insert into result values(1, 1, 'PT', 'PT.T', 'PT', 'Prothrombin time', 12.4, 's', 0, 1, 11.0, 14.5);
insert into result values(2, 2, 'APTT', 'APTT.T', 'APTT', 'Activated partial thromboplastin time', 48.2, 's', 16, 1, 25.0, 37.0);
insert into result values(4, 3, 'FIB', 'FIB.C', 'FIB', 'Fibrinogen', null, 'g/L', 2, 1, 2.0, 4.0);
insert into curve values(1, 1, 'PT', x'000000000000000100000000000000003fb999999999999a00000004408960000000000040894c000000000040840200000000004079200000000000');
insert into curve values(2, 2, 'APTT', x'000000000000000200000000000000003fb999999999999a000000034088b000000000004088a000000000004085e40000000000403e0000000000003fe00000000000000000000240845000000000004080000000000000');
insert into curve values(3, 3, 'FIB', x'0000000000000000');
