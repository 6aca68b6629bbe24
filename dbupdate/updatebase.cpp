#include "updatebase.h"
#include "updatebase_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QTemporaryFile>

void reportQueryError(QSqlQuery query, const char *file, int line)
{
    // The eight items of the warning, each followed by one space as the debug
    // stream writes them. Composed here because Qt 5's stream drops the last
    // space, and readers of the log expect the line as it always was.
    QByteArray message;
    message += file;
    message += " ( ";
    message += QByteArray::number(line);
    message += " ):  ";
    message += query.lastError().text().toUtf8();
    message += " : [ ";
    message += query.lastQuery().toUtf8();
    message += " ] ";
    qWarning("%s", message.constData());
}

UpdateBase::UpdateBase(const QString &fileName, const QVector<Block> &blocks, int guards,
                       QObject *parent)
    : QObject(parent)
    , m_fileName(fileName)
    , m_blocks(blocks)
    , m_guards(guards)
    , m_version(0)
{
    // Replaces the previous upgrade's default connection; Qt warns about it.
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(fileName);
    // Qt's driver would wait five seconds at every statement that meets
    // another process's lock; the upgrade expects the file to itself, and a
    // statement that cannot have it fails at once into the log.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
    if (!db.open()) {
        qWarning("Can't open %s: %s", fileName.toUtf8().constData(),
                 db.lastError().text().toUtf8().constData());
    } else {
        // SQLite 3.26+ re-checks triggers and views on a rename; the blocks
        // rename tables while older triggers still name tables that are gone.
        QSqlQuery pragma;
        pragma.exec(QStringLiteral("PRAGMA legacy_alter_table=ON"));
    }

    m_version = readVersion(QSqlDatabase::database(), &m_versionError);
}

