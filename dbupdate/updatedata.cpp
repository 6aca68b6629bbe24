#include "updatedata.h"

namespace {

// The six lookup lists that block 1 gives a case-blind, indexed abbreviation.
// memo joined them later (block 5) and is created there, not rebuilt.
const char *const lookupTables[] = {
    "department", "sex", "treatmentRoom", "diagnosis", "doctor", "operator",
};

} // namespace

UpdateData::UpdateData(QObject *parent)
    : UpdateBase(QStringLiteral("data.db"), parent)
{
}

// One entry per `if (v < N)` block of update() below; keep them together.
QVector<UpdateBase::Block> UpdateData::blocks()
{
    return {
        { 1, "patient sample type and hospital number; case-blind, indexed lookup lists "
             "(department, sex, treatmentRoom, diagnosis, doctor, operator); detail table" },
        { 2, "patient delete trigger also removes curves and details" },
        { 3, "versioned results: result becomes results with checkedResult; curve and "
             "detail get a result version; new patient delete trigger" },
        { 4, "view result over the chosen results" },
        { 5, "patient memo column; memo lookup list" },
    };
}

bool UpdateData::update()
{
    const int v = version();
    if (newerThan(currentVersion(blocks())))
        return true;

    // Before the first schema statement: no copy, no upgrade.
    if (!backupBeforeUpgrade(currentVersion(blocks())))
        return false;

    // Every block and the version write form one transaction: a run that is
    // killed or stops at a failed copy leaves the file at its old version,
    // and the next run starts from a clean state instead of repeating blocks
    // over half-converted tables.
    beginTransaction(__FILE__, __LINE__);

    // Read inside the transaction, the version is the file's until the
    // commit. It can differ from the one read at the start only when another
    // process held the file then (the read failed and gave 0) and let it go
    // since: the blocks chosen by 0 would convert a newer file again, so
    // nothing is done and the next start upgrades the file.
    if (inTransaction() && storedVersion() != v) {
        qWarning("data.db changed while the upgrade started (version %d, now %d); it is left for the next start",
                 v, storedVersion());
        rollbackTransaction(__FILE__, __LINE__);
        return false;
    }

    if (v < 1) {
        exec(QStringLiteral("alter table patient add sampleType text"), __FILE__, __LINE__);
        exec(QStringLiteral("alter table patient add hospitalNo text"), __FILE__, __LINE__);
        for (const char *name : lookupTables) {
            const QString table = QLatin1String(name);
            const QString create = QStringLiteral(
                "create table %1(\n"
                "    id integer primary key,\n"
                "    abbr text COLLATE NOCASE,\n"
                "    name text)").arg(table);
            const QString index = QStringLiteral(
                "create index if not exists %1_index on %1 (abbr)").arg(table);
            if (!rebuildTable(table, create, index, __FILE__, __LINE__)) {
                rollbackTransaction(__FILE__, __LINE__);
                return false;
            }
        }
        exec(QStringLiteral(
                 "create table detail(\n"
                 "    id integer primary key,\n"
                 "    patientId integer references patient, -- the patient\n"
                 "    item text,                            -- measured item, e.g. PT\n"
                 "    info text,                            -- details of the test run\n"
                 "    unique(patientId, item) on conflict replace\n"
                 "    )"),
             __FILE__, __LINE__);
        exec(QStringLiteral("create table version(version integer)"), __FILE__, __LINE__);
    }

    if (v < 2) {
        exec(QStringLiteral("drop trigger on_delete_patient"), __FILE__, __LINE__);
        exec(QStringLiteral(
                 "create trigger on_delete_patient after delete on patient\n"
                 "begin\n"
                 "    delete from exam where old.sampleNo = exam.sampleNo and old.date = exam.date;\n"
                 "    delete from result where old.id = result.patientId;\n"
                 "    delete from patientExtra where old.id = patientExtra.patientId;\n"
                 "    delete from curve where old.id = curve.patientId;\n"
                 "    delete from detail where old.id = detail.patientId;\n"
                 "end"),
             __FILE__, __LINE__);
    }

    if (v < 3) {
        // Versioned results. This block always was all-or-nothing; inside the
        // upgrade's transaction a savepoint keeps it so ("begin" would fail
        // there, and "end" would commit the blocks before it early).
        exec(QStringLiteral("savepoint versioned_results"), __FILE__, __LINE__);
        exec(QStringLiteral(
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
                 "    )"),
             __FILE__, __LINE__);
        exec(QStringLiteral("create index results_index on results(patientId, item, subitem)"),
             __FILE__, __LINE__);
        exec(QStringLiteral(
                 "insert into results (  id, patientId, item, subitem, version,   abbr, code, result,"
                 " unit, flag, displayOrder,   lowerMarkLimit, upperMarkLimit) select   id, patientId,"
                 " item, subitem, 1,   abbr, code, result, unit, flag, displayOrder,   lowerMarkLimit,"
                 " upperMarkLimit from result"),
             __FILE__, __LINE__);
        exec(QStringLiteral(
                 "-- selected results: the version of each result that counts\n"
                 "create table checkedResult(\n"
                 "    id integer primary key,\n"
                 "    patientId integer references patient, -- the patient\n"
                 "    item text,                            -- measured item, e.g. PT\n"
                 "    subitem text,                         -- measured sub-item, e.g. PT.T\n"
                 "    resultsId integer references results, -- the chosen row of results\n"
                 "    unique(patientId, item, subitem) on conflict replace\n"
                 "    )"),
             __FILE__, __LINE__);
        exec(QStringLiteral("create index checkedResult_index on checkedResult(patientId, item, subitem)"),
             __FILE__, __LINE__);
        exec(QStringLiteral(
                 "insert into checkedResult(  patientId, item, subitem, resultsId) select  patientId,"
                 " item, subitem, id from result"),
             __FILE__, __LINE__);
        exec(QStringLiteral("drop index result_index"), __FILE__, __LINE__);
        exec(QStringLiteral("drop table result"), __FILE__, __LINE__);
        exec(QStringLiteral("alter table curve rename to old_curve"), __FILE__, __LINE__);
        exec(QStringLiteral(
                 "-- measurement curve\n"
                 "create table curve(\n"
                 "    id integer primary key,\n"
                 "    patientId integer references patient, -- the patient\n"
                 "    item text,                            -- measured item, e.g. PT\n"
                 "    version integer,                      -- result version the curve belongs to\n"
                 "    curve blob                            -- the clot curve in its stored form\n"
                 "    )"),
             __FILE__, __LINE__);
        exec(QStringLiteral(
                 "insert into curve (  id, patientId, item, version, curve) select   id, patientId,"
                 " item, 1, curve from old_curve"),
             __FILE__, __LINE__);
        exec(QStringLiteral("drop table old_curve"), __FILE__, __LINE__);
        exec(QStringLiteral("alter table detail rename to old_detail"), __FILE__, __LINE__);
        exec(QStringLiteral(
                 "-- test details\n"
                 "create table detail(\n"
                 "    id integer primary key,\n"
                 "    patientId integer references patient, -- the patient\n"
                 "    item text,                            -- measured item, e.g. PT\n"
                 "    version integer,                      -- result version the details belong to\n"
                 "    info text                             -- details of the test run, e.g. the channel\n"
                 "    )"),
             __FILE__, __LINE__);
        exec(QStringLiteral(
                 "insert into detail (  id, patientId, item, version, info) select   id, patientId,"
                 " item, 1, info from old_detail"),
             __FILE__, __LINE__);
        exec(QStringLiteral("drop table old_detail"), __FILE__, __LINE__);
        exec(QStringLiteral("drop trigger on_delete_patient"), __FILE__, __LINE__);
        exec(QStringLiteral(
                 "create trigger on_delete_patient after delete on patient\n"
                 "begin\n"
                 "  delete from patientExtra where old.id = patientExtra.patientId;\n"
                 "  delete from exam where old.sampleNo = exam.sampleNo and old.date = exam.date;\n"
                 "  delete from results where old.id = results.patientId;\n"
                 "  delete from checkedResult where old.id = checkedResult.patientId;\n"
                 "  delete from curve where old.id = curve.patientId;\n"
                 "  delete from detail where old.id = detail.patientId;\n"
                 "end"),
             __FILE__, __LINE__);
        exec(QStringLiteral("release savepoint versioned_results"), __FILE__, __LINE__);
    }

    if (v < 4) {
        exec(QStringLiteral("drop view if exists result"), __FILE__, __LINE__);
        exec(QStringLiteral(
                 "-- test result view: the chosen version of each result\n"
                 "create view result as \n"
                 "  select results.* \n"
                 "  from results, checkedResult \n"
                 "  where results.id = checkedResult.resultsId \n"
                 "  and results.patientId = checkedResult.patientId"),
             __FILE__, __LINE__);
    }

    if (v < 5) {
        exec(QStringLiteral("alter table patient add memo text"), __FILE__, __LINE__);
        exec(QStringLiteral(
                 "-- remark list\n"
                 "create table memo(\n"
                 "    id integer primary key,\n"
                 "    abbr text COLLATE NOCASE,\n"
                 "    name text\n"
                 "    )\n"),
             __FILE__, __LINE__);
        exec(QStringLiteral("create index memo_index on memo (abbr)\n"), __FILE__, __LINE__);
    }

    exec(QStringLiteral("delete from version"), __FILE__, __LINE__);
    exec(QStringLiteral("insert into version values(5)"), __FILE__, __LINE__);

    // False when the database dropped the transaction (disk full, I/O error)
    // or the commit failed: nothing of this run reached the file.
    if (!inTransaction())
        return true; // could not open one (logged): statements committed one by one
    return commitTransaction(__FILE__, __LINE__);
}
