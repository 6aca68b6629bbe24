-- data.db as a workstation left it at schema version 2: one result table,
-- unversioned curves and details, the old delete trigger.
create table patient(id integer primary key, sampleNo text, date date, name text, age integer,
                     sex text, department text, doctor text, sampleType text, hospitalNo text);
create table exam(id integer primary key, sampleNo text, date date, item text);
create table patientExtra(id integer primary key, patientId integer, name text, value text);
create table department(id integer primary key, abbr text COLLATE NOCASE, name text);
create index if not exists department_index on department (abbr);
create table sex(id integer primary key, abbr text COLLATE NOCASE, name text);
create index if not exists sex_index on sex (abbr);
create table treatmentRoom(id integer primary key, abbr text COLLATE NOCASE, name text);
create index if not exists treatmentRoom_index on treatmentRoom (abbr);
create table diagnosis(id integer primary key, abbr text COLLATE NOCASE, name text);
create index if not exists diagnosis_index on diagnosis (abbr);
create table doctor(id integer primary key, abbr text COLLATE NOCASE, name text);
create index if not exists doctor_index on doctor (abbr);
create table operator(id integer primary key, abbr text COLLATE NOCASE, name text);
create index if not exists operator_index on operator (abbr);
create table result(id integer primary key, patientId integer references patient, item text, subitem text,
                    abbr text, code text, result real, unit text, flag integer, displayOrder integer,
                    lowerMarkLimit real, upperMarkLimit real);
create index result_index on result(patientId, item, subitem);
create table curve(id integer primary key, patientId integer references patient, item text, curve blob);
create table detail(id integer primary key, patientId integer references patient, item text, info text,
                    unique(patientId, item) on conflict replace);
create trigger on_delete_patient after delete on patient
begin
    delete from exam where old.sampleNo = exam.sampleNo and old.date = exam.date;
    delete from result where old.id = result.patientId;
    delete from patientExtra where old.id = patientExtra.patientId;
    delete from curve where old.id = curve.patientId;
    delete from detail where old.id = detail.patientId;
end;
create table version(version integer);
insert into version values(2);

insert into department values(1, 'ICU', 'Intensive care unit');
insert into department values(2, 'Er', 'Emergency');
insert into sex values(1, 'M', 'Male');
insert into sex values(2, 'F', 'Female');
insert into doctor values(1, 'lw', 'Dr. Lee Wen');
insert into operator values(1, 'adm', 'Administrator');
insert into patient values(1, '1', '2026-12-01', 'Zhang San', 54, 'M', 'ICU', 'lw', 'routine', 'H001');
insert into patient values(2, '2', '2026-12-01', 'Li Si', 61, 'F', 'Er', 'lw', 'statim', 'H002');
insert into patient values(3, '10', '2026-12-01', 'Wang Wu', 38, 'M', 'ICU', 'lw', 'routine', 'H003');
insert into exam values(1, '1', '2026-12-01', 'PT');
insert into patientExtra values(1, 1, 'ward', '3B');
insert into result values(1, 1, 'PT', 'PT.T', 'PT', 'Prothrombin time', 12.4, 's', 0, 1, 11.0, 14.5);
insert into result values(2, 1, 'PT', 'PT.INR', 'INR', 'International normalised ratio', 1.05, '', 0, 2, 0.8, 1.2);
insert into result values(3, 2, 'APTT', 'APTT.T', 'APTT', 'Activated partial thromboplastin time', 48.2, 's', 16, 1, 25.0, 37.0);
insert into result values(4, 3, 'FIB', 'FIB.C', 'FIB', 'Fibrinogen', 3.1, 'g/L', 0, 1, 2.0, 4.0);
insert into curve values(1, 1, 'PT', x'000000010000000240000000000000003ff00000000000004000000000000000');
insert into curve values(2, 2, 'APTT', x'00000001000000003ff0000000000000');
insert into detail values(1, 1, 'PT', 'channel 2');
insert into detail values(2, 2, 'APTT', 'channel 1');