int UpdateBase::storedVersion() const
{
    return readVersion(QSqlDatabase::database());
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

QString UpdateBase::backupName(const QString &fileName, int version)
{
    return QStringLiteral("%1.v%2.bak").arg(fileName).arg(version);
}

QString UpdateBase::fileName() const
{
    return m_fileName;
}

UpdateBase::~UpdateBase() = default;

int UpdateBase::version() const
{
    return m_version;
}

// Asked of the connection itself rather than of the SQLite library: where
// the driver carries its own copy of SQLite (the Windows build), ours would
// not know its connections. A deferred begin takes no lock and is undone at
// once; it fails only inside a transaction.
bool connectionInTransaction()
{
    QSqlQuery probe;
    if (!probe.exec(QStringLiteral("begin deferred transaction")))
        return true;
    probe.exec(QStringLiteral("rollback transaction"));
    return false;
}

namespace {

// Names of the indexes created by statements on a table (not those that
// SQLite makes for its own constraints).
QStringList indexesOf(const QString &table)
{
    QSqlQuery query;
    query.prepare(QStringLiteral("select name from sqlite_master"
                                 " where type = 'index' and tbl_name = ? and sql is not null"));
    query.addBindValue(table);
    QStringList names;
    if (!query.exec())
        return names; // the file is unreadable; the statements around say so
    while (query.next())
        names << query.value(0).toString();
    return names;
}

// Writes a consistent copy of the default connection's database to
// `target`: first under a temporary name beside it, renamed over `target`
// only when complete. On failure `target` is as it was and `error` says why.
bool writeCopy(const QString &source, const QString &target, QString *error)
{
    // A power cut during an earlier copy can leave it under its temporary
    // name, as large as the file; it was never renamed, so nothing needs it.
    const QFileInfo targetInfo(target);
    QDir targetDir = targetInfo.absoluteDir();
    for (const QString &stale : targetDir.entryList({targetInfo.fileName() + QStringLiteral(".??????")},
                                                    QDir::Files | QDir::Hidden | QDir::System))
        targetDir.remove(stale);

    // A fresh name beside the target, reserved by an empty file. The
    // temporary-file object goes at once: it would keep the file open, and
    // Windows renames no file that is open.
    QString partial;
    {
        QTemporaryFile reserve(target + QStringLiteral(".XXXXXX"));
        if (!reserve.open()) {
            *error = reserve.errorString();
            return false;
        }
        reserve.setAutoRemove(false);
        partial = reserve.fileName();
    }
    // Removed on every way out but success.
    struct Cleanup {
        const QString &file;
        bool keep = false;
        ~Cleanup()
        {
            if (!keep)
                QFile::remove(file);
        }
    } cleanup{partial};

    if (!copyDatabase(partial, error))
        return false;
    if (!syncFile(partial)) {
        *error = QStringLiteral("the copy could not be flushed to the disk");
        return false;
    }
    // As readable as the file it copies (a read-only file gives a read-only
    // copy); until here only its owner could read it.
    QFile::setPermissions(partial, QFileInfo(source).permissions());
    QString reason;
    if (!replaceFile(partial, target, &reason)) {
        *error = QStringLiteral("the copy could not be renamed to its place: ") + reason;
        return false;
    }
    cleanup.keep = true; // it is the backup now
    return true;
}

} // namespace

bool UpdateBase::backupBeforeUpgrade(int current)
{
    if (m_version >= current)
        return true;
    // A file that could not be opened is not changed by the run either;
    // its statements fail into the log as they always did.
    if (!QSqlDatabase::database().isOpen())
        return true;
    QSqlQuery schema;
    if (!schema.exec(QStringLiteral("select count(*) from sqlite_master")) || !schema.next()) {
        // Not a database, or locked by another program: its version is
        // unknown too, so no copy is named after it.
        qWarning("%s: cannot be read for the backup (%s); %s is not upgraded in this run",
                 m_fileName.toUtf8().constData(), schema.lastError().text().toUtf8().constData(),
                 m_fileName.toUtf8().constData());
        return false;
    }
    if (!m_versionError.isEmpty()) {
        // The version read as the program started failed (another program
        // held the file then): the blocks chosen by it could convert a file
        // that is already current, and its backup would be misnamed.
        qWarning("%s: its version could not be read (%s); %s is not upgraded in this run",
                 m_fileName.toUtf8().constData(), m_versionError.trimmed().toUtf8().constData(),
                 m_fileName.toUtf8().constData());
        return false;
    }
    if (schema.value(0).toInt() == 0) {
        qDebug("%s holds no tables yet: no backup needed before the upgrade",
               m_fileName.toUtf8().constData());
        return true;
    }
    schema.finish();

    const QString target = backupName(m_fileName, m_version);
    QString error;
    if (!writeCopy(m_fileName, target, &error)) {
        qWarning("%s: the backup %s could not be written (%s); %s is not upgraded in this run",
                 m_fileName.toUtf8().constData(), target.toUtf8().constData(),
                 error.toUtf8().constData(), m_fileName.toUtf8().constData());
        return false;
    }
    qDebug("%s: version %d backed up to %s before the upgrade", m_fileName.toUtf8().constData(),
           m_version, target.toUtf8().constData());
    return true;
}

bool UpdateBase::newerThan(int current) const
{
    if (m_version <= current)
        return false;
    qWarning("%s is at version %d, newer than this program's version %d: it is left as it is",
             m_fileName.toUtf8().constData(), m_version, current);
    return true;
}

UpdateBase::Step UpdateBase::sql(const QString &text, const char *file, int line)
{
    return { text, file, line, Action() };
}

UpdateBase::Step UpdateBase::step(Action action, const char *file, int line)
{
    return { QString(), file, line, std::move(action) };
}

bool UpdateBase::update()
{
    // qc.db has no schema of ours: opening it is enough, and creates it.
    if (m_blocks.isEmpty())
        return true;
    // A file left by a newer release gets none of the steps, not even those
    // of every start: that release would take them for its own.
    const int current = currentVersion(m_blocks);
    if (newerThan(current))
        return true;
    // Before the first schema statement: no copy, no upgrade.
    if (!backupBeforeUpgrade(current))
        return false;

    if (!runInTransaction())
        return false;
    for (const Block &block : qAsConst(m_blocks)) {
        if (block.version == 0 && block.phase == Phase::AfterCommit && block.data && !block.data(*this))
            return false;
    }
    return true;
}

bool UpdateBase::runInTransaction()
{
    // The schema steps, the version row and the data steps that depend on
    // the old version commit together: a run killed or failed before the
    // commit leaves the file at its old version, and the next run starts
    // from a clean state instead of repeating blocks over half-converted
    // tables. Every return before the commit rolls back.
    Transaction transaction(*this, __FILE__, __LINE__);
    if (!transaction.isOpen() && (m_guards & RequireTransaction))
        return false;
    if (transaction.isOpen() && (m_guards & RecheckVersion)) {
        // Read again inside the transaction: the version is the file's until
        // the commit. It differs from the one the blocks are chosen by only
        // when another program held the file as the run started (the read
        // failed and gave 0) and let it go since: the blocks chosen by 0
        // would convert a newer file again.
        const int stored = storedVersion();
        if (stored != m_version) {
            qWarning("%s changed while the upgrade started (version %d, now %d); it is left for the next start",
                     m_fileName.toUtf8().constData(), m_version, stored);
            return false;
        }
    }
    if (!runBlocks())
        return false;
    if (!transaction.isOpen())
        return true; // could not open one (logged): statements committed one by one
    // False when the database dropped the transaction (disk full, I/O error)
    // or the commit failed: nothing of this run reached the file.
    return transaction.commit();
}

bool UpdateBase::runSchema(const Block &block)
{
    for (const Step &step : block.schema) {
        if (step.action) {
            if (!step.action(*this))
                return false;
        } else {
            exec(step.sql, step.file, step.line);
        }
    }
    return true;
}

bool UpdateBase::runBlocks()
{
    for (const Block &block : qAsConst(m_blocks)) {
        if (block.version > m_version && !runSchema(block))
            return false;
    }
    exec(QStringLiteral("delete from version"), __FILE__, __LINE__);
    exec(QStringLiteral("insert into version values(%1)").arg(currentVersion(m_blocks)), __FILE__, __LINE__);
    for (const Block &block : qAsConst(m_blocks)) {
        const bool due = block.version > m_version
            || (block.version == 0 && block.phase == Phase::InTransaction);
        if (due && block.data && !block.data(*this))
            return false;
    }
    return true;
}

bool UpdateBase::runStatement(const QString &sql, const char *file, int line)
{
    if (m_transactionLost)
        return false;
    QSqlQuery query;
    if (query.exec(sql))
        return true;
    reportQueryError(query, file, line);
    if (m_inTransaction && !connectionInTransaction()) {
        // An ordinary failure keeps the transaction; this one took it along.
        m_transactionLost = true;
        qCritical("%s ( %d ): the database rolled the upgrade back; the remaining steps are skipped",
                  file, line);
    }
    return false;
}

bool UpdateBase::exec(const QString &sql, const char *file, int line)
{
    runStatement(sql, file, line);
    return true;
}

bool UpdateBase::run(const QString &sql, const char *file, int line)
{
    return runStatement(sql, file, line);
}

bool UpdateBase::run(QSqlQuery &query, const char *file, int line)
{
    return runQuery(query, true, file, line);
}

bool UpdateBase::prepare(QSqlQuery &query, const QString &sql, const char *file, int line)
{
    if (m_transactionLost)
        return false;
    if (query.prepare(sql))
        return true;
    reportQueryError(query, file, line);
    return false;
}

bool UpdateBase::readAll(QSqlQuery &query, const std::function<void()> &row, const char *file, int line)
{
    if (!run(query, file, line))
        return false;
    while (query.next())
        row();
    if (!query.lastError().isValid())
        return true;
    reportQueryError(query, file, line);
    return false;
}

UpdateBase::Transaction::Transaction(UpdateBase &upgrade, const char *file, int line)
    : m_upgrade(upgrade)
    , m_file(file)
    , m_line(line)
{
    m_upgrade.beginTransaction(file, line);
}

UpdateBase::Transaction::~Transaction()
{
    m_upgrade.rollbackTransaction(m_file, m_line);
}

bool UpdateBase::Transaction::isOpen() const
{
    return m_upgrade.inTransaction();
}

bool UpdateBase::Transaction::commit()
{
    return m_upgrade.commitTransaction(m_file, m_line);
}

void UpdateBase::beginTransaction(const char *file, int line)
{
    m_transactionLost = false;
    m_inTransaction = runStatement(QStringLiteral("begin transaction"), file, line);
}

bool UpdateBase::commitTransaction(const char *file, int line)
{
    if (!m_inTransaction)
        return false;
    if (m_transactionLost) {
        m_inTransaction = false;
        return false;
    }
    const bool ok = runStatement(QStringLiteral("commit transaction"), file, line);
    if (!ok && connectionInTransaction())
        runStatement(QStringLiteral("rollback transaction"), file, line);
    m_inTransaction = false;
    return ok;
}

void UpdateBase::rollbackTransaction(const char *file, int line)
{
    if (m_inTransaction && !m_transactionLost)
        runStatement(QStringLiteral("rollback transaction"), file, line);
    m_inTransaction = false;
}

bool UpdateBase::inTransaction() const
{
    return m_inTransaction;
}

bool UpdateBase::transactionLost() const
{
    return m_transactionLost;
}

bool UpdateBase::renameTable(const QString &oldName, const QString &newName)
{
    return exec(QStringLiteral("alter table %1 rename to %2").arg(oldName, newName),
                __FILE__, __LINE__);
}

namespace {

// A column name as an SQL identifier, whatever characters it holds.
QString identifier(const QString &name)
{
    QString escaped = name;
    escaped.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

// The position of `name` in `names`, compared as SQLite compares column
// names (ASCII letters without case); -1 when absent.
int columnIndex(const QStringList &names, const QString &name)
{
    for (int i = 0; i < names.size(); ++i) {
        if (names.at(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

} // namespace

bool UpdateBase::runQuery(QSqlQuery &query, bool report, const char *file, int line)
{
    if (m_transactionLost)
        return false;
    if (query.exec())
        return true;
    const bool lost = m_inTransaction && !connectionInTransaction();
    if (report || lost)
        reportQueryError(query, file, line);
    if (lost) {
        m_transactionLost = true;
        qCritical("%s ( %d ): the database rolled the upgrade back; the remaining steps are skipped",
                  file, line);
    }
    return false;
}

namespace {

// The statement that copies every row of `source` into `target` inside
// SQLite: every value keeps its storage class and bytes, subject only to the
// target column's affinity. Columns in `droppedColumns` are left out; the
// columns of `values` get the same bound value in every row, their values
// appended to `bound` in the order of the placeholders.
QString copyStatement(const QString &target, const QString &source, const QStringList &sourceNames,
                      const QSqlRecord &values, const QStringList &droppedColumns, QVariantList *bound)
{
    QStringList columns = sourceNames;
    QStringList selected;
    for (const QString &name : sourceNames)
        selected << identifier(name);
    for (const QString &name : droppedColumns) {
        const int at = columnIndex(columns, name);
        if (at >= 0) {
            columns.removeAt(at);
            selected.removeAt(at);
        }
    }
    for (int i = 0; i < values.count(); ++i) {
        const QSqlField field = values.field(i);
        int at = columnIndex(columns, field.name());
        if (at < 0) {
            columns << field.name();
            selected << QString();
            at = columns.size() - 1;
        }
        selected[at] = QStringLiteral("?");
    }
    for (int i = 0; i < columns.size(); ++i) {
        if (selected.at(i) == QLatin1String("?"))
            *bound << values.field(values.indexOf(columns.at(i))).value();
    }
    QStringList targetColumns;
    for (const QString &name : qAsConst(columns))
        targetColumns << identifier(name);
    return QStringLiteral("insert into %1(%2) select %3 from %4")
        .arg(target, targetColumns.join(QLatin1String(", ")), selected.join(QLatin1String(", ")), source);
}

// The name under which the source's rowid can be selected, or empty for a
// table without one (or whose columns take every name of it).
QString rowidColumn(const QString &source, const QStringList &sourceNames)
{
    for (const char *candidate : {"rowid", "_rowid_", "oid"}) {
        if (columnIndex(sourceNames, QLatin1String(candidate)) < 0) {
            QSqlQuery check;
            if (check.prepare(QStringLiteral("select %1 from %2").arg(QLatin1String(candidate), source)))
                return QLatin1String(candidate);
            break;
        }
    }
    return QString();
}

void bindAll(QSqlQuery &query, const QVariantList &bound)
{
    for (const QVariant &value : bound)
        query.addBindValue(value);
}

} // namespace

UpdateBase::SourceRows UpdateBase::probeSource(const QString &source, QStringList *names)
{
    QSqlQuery probe;
    probe.setForwardOnly(true);
    if (!probe.exec(QStringLiteral("select * from ") + source)) {
        reportQueryError(probe, __FILE__, __LINE__);
        // A missing table (SQLITE_ERROR) has nothing to copy; one that is
        // there but cannot be read (damaged, locked) must not pass as empty.
        return probe.lastError().nativeErrorCode() == QLatin1String("1") ? SourceRows::None
                                                                         : SourceRows::Unreadable;
    }
    const QSqlRecord record = probe.record();
    for (int i = 0; i < record.count(); ++i)
        *names << record.fieldName(i);
    const bool empty = !probe.next();
    if (empty && probe.lastError().isValid()) {
        // Not an empty table but one that cannot be read: copying nothing
        // and dropping the backup would lose its rows.
        reportQueryError(probe, __FILE__, __LINE__);
        return SourceRows::Unreadable;
    }
    probe.finish();
    if (m_transactionLost)
        return SourceRows::Unreadable;
    return empty ? SourceRows::None : SourceRows::Some;
}

bool UpdateBase::copyTable(const QString &target, const QString &source,
                           const QSqlRecord &values, const QStringList &droppedColumns,
                           CopyFailure *failure)
{
    // The source's columns, and whether it holds a row at all: an empty
    // table is not copied, so its columns need not fit the target.
    QStringList sourceNames;
    switch (probeSource(source, &sourceNames)) {
    case SourceRows::Unreadable:
        return false;
    case SourceRows::None:
        return true;
    case SourceRows::Some:
        break;
    }
    QVariantList bound;
    const QString copy = copyStatement(target, source, sourceNames, values, droppedColumns, &bound);
    // The rows go in rowid order, as a scan of the table gives them, so that
    // conflicts resolve as they always did. A table without a rowid is
    // copied in its own order and a failure cannot name the row.
    const QString rowid = rowidColumn(source, sourceNames);

    // All rows at once inside a savepoint; when a row fails the savepoint
    // undoes whatever the statement wrote (a FAIL conflict keeps the rows
    // before it) and the copy is redone row by row to find the row.
    const QString savepoint = QStringLiteral("copy_rows");
    if (!runStatement(QStringLiteral("savepoint ") + savepoint, __FILE__, __LINE__))
        return false;
    QSqlQuery all;
    bool copied = all.prepare(copy + (rowid.isEmpty() ? QString() : QStringLiteral(" order by ") + rowid));
    if (copied) {
        bindAll(all, bound);
        copied = runQuery(all, false, __FILE__, __LINE__);
        if (m_transactionLost)
            return false;
    }
    if (copied)
        return runStatement(QStringLiteral("release savepoint ") + savepoint, __FILE__, __LINE__);
    if (!runStatement(QStringLiteral("rollback to ") + savepoint, __FILE__, __LINE__)
            || !runStatement(QStringLiteral("release savepoint ") + savepoint, __FILE__, __LINE__))
        return false;
    if (rowid.isEmpty()) {
        reportQueryError(all, __FILE__, __LINE__);
        if (failure)
            *failure = { QVariant(), all.lastError().databaseText() };
        return false;
    }
    return copyRowByRow(target, source, copy, bound, rowid, failure);
}

bool UpdateBase::copyRowByRow(const QString &target, const QString &source, const QString &copy,
                              const QVariantList &bound, const QString &rowid, CopyFailure *failure)
{
    QSqlQuery ids;
    ids.setForwardOnly(true);
    QVariantList rowids;
    if (!prepare(ids, QStringLiteral("select %1 from %2 order by %1").arg(rowid, source), __FILE__, __LINE__)
            || !readAll(ids, [&] { rowids << ids.value(0); }, __FILE__, __LINE__))
        return false;
    ids.finish();
    QSqlQuery one;
    const bool prepared = one.prepare(copy + QStringLiteral(" where %1 = ?").arg(rowid));
    for (const QVariant &id : qAsConst(rowids)) {
        if (prepared) {
            bindAll(one, bound);
            one.addBindValue(id);
            if (runQuery(one, false, __FILE__, __LINE__))
                continue;
            if (m_transactionLost)
                return false;
        }
        // One line: where, which row, SQLite's error and the statement.
        QByteArray message;
        message += __FILE__;
        message += " ( ";
        message += QByteArray::number(__LINE__);
        message += " ):  ";
        message += source.toUtf8() + " row " + QByteArray::number(id.toLongLong())
            + " could not be copied into " + target.toUtf8() + ": ";
        message += one.lastError().text().toUtf8();
        message += " : [ ";
        message += one.lastQuery().toUtf8();
        message += " ] ";
        qWarning("%s", message.constData());
        if (failure)
            *failure = { id, one.lastError().databaseText() };
        return false;
    }
    // Row by row everything went in after all (the whole statement met a
    // passing condition, a lock let go): the copy is complete.
    return true;
}

bool UpdateBase::rebuildTable(const QString &table, const QString &createSql,
                              const QString &indexSql, const char *file, int line,
                              CopyFailure *failure)
{
    // A savepoint around the whole sequence: when a row cannot be copied the
    // rename and the half-filled new table are undone, so the next run finds
    // the table as it was instead of failing at the same place forever.
    const QString savepoint = QStringLiteral("rebuild_") + table;
    const QString backup = table + QStringLiteral("_bak");
    exec(QStringLiteral("savepoint ") + savepoint, file, line);
    renameTable(table, backup);
    // The rename took the table's indexes along under their names, so an
    // index statement "if not exists" would see its name taken and do
    // nothing, and dropping the backup would leave the table unindexed.
    // They go with the backup anyway; drop them now.
    for (const QString &index : indexesOf(backup))
        exec(QStringLiteral("drop index \"%1\"").arg(index), __FILE__, __LINE__);
    exec(createSql, file, line);
    if (!indexSql.isEmpty())
        exec(indexSql, file, line);
    if (!copyTable(table, backup, QSqlRecord(), QStringList(), failure)) {
        exec(QStringLiteral("rollback to savepoint ") + savepoint, file, line);
        exec(QStringLiteral("release savepoint ") + savepoint, file, line);
        return false;
    }
    exec(QStringLiteral("drop table ") + backup, file, line);
    exec(QStringLiteral("release savepoint ") + savepoint, file, line);
    return true;
}
