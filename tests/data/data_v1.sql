-- data.db at schema version 1: the patient's sample type and hospital
-- number, case-blind indexed lookup lists, a detail table with one row per
-- patient and item; the delete trigger is still the first one.
create table patient(id integer primary key, sampleNo text, date date, name text, age integer,
                     sex text, department text, treatmentRoom text, diagnosis text,
                     doctor text, operator text);
alter table patient add sampleType text;
alter table patient add hospitalNo text;
create table exam(id integer primary key, sampleNo text, date date, item text, status integer);
create table patientExtra(id integer primary key, patientId integer, name text, value text);
create table department(
    id integer primary key,
    abbr text COLLATE NOCASE,
    name text);
create index if not exists department_index on department (abbr);
create table sex(
    id integer primary key,
    abbr text COLLATE NOCASE,
    name text);
create index if not exists sex_index on sex (abbr);
create table treatmentRoom(
    id integer primary key,
    abbr text COLLATE NOCASE,
    name text);
create index if not exists treatmentRoom_index on treatmentRoom (abbr);
create table diagnosis(
    id integer primary key,
    abbr text COLLATE NOCASE,
    name text);
create index if not exists diagnosis_index on diagnosis (abbr);
create table doctor(
    id integer primary key,
    abbr text COLLATE NOCASE,
    name text);
create index if not exists doctor_index on doctor (abbr);
create table operator(
    id integer primary key,
    abbr text COLLATE NOCASE,
    name text);
create index if not exists operator_index on operator (abbr);
create table result(id integer primary key, patientId integer references patient, item text, subitem text,
                    abbr text, code text, result real, unit text, flag integer, displayOrder integer,
                    lowerMarkLimit real, upperMarkLimit real);
create index result_index on result(patientId, item, subitem);
create table curve(id integer primary key, patientId integer references patient, item text, curve blob);
create table detail(
    id integer primary key,
    patientId integer references patient, -- patient
    item text,                            -- test item
    info text,                            -- test details
    unique(patientId, item) on conflict replace
    );
create table version(version integer);
insert into version values(1);
create trigger on_delete_patient after delete on patient
begin
    delete from exam where old.sampleNo = exam.sampleNo and old.date = exam.date;
    delete from result where old.id = result.patientId;
    delete from patientExtra where old.id = patientExtra.patientId;
    delete from curve where old.id = curve.patientId;
end;

insert into department values(1, 'ICU', 'Intensive care unit');
insert into department values(2, 'Er', 'Emergency');
insert into sex values(1, 'M', 'Male');
insert into sex values(2, 'f', 'Female');
insert into treatmentRoom values(1, 'r1', 'Treatment room 1');
insert into diagnosis values(1, 'Dvt', 'Deep vein thrombosis');
insert into doctor values(1, 'lw', 'Dr. Lee Wen');
insert into operator values(1, 'Adm', 'Administrator');
insert into patient values(1, '1', '2011-06-20', 'Zhang San', 54, 'M', 'ICU', 'r1', 'Dvt', 'lw', 'Adm', 'routine', 'H0001');
insert into patient values(2, '2', '2011-06-20', 'Li Si', 61, 'f', 'Er', null, null, 'lw', 'Adm', 'statim', 'H0002');
insert into exam values(1, '1', '2011-06-20', 'PT', 2);
insert into exam values(2, '2', '2011-06-20', 'APTT', 2);
insert into patientExtra values(1, 1, 'ward', '3B');
insert into result values(1, 1, 'PT', 'PT.T', 'PT', 'Prothrombin time', 12.4, 's', 0, 1, 11.0, 14.5);
insert into result values(2, 1, 'PT', 'PT.INR', 'INR', 'International normalised ratio', 1.05, '', 0, 2, 0.8, 1.2);
insert into result values(3, 2, 'APTT', 'APTT.T', 'APTT', 'Activated partial thromboplastin time', 48.2, 's', 16, 1, 25.0, 37.0);
insert into curve values(1, 1, 'PT', x'000000000000000100000000000000003fb999999999999a00000004408960000000000040894c000000000040840200000000004079200000000000');
insert into curve values(2, 2, 'APTT', x'000000000000000200000000000000003fb999999999999a000000034088b000000000004088a000000000004085e40000000000403e0000000000003fe00000000000000000000240845000000000004080000000000000');
insert into detail values(1, 1, 'PT', 'channel 2');
insert into detail values(2, 2, 'APTT', 'channel 1; reagent lot 2210');
