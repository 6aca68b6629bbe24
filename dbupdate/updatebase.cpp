#include "updatebase.h"
#include "updatebase_p.h"

#include "schemahistory.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

// The block driver: what a run does with a file, in the order the table of
// blocks states it. The SQL funnel and the failure rule are in
// updatebase_sql.cpp, the table copy in updatebase_copy.cpp and the backup
// in updatebase_backup.cpp.

UpdateBase::UpdateBase(const QString &fileName, const QVector<Block> &blocks, bool requiresTables,
                       QObject *parent)
    : QObject(parent)
    , m_fileName(fileName)
    , m_blocks(blocks)
    , m_requiresTables(requiresTables)
    , m_version(0)
{
    // Derived before the file is opened: it reads statements on a scratch
    // database of its own, which then never interleave with the file's.
    if (!m_blocks.isEmpty())
        m_history = std::make_unique<const SchemaHistory>(m_blocks);
    // Replaces the previous upgrade's default connection; Qt warns about it.
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(fileName);
    // A few seconds for another program's lock (a writer in mid-commit, a
    // reader at the last commit); one that holds the file longer makes the
    // upgrade of that file fail whole.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeout));
    if (!db.open()) {
        // Nothing is tried on it: every statement would only fail again.
        qWarning("Can't open %s: %s; %s is not upgraded in this run", fileName.toUtf8().constData(),
                 db.lastError().text().toUtf8().constData(), fileName.toUtf8().constData());
        return;
    }
    // SQLite 3.26+ re-checks triggers and views on a rename; the blocks
    // rename tables while older triggers still name tables that are gone.
    QSqlQuery pragma;
    pragma.exec(QStringLiteral("PRAGMA legacy_alter_table=ON"));
    // What version() reports; the run reads it again under its lock.
    m_version = readVersion(db);
}

UpdateBase::~UpdateBase() = default;

int UpdateBase::version() const
{
    return m_version;
}

QString UpdateBase::fileName() const
{
    return m_fileName;
}

int UpdateBase::readVersion(const QSqlDatabase &db, QString *error)
{
    // Not through exec(): a missing version table is the normal case. Only a
    // table counts: a damaged or hostile file may hold a view of that name
    // whose rows never end, and the program must not hang on it.
    QSqlQuery table(db);
    if (!table.exec(QStringLiteral("select 1 from sqlite_master where type = 'table' "
                                   "and name = 'version' collate nocase"))) {
        if (error)
            *error = table.lastError().text();
        return 0;
    }
    if (!table.next()) {
        if (error && table.lastError().isValid())
            *error = table.lastError().text();
        return 0;
    }
    table.finish();
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("select version from version order by version desc"))) {
        if (error)
            *error = query.lastError().text();
        return 0;
    }
    if (!query.next()) {
        if (error && query.lastError().isValid())
            *error = query.lastError().text();
        return 0;
    }
    const qlonglong version = query.value(0).toLongLong();
    return int(qBound<qlonglong>(std::numeric_limits<int>::min(), version,
                                 std::numeric_limits<int>::max()));
}

int UpdateBase::currentVersion(const QVector<Block> &blocks)
{
    int current = 0;
    for (const Block &block : blocks)
        current = qMax(current, block.version);
    return current;
}

UpdateBase::Step UpdateBase::sql(const QString &text, const char *file, int line)
{
    return { StepKind::Statement, text, file, line, {}, {}, {}, {} };
}

UpdateBase::Step UpdateBase::move(const QString &text, const QString &source, const QString &target,
                                  const QString &expected, const char *file, int line)
{
    return { StepKind::Move, text, file, line, source, target, expected, {} };
}

UpdateBase::Step UpdateBase::rebuild(const QString &table, const QString &createSql, const QString &indexSql,
                                     void (*explain)(const CopyFailure &), const char *file, int line)
{
    Step step{ StepKind::Rebuild, createSql, file, line, table, {}, {}, indexSql };
    step.explain = explain;
    return step;
}

