#include "updatebase.h"

#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>

// The table copy and the table rebuild: rows move inside SQLite, every value
// with its storage class and bytes, and a copy that cannot move every row
// stops the upgrade.

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

bool UpdateBase::renameTable(const QString &oldName, const QString &newName)
{
    return exec(QStringLiteral("alter table %1 rename to %2").arg(oldName, newName), __FILE__, __LINE__);
}

UpdateBase::SourceRows UpdateBase::probeSource(const QString &source, QStringList *names)
{
    QSqlQuery probe;
    probe.setForwardOnly(true);
    if (!probe.exec(QStringLiteral("select * from ") + source)) {
        reportQueryError(probe, __FILE__, __LINE__);
        // A missing table has nothing to copy; one that is there but cannot
        // be read (damaged, locked) must not pass as empty.
        if (passOver(probe.lastError(), probe.lastQuery(), true))
            return SourceRows::None;
        stop(probe.lastError().text().trimmed(), __FILE__, __LINE__);
        return SourceRows::Unreadable;
    }
    const QSqlRecord record = probe.record();
    for (int i = 0; i < record.count(); ++i)
        *names << record.fieldName(i);
    const bool empty = !probe.next();
    if (empty && probe.lastError().isValid()) {
        // Not an empty table but one that cannot be read: copying nothing
        // and dropping the backup would lose its rows.
        reportQueryError(probe, __FILE__, __LINE__);
        stop(probe.lastError().text().trimmed(), __FILE__, __LINE__);
        return SourceRows::Unreadable;
    }
    probe.finish();
    return empty ? SourceRows::None : SourceRows::Some;
}

bool UpdateBase::copyTable(const QString &target, const QString &source,
                           const QSqlRecord &values, const QStringList &droppedColumns,
                           CopyFailure *failure)
{
    if (m_stopped)
        return false;
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
    if (!runStatement(QStringLiteral("savepoint ") + savepoint, Failure::Strict, __FILE__, __LINE__))
        return false;
    QSqlQuery all;
    bool copied = all.prepare(copy + (rowid.isEmpty() ? QString() : QStringLiteral(" order by ") + rowid));
    if (copied) {
        bindAll(all, bound);
        copied = runQuery(all, Failure::Tentative, __FILE__, __LINE__);
    }
    if (m_stopped)
        return false;
    if (copied)
        return runStatement(QStringLiteral("release savepoint ") + savepoint, Failure::Strict, __FILE__, __LINE__);
    if (!runStatement(QStringLiteral("rollback to ") + savepoint, Failure::Strict, __FILE__, __LINE__)
            || !runStatement(QStringLiteral("release savepoint ") + savepoint, Failure::Strict, __FILE__, __LINE__))
        return false;
    if (rowid.isEmpty()) {
        reportQueryError(all, __FILE__, __LINE__);
        if (failure)
            *failure = { QVariant(), all.lastError().databaseText() };
        stop(QStringLiteral("%1 could not be copied into %2: %3")
                 .arg(source, target, all.lastError().databaseText()), __FILE__, __LINE__);
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
            || !readAll(ids, [&] { rowids << ids.value(0); }, __FILE__, __LINE__)) {
        stop(QStringLiteral("the rows of %1 could not be read").arg(source), __FILE__, __LINE__);
        return false;
    }
    ids.finish();
    QSqlQuery one;
    const bool prepared = one.prepare(copy + QStringLiteral(" where %1 = ?").arg(rowid));
    for (const QVariant &id : qAsConst(rowids)) {
        if (prepared) {
            bindAll(one, bound);
            one.addBindValue(id);
            if (runQuery(one, Failure::Tentative, __FILE__, __LINE__))
                continue;
            if (m_stopped)
                return false;
        }
        // One line: where, which row, SQLite's error and the statement.
        const QByteArray row = source.toUtf8() + " row " + QByteArray::number(id.toLongLong())
            + " could not be copied into " + target.toUtf8() + ": ";
        QByteArray message;
        message += __FILE__;
        message += " ( ";
        message += QByteArray::number(__LINE__);
        message += " ):  ";
        message += row;
        message += one.lastError().text().toUtf8();
        message += " : [ ";
        message += one.lastQuery().toUtf8();
        message += " ] ";
        qWarning("%s", message.constData());
        if (failure)
            *failure = { id, one.lastError().databaseText() };
        stop(QString::fromUtf8(row) + one.lastError().databaseText(), __FILE__, __LINE__);
        return false;
    }
    // Row by row everything went in after all (the whole statement met a
    // passing condition): the copy is complete.
    return true;
}

bool UpdateBase::rebuildTable(const QString &table, const QString &createSql,
                              const QString &indexSql, const char *file, int line,
                              CopyFailure *failure)
{
    if (m_stopped)
        return false;
    // A savepoint around the whole sequence: when a row cannot be copied the
    // rename and the half-filled new table are undone, so the table is as it
    // was even where no transaction encloses the rebuild.
    const QString savepoint = QStringLiteral("rebuild_") + table;
    const QString backup = table + QStringLiteral("_bak");
    if (!runStatement(QStringLiteral("savepoint ") + savepoint, Failure::Strict, file, line))
        return false;
    const auto undo = [&] {
        if (m_transactionLost)
            return;
        QSqlQuery(QStringLiteral("rollback to savepoint ") + savepoint);
        QSqlQuery(QStringLiteral("release savepoint ") + savepoint);
    };
    // The table's rows move: only a table that is not there may fail to go.
    runStatement(QStringLiteral("alter table %1 rename to %2").arg(table, backup), Failure::Strict, __FILE__,
                 __LINE__);
    // The rename took the table's indexes along under their names, so an
    // index statement "if not exists" would see its name taken and do
    // nothing, and dropping the backup would leave the table unindexed.
    // They go with the backup anyway; drop them now.
    for (const QString &index : indexesOf(backup))
        exec(QStringLiteral("drop index \"%1\"").arg(index), __FILE__, __LINE__);
    exec(createSql, file, line);
    if (!indexSql.isEmpty())
        exec(indexSql, file, line);
    const qint64 rows = count(QStringLiteral("select count(*) from ") + backup, true);
    if (m_stopped || !copyTable(table, backup, QSqlRecord(), QStringList(), failure)) {
        stop(QStringLiteral("the rows of %1 could not be copied back").arg(backup), file, line);
        undo();
        return false;
    }
    // Every row accounted for before the old table goes.
    const qint64 copied = count(QStringLiteral("select count(*) from ") + table, true);
    if (!m_stopped && copied != rows) {
        stop(QStringLiteral("%1 had %2 rows to copy, %3 received %4").arg(backup).arg(rows).arg(table).arg(copied),
             file, line);
    }
    if (m_stopped) {
        undo();
        return false;
    }
    runStatement(QStringLiteral("drop table ") + backup, Failure::Strict, file, line);
    runStatement(QStringLiteral("release savepoint ") + savepoint, Failure::Strict, file, line);
    if (m_stopped) {
        undo();
        return false;
    }
    return true;
}
