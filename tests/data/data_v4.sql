-- data.db at schema version 4: as version 3, with the view result over the
-- chosen versions.
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
create table results(
    id integer primary key,
    patientId integer references patient, -- patient
    item text,            -- test item
    subitem text,         -- test sub-item
    version integer,      -- result version
    abbr text,            -- abbreviation
    code text,            -- code name
    date date,            -- saved on
    time time,            -- saved at
    result real,          -- value
    unit text,            -- unit
    flag integer,         -- flags
    displayOrder integer, -- display order
    lowerMarkLimit real,  -- lower normal limit
    upperMarkLimit real   -- upper normal limit
    );
create index results_index on results(patientId, item, subitem);
create table checkedResult(
    id integer primary key,
    patientId integer references patient, -- patient
    item text,                            -- test item
    subitem text,                         -- test sub-item
    resultsId integer references results, -- chosen result
    unique(patientId, item, subitem) on conflict replace
    );
create index checkedResult_index on checkedResult(patientId, item, subitem);
create table curve(
    id integer primary key,
    patientId integer references patient, -- patient
    item text,                            -- test item
    version integer,                      -- result version
    curve blob                            -- curve data
    );
create table detail(
    id integer primary key,
    patientId integer references patient, -- patient
    item text,                            -- test item
    version integer,                      -- result version
    info text                             -- test details
    );
create trigger on_delete_patient after delete on patient
begin
  delete from patientExtra where old.id = patientExtra.patientId;
  delete from exam where old.sampleNo = exam.sampleNo and old.date = exam.date;
  delete from results where old.id = results.patientId;
  delete from checkedResult where old.id = checkedResult.patientId;
  delete from curve where old.id = curve.patientId;
  delete from detail where old.id = detail.patientId;
end;
create table version(version integer);
insert into version values(4);
create view result as 
  select results.* 
  from results, checkedResult 
  where results.id = checkedResult.resultsId 
  and results.patientId = checkedResult.patientId;

insert into department values(1, 'ICU', 'Intensive care unit');
insert into department values(2, 'Er', 'Emergency');
insert into sex values(1, 'M', 'Male');
insert into sex values(2, 'f', 'Female');
insert into treatmentRoom values(1, 'r1', 'Treatment room 1');
insert into diagnosis values(1, 'Dvt', 'Deep vein thrombosis');
insert into doctor values(1, 'lw', 'Dr. Lee Wen');
insert into operator values(1, 'Adm', 'Administrator');
insert into patient values(1, '1', '2016-08-15', 'Zhang San', 54, 'M', 'ICU', 'r1', 'Dvt', 'lw', 'Adm', 'routine', 'H0001');
insert into patient values(2, '2', '2016-08-15', 'Li Si', 61, 'f', 'Er', null, null, 'lw', 'Adm', 'statim', 'H0002');
insert into exam values(1, '1', '2016-08-15', 'PT', 2);
insert into exam values(2, '2', '2016-08-15', 'APTT', 2);
insert into patientExtra values(1, 1, 'ward', '3B');
insert into results values(1, 1, 'PT', 'PT.T', 1, 'PT', 'Prothrombin time', null, null, 12.4, 's', 0, 1, 11.0, 14.5);
insert into results values(2, 1, 'PT', 'PT.INR', 1, 'INR', 'International normalised ratio', null, null, 1.05, '', 0, 2, 0.8, 1.2);
insert into results values(3, 2, 'APTT', 'APTT.T', 1, 'APTT', 'Activated partial thromboplastin time', null, null, 48.2, 's', 16, 1, 25.0, 37.0);
insert into results values(4, 1, 'PT', 'PT.T', 2, 'PT', 'Prothrombin time', '2016-08-15', '10:42:07', 12.9, 's', 0, 1, 11.0, 14.5);
insert into results values(5, 1, 'PT', 'PT.INR', 2, 'INR', 'International normalised ratio', '2016-08-15', '10:42:07', 1.09, '', 0, 2, 0.8, 1.2);
insert into results values(6, 2, 'APTT', 'APTT.T', 2, 'APTT', 'Activated partial thromboplastin time', '2016-08-15', '11:03:55', 47.6, 's', 80, 1, 25.0, 37.0);
insert into checkedResult values(1, 1, 'PT', 'PT.T', 4);
insert into checkedResult values(2, 1, 'PT', 'PT.INR', 5);
insert into checkedResult values(3, 2, 'APTT', 'APTT.T', 3);
insert into curve values(1, 1, 'PT', 1, x'000000000000000100000000000000003fb999999999999a00000004408960000000000040894c000000000040840200000000004079200000000000');
insert into curve values(2, 2, 'APTT', 1, x'000000000000000200000000000000003fb999999999999a000000034088b000000000004088a000000000004085e40000000000403e0000000000003fe00000000000000000000240845000000000004080000000000000');
insert into curve values(3, 1, 'PT', 2, x'000000000000000100000000000000003fb999999999999a000000054089f000000000004089d00000000000408958000000000040809400000000004074b00000000000');
insert into curve values(4, 2, 'APTT', 2, x'000000010000000100000000000000003fe0000000000000000000023ff00000000000004000000000000000');
insert into detail values(1, 1, 'PT', 1, 'channel 2');
insert into detail values(2, 2, 'APTT', 1, 'channel 1; reagent lot 2210');
insert into detail values(3, 1, 'PT', 2, 'channel 3 (repeat)');
insert into detail values(4, 2, 'APTT', 2, 'channel 4 (repeat)');