UpdateBase::Step UpdateBase::step(Action action, const char *file, int line)
{
    Step step{ StepKind::Action, {}, file, line, {}, {}, {}, {} };
    step.action = std::move(action);
    return step;
}

bool UpdateBase::update()
{
    if (!QSqlDatabase::database().isOpen())
        return false; // the constructor said so
    // qc.db has no schema of ours: opening it is enough, and creates it.
    if (m_blocks.isEmpty())
        return true;
    if (!runInTransaction()) {
        finishStopped();
        return false;
    }
    return runAfterCommit();
}

namespace {

// What the version table holds, as the start of a run reads it.
struct StoredVersion {
    bool table = false;
    bool readable = true;
    QString error;
    QVariantList rows;
    // Every row an integer (then `highest` is the highest of them).
    bool integral = false;
    qint64 highest = 0;
    // The number the old rule takes: the highest row read as a number, 0
    // for none, NULL or text.
    qint64 legacy = 0;
};

StoredVersion readStored(const QSqlDatabase &db)
{
    StoredVersion stored;
    QSqlQuery table(db);
    if (!table.exec(QStringLiteral("select 1 from sqlite_master where type = 'table' and name = 'version' collate nocase"))) {
        stored.readable = false;
        stored.error = table.lastError().text();
        return stored;
    }
    stored.table = table.next();
    table.finish();
    if (!stored.table)
        return stored;
    QSqlQuery rows(db);
    if (!rows.exec(QStringLiteral("select version, typeof(version) from version"))) {
        // A version table without that column is as good as none.
        stored.table = false;
        return stored;
    }
    stored.integral = true;
    bool first = true;
    while (rows.next()) {
        const QVariant value = rows.value(0);
        stored.rows << value;
        const bool integer = rows.value(1).toString() == QLatin1String("integer");
        stored.integral = stored.integral && integer;
        const qint64 number = value.toLongLong();
        if (first || number > stored.legacy)
            stored.legacy = number;
        if (integer && (first || number > stored.highest))
            stored.highest = number;
        first = false;
    }
    if (rows.lastError().isValid()) {
        stored.readable = false;
        stored.error = rows.lastError().text();
    }
    if (stored.rows.isEmpty())
        stored.integral = false;
    return stored;
}

// What a version table holds, for the log: "0 (it is empty)", "3 (it holds '3', '5')".
QString describe(const StoredVersion &stored)
{
    const QString said = QString::number(qBound<qint64>(0, stored.legacy, std::numeric_limits<int>::max()));
    if (!stored.table)
        return said + QStringLiteral(" (there is none)");
    if (stored.rows.isEmpty())
        return said + QStringLiteral(" (it is empty)");
    QStringList values;
    for (const QVariant &value : stored.rows)
        values << (value.isNull() ? QStringLiteral("NULL") : QLatin1Char('\'') + value.toString() + QLatin1Char('\''));
    return said + QStringLiteral(" (it holds %1)").arg(values.join(QLatin1String(", ")));
}

} // namespace

UpdateBase::Placement UpdateBase::place(const QSqlDatabase &db, const QVector<Block> &blocks,
                                        const SchemaHistory *history)
{
    Placement placement;
    const int current = currentVersion(blocks);
    const StoredVersion stored = readStored(db);
    if (!stored.readable) {
        placement.error = QStringLiteral("its version could not be read (%1)").arg(stored.error.trimmed());
        return placement;
    }
    // An integer above ours is a newer release's file, whatever its schema.
    if (stored.integral && stored.highest > current) {
        placement.newer = true;
        placement.version = int(qMin<qint64>(stored.highest, std::numeric_limits<int>::max()));
        return placement;
    }
    QList<int> fitting;
    QString error;
    std::unique_ptr<SchemaHistory> own;
    if (!history) {
        own = std::make_unique<SchemaHistory>(blocks);
        history = own.get();
    }
    if (!history->fittingVersions(db, &fitting, &error)) {
        placement.error = QStringLiteral("its schema could not be read (%1)").arg(error.trimmed());
        return placement;
    }
    if (fitting.isEmpty()) {
        placement.error = QStringLiteral("its schema fits no version of this program (it holds the results of a "
                                         "later upgrade without those of an earlier one); it is left for a technician");
        return placement;
    }
    placement.ok = true;
    // The version table counts where the schema agrees with it: an integer
    // (the highest of several rows), or no table at all (version 0). An
    // empty table, NULL or text says nothing: the schema decides.
    const bool trusted = !stored.table || stored.integral;
    const int said = stored.table ? int(qBound<qint64>(0, stored.highest, current)) : 0;
    if (trusted && fitting.contains(said)) {
        placement.version = said;
        return placement;
    }
    // Never rerun a step whose result the file holds.
    placement.version = fitting.last();
    placement.note = QStringLiteral("its version table says %1, its schema is that of version %2")
                         .arg(describe(stored)).arg(placement.version);
    return placement;
}

