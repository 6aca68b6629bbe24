#include "updatedata.h"

namespace {

// The six lookup lists that block 1 gives a case-blind, indexed abbreviation.
// memo joined them later (block 5) and is created there, not rebuilt.
const char *const lookupTables[] = {
    "department", "sex", "treatmentRoom", "diagnosis", "doctor", "operator",
};

} // namespace

UpdateData::UpdateData(QObject *parent)
    : UpdateBase(QStringLiteral("data.db"), blocks(), false, parent)
{
}

// Block 1's case-blind, indexed lookup lists, rebuilt one by one.
QVector<UpdateBase::Step> UpdateData::lookupRebuilds()
{
    QVector<Step> steps;
    for (const char *name : lookupTables) {
        const QString table = QLatin1String(name);
        steps << rebuild(table,
                         QStringLiteral("create table %1(\n"
                                        "    id integer primary key,\n"
                                        "    abbr text COLLATE NOCASE,\n"
                                        "    name text)").arg(table),
                         QStringLiteral("create index if not exists %1_index on %1 (abbr)").arg(table));
    }
    return steps;
}

// Steps marked move() carry rows from one table to another: any failure of
// theirs stops the upgrade, and the rows each target gains are counted
// against its source.
QVector<UpdateBase::Block> UpdateData::blocks()
{
    return {
        { 1, "patient sample type and hospital number; case-blind, indexed lookup lists "
             "(department, sex, treatmentRoom, diagnosis, doctor, operator); detail table",
          QVector<Step>{
            sql(QStringLiteral("alter table patient add sampleType text")),
            sql(QStringLiteral("alter table patient add hospitalNo text")),
          } + lookupRebuilds() + QVector<Step>{
            sql(QStringLiteral(
                "create table detail(\n"
                "    id integer primary key,\n"
                "    patientId integer references patient, -- the patient\n"
                "    item text,                            -- measured item, e.g. PT\n"
                "    info text,                            -- details of the test run\n"
                "    unique(patientId, item) on conflict replace\n"
                "    )")),
            sql(QStringLiteral("create table version(version integer)")),
          } },
        { 2, "patient delete trigger also removes curves and details", {
            sql(QStringLiteral("drop trigger on_delete_patient")),
            sql(QStringLiteral(
                "create trigger on_delete_patient after delete on patient\n"
                "begin\n"
                "    delete from exam where old.sampleNo = exam.sampleNo and old.date = exam.date;\n"
                "    delete from result where old.id = result.patientId;\n"
                "    delete from patientExtra where old.id = patientExtra.patientId;\n"
                "    delete from curve where old.id = curve.patientId;\n"
                "    delete from detail where old.id = detail.patientId;\n"
                "end")),
        } },
        // Versioned results. This block always was all-or-nothing; inside the
        // upgrade's transaction a savepoint keeps it so ("begin" would fail
        // there, and "end" would commit the blocks before it early).
        { 3, "versioned results: result becomes results with checkedResult; curve and "
             "detail get a result version; new patient delete trigger", {
            sql(QStringLiteral("savepoint versioned_results")),
            sql(QStringLiteral(
                "-- raw test results: every saved version of every result value\n"
                "create table results(\n"
                "    id integer primary key,\n"
                "    patientId integer references patient, -- the patient the value belongs to\n"
                "    item text,              -- measured item (test), e.g. PT\n"
                "    subitem text,           -- measured sub-item (one value of the test), e.g. PT.T\n"
                "    version integer,        -- result version, one up with every save\n"
                "    abbr text,              -- abbreviated code of the value\n"
                "    code text,              -- full code name of the value\n"
                "    date date,              -- date this version was saved\n"
                "    time time,              -- time this version was saved\n"
                "    result real,            -- the value\n"
                "    unit text,              -- unit of the value\n"
                "    flag integer,           -- status flags of the value\n"
                "    displayOrder integer,   -- position in which the values are shown\n"
                "    lowerMarkLimit real,    -- lower limit of the normal range, on the report\n"
                "    upperMarkLimit real     -- upper limit of the normal range, on the report\n"
                "    )")),
            sql(QStringLiteral("create index results_index on results(patientId, item, subitem)")),
            move(QStringLiteral(
                "insert into results (  id, patientId, item, subitem, version,   abbr, code, result,"
                " unit, flag, displayOrder,   lowerMarkLimit, upperMarkLimit) select   id, patientId,"
                " item, subitem, 1,   abbr, code, result, unit, flag, displayOrder,   lowerMarkLimit,"
                " upperMarkLimit from result"), QStringLiteral("result"), QStringLiteral("results")),
            sql(QStringLiteral(
                "-- selected results: the version of each result that counts\n"
                "create table checkedResult(\n"
                "    id integer primary key,\n"
                "    patientId integer references patient, -- the patient\n"
                "    item text,                            -- measured item, e.g. PT\n"
                "    subitem text,                         -- measured sub-item, e.g. PT.T\n"
                "    resultsId integer references results, -- the chosen row of results\n"
                "    unique(patientId, item, subitem) on conflict replace\n"
                "    )")),
            sql(QStringLiteral("create index checkedResult_index on checkedResult(patientId, item, subitem)")),
            // One row per (patient, item, sub-item): the last of equal ones
            // wins, rows with a NULL among the three each count.
            move(QStringLiteral(
                "insert into checkedResult(  patientId, item, subitem, resultsId) select  patientId,"
                " item, subitem, id from result"), QStringLiteral("result"), QStringLiteral("checkedResult"),
                QStringLiteral("select (select count(*) from (select 1 from result where patientId notnull"
                               " and item notnull and subitem notnull group by patientId, item, subitem))"
                               " + (select count(*) from result where patientId isnull or item isnull"
                               " or subitem isnull)")),
            sql(QStringLiteral("drop index result_index")),
            move(QStringLiteral("drop table result"), QStringLiteral("result")),
            move(QStringLiteral("alter table curve rename to old_curve"), QStringLiteral("curve")),
            sql(QStringLiteral(
                "-- measurement curve\n"
                "create table curve(\n"
                "    id integer primary key,\n"
                "    patientId integer references patient, -- the patient\n"
                "    item text,                            -- measured item, e.g. PT\n"
                "    version integer,                      -- result version the curve belongs to\n"
                "    curve blob                            -- the clot curve in its stored form\n"
                "    )")),
            move(QStringLiteral(
                "insert into curve (  id, patientId, item, version, curve) select   id, patientId,"
                " item, 1, curve from old_curve"), QStringLiteral("old_curve"), QStringLiteral("curve")),
            move(QStringLiteral("drop table old_curve"), QStringLiteral("old_curve")),
            move(QStringLiteral("alter table detail rename to old_detail"), QStringLiteral("detail")),
            sql(QStringLiteral(
                "-- test details\n"
                "create table detail(\n"
                "    id integer primary key,\n"
                "    patientId integer references patient, -- the patient\n"
                "    item text,                            -- measured item, e.g. PT\n"
                "    version integer,                      -- result version the details belong to\n"
                "    info text                             -- details of the test run, e.g. the channel\n"
                "    )")),
            move(QStringLiteral(
                "insert into detail (  id, patientId, item, version, info) select   id, patientId,"
                " item, 1, info from old_detail"), QStringLiteral("old_detail"), QStringLiteral("detail")),
            move(QStringLiteral("drop table old_detail"), QStringLiteral("old_detail")),
            sql(QStringLiteral("drop trigger on_delete_patient")),
            sql(QStringLiteral(
                "create trigger on_delete_patient after delete on patient\n"
                "begin\n"
                "  delete from patientExtra where old.id = patientExtra.patientId;\n"
                "  delete from exam where old.sampleNo = exam.sampleNo and old.date = exam.date;\n"
                "  delete from results where old.id = results.patientId;\n"
                "  delete from checkedResult where old.id = checkedResult.patientId;\n"
                "  delete from curve where old.id = curve.patientId;\n"
                "  delete from detail where old.id = detail.patientId;\n"
                "end")),
            sql(QStringLiteral("release savepoint versioned_results")),
        } },
        { 4, "view result over the chosen results", {
            sql(QStringLiteral("drop view if exists result")),
            sql(QStringLiteral(
                "-- test result view: the chosen version of each result\n"
                "create view result as \n"
                "  select results.* \n"
                "  from results, checkedResult \n"
                "  where results.id = checkedResult.resultsId \n"
                "  and results.patientId = checkedResult.patientId")),
        } },
        { 5, "patient memo column; memo lookup list", {
            sql(QStringLiteral("alter table patient add memo text")),
            sql(QStringLiteral(
                "-- remark list\n"
                "create table memo(\n"
                "    id integer primary key,\n"
                "    abbr text COLLATE NOCASE,\n"
                "    name text\n"
                "    )\n")),
            sql(QStringLiteral("create index memo_index on memo (abbr)\n")),
        } },
    };
}
