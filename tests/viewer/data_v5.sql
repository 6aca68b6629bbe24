-- data.db at schema version 5, with no rows: the tables the viewer reads.
create table patient(id integer primary key, sampleNo text, date date, name text, age integer,
                     sex text, department text, doctor text, sampleType text, hospitalNo text, memo text);
create table exam(id integer primary key, sampleNo text, date date, item text);
create table patientExtra(id integer primary key, patientId integer, name text, value text);
create table results(
    id integer primary key,
    patientId integer references patient,
    item text,
    subitem text,
    version integer,
    abbr text,
    code text,
    date date,
    time time,
    result real,
    unit text,
    flag integer,
    displayOrder integer,
    lowerMarkLimit real,
    upperMarkLimit real);
create index results_index on results(patientId, item, subitem);
create table checkedResult(
    id integer primary key,
    patientId integer references patient,
    item text,
    subitem text,
    resultsId integer references results,
    unique(patientId, item, subitem) on conflict replace);
create index checkedResult_index on checkedResult(patientId, item, subitem);
create view result as
  select results.*
  from results, checkedResult
  where results.id = checkedResult.resultsId
  and results.patientId = checkedResult.patientId;
create table curve(id integer primary key, patientId integer references patient, item text,
                   version integer, curve blob);
create table detail(id integer primary key, patientId integer references patient, item text,
                    version integer, info text);
create table memo(id integer primary key, abbr text COLLATE NOCASE, name text);
create index memo_index on memo (abbr);
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
insert into version values(5);