bool UpdateBase::startVersion(int current)
{
    // Read under the write lock: nobody can change it until the commit.
    const Placement placement = place(QSqlDatabase::database(), m_blocks, m_history.get());
    if (placement.newer) {
        newerThan(placement.version, current);
        return false;
    }
    if (!placement.ok) {
        stop(placement.error, __FILE__, __LINE__);
        return false;
    }
    m_runVersion = placement.version;
    if (!placement.note.isEmpty()) {
        qWarning("%s: %s; it is upgraded from version %d", m_fileName.toUtf8().constData(),
                 placement.note.toUtf8().constData(), m_runVersion);
    }
    return true;
}

void UpdateBase::newerThan(int stored, int current) const
{
    qWarning("%s is at version %d, newer than this program's version %d: it is left as it is",
             m_fileName.toUtf8().constData(), stored, current);
}

bool UpdateBase::runInTransaction()
{
    // Everything from the version read to the commit holds the file's write
    // lock: a file another program holds fails whole and at once, the backup
    // is consistent, and a run killed or failed before the commit leaves the
    // file at its old version. Every return before the commit rolls back.
    if (!lockFile())
        return false;
    struct Unlock {
        UpdateBase &upgrade;
        ~Unlock() { upgrade.rollbackTransaction(__FILE__, __LINE__); }
    } unlock{*this};

    const qint64 objects = count(QStringLiteral("select count(*) from sqlite_master"), false);
    if (objects < 0)
        return false;
    if (objects == 0) {
        // New or empty: nothing to convert, and a version written into it
        // would later pass a file without tables for a current one.
        if (m_requiresTables) {
            stop(QStringLiteral("it holds no tables (new or empty), and its upgrade needs the tables "
                                "the workstation keeps in it"), __FILE__, __LINE__);
            return false;
        }
        qDebug("%s holds no tables yet: nothing to upgrade, no version written",
               m_fileName.toUtf8().constData());
        m_blocks.clear(); // nor anything after the commit
        return true;
    }

    const int current = currentVersion(m_blocks);
    if (!startVersion(current)) {
        if (!m_stopped)
            m_blocks.clear(); // a newer release's file: not even the every-start steps
        return !m_stopped;
    }
    if (!backupBeforeUpgrade(current))
        return false;
    if (!runBlocks())
        return false;
    return commitTransaction(__FILE__, __LINE__);
}

bool UpdateBase::runAfterCommit()
{
    bool due = false;
    for (const Block &block : qAsConst(m_blocks))
        due = due || (block.version == 0 && block.phase == Phase::AfterCommit && block.data);
    if (!due)
        return true;
    // One transaction for the every-start steps after the commit (on
    // profile.db the refit and the closing rows), instead of a commit per
    // statement. What a step wrote before a later one failed stays (a curve
    // refitted before another could not be written), unless the file
    // itself failed.
    if (!beginTransaction(__FILE__, __LINE__)) {
        finishStopped();
        return false;
    }
    bool ok = true;
    for (const Block &block : qAsConst(m_blocks)) {
        if (block.version == 0 && block.phase == Phase::AfterCommit && block.data && !block.data(*this)) {
            ok = false;
            break;
        }
    }
    if (m_stopped || m_transactionLost)
        rollbackTransaction(__FILE__, __LINE__);
    else if (inTransaction() && !commitTransaction(__FILE__, __LINE__))
        ok = false;
    if (!ok || m_stopped) {
        finishStopped();
        return false;
    }
    return true;
}

bool UpdateBase::runStep(const Step &step)
{
    switch (step.kind) {
    case StepKind::Statement:
        return exec(step.sql, step.file, step.line);
    case StepKind::Move:
        return runMove(step);
    case StepKind::Rebuild: {
        CopyFailure failure;
        if (rebuildTable(step.table, step.sql, step.index, step.file, step.line, &failure))
            return true;
        if (step.explain && !m_transactionLost && !failure.error.isEmpty())
            step.explain(failure);
        return false;
    }
    case StepKind::Action:
        return step.action(*this) && !m_stopped;
    }
    return false;
}

bool UpdateBase::runMove(const Step &step)
{
    // The rows the target is to gain, counted before they move.
    qint64 expected = 0;
    qint64 before = 0;
    if (!step.target.isEmpty()) {
        expected = count(step.expected.isEmpty() ? QStringLiteral("select count(*) from ") + step.table
                                                 : step.expected, true);
        before = count(QStringLiteral("select count(*) from ") + step.target, true);
        if (expected < 0 || before < 0) {
            stop(QStringLiteral("the rows of %1 could not be counted").arg(step.table), step.file, step.line);
            return false;
        }
    }
    if (!execMove(step.sql, step.file, step.line))
        return false;
    if (step.target.isEmpty())
        return true;
    const qint64 after = count(QStringLiteral("select count(*) from ") + step.target, true);
    if (after - before != expected) {
        stop(QStringLiteral("%1 had %2 rows to move, %3 received %4")
                 .arg(step.table).arg(expected).arg(step.target).arg(after - before),
             step.file, step.line);
        return false;
    }
    return true;
}

bool UpdateBase::runSchema(const Block &block)
{
    for (const Step &step : block.schema) {
        if (!runStep(step) || m_stopped)
            return false;
    }
    return true;
}

bool UpdateBase::writeVersion()
{
    // The version table with exactly its one column, whatever a crash or a
    // hand left: an insert into another shape would fail, and a file without
    // its version would be upgraded again at every start.
    const qint64 shape = count(QStringLiteral("select count(*) from pragma_table_info('version')"), false);
    if (shape < 0)
        return false;
    const qint64 right = count(QStringLiteral("select count(*) from pragma_table_info('version') "
                                              "where name = 'version' collate nocase"), false);
    if (right < 0)
        return false;
    if (shape != 1 || right != 1) {
        if (shape > 0 && !runStatement(QStringLiteral("drop table version"), Failure::Strict, __FILE__, __LINE__))
            return false;
        if (!runStatement(QStringLiteral("create table version(version integer)"), Failure::Strict, __FILE__, __LINE__))
            return false;
    }
    return runStatement(QStringLiteral("delete from version"), Failure::Strict, __FILE__, __LINE__)
        && runStatement(QStringLiteral("insert into version values(%1)").arg(currentVersion(m_blocks)), Failure::Strict,
                        __FILE__, __LINE__);
}

bool UpdateBase::runBlocks()
{
    for (const Block &block : qAsConst(m_blocks)) {
        if (block.version > m_runVersion && !runSchema(block))
            return false;
    }
    if (!writeVersion())
        return false;
    for (const Block &block : qAsConst(m_blocks)) {
        const bool due = block.version > m_runVersion
            || (block.version == 0 && block.phase == Phase::InTransaction);
        if (due && block.data && (!block.data(*this) || m_stopped))
            return false;
    }
    return true;
}

void UpdateBase::finishStopped()
{
    // The one line a technician needs: which file, where, why, and that it
    // stays as it was.
    if (!m_stopped || m_stopReason.isEmpty())
        return;
    qWarning("%s: %s; %s is not upgraded in this run", m_fileName.toUtf8().constData(),
             m_stopReason.toUtf8().constData(), m_fileName.toUtf8().constData());
    m_stopReason.clear();
    settleJournal();
}
