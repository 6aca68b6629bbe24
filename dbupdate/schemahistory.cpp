#include "schemahistory.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace {

// A statement as SQLite keeps it comparable: the leading comment lines gone,
// white space collapsed, lower case (SQLite itself rewrites the first
// keywords of what it stores).
QString normalised(const QString &sql)
{
    QString text = sql;
    static const QRegularExpression comments(QStringLiteral("^(\\s*--[^\\n]*(\\n|$))+"));
    text.remove(comments);
    text = text.simplified().toLower();
    while (text.endsWith(QLatin1Char(';')))
        text.chop(1);
    return text.trimmed();
}

QString tableKey(const QString &name) { return QStringLiteral("t:") + name.toLower(); }
QString triggerKey(const QString &name) { return QStringLiteral("g:") + name.toLower(); }
QString columnKey(const QString &table, const QString &column)
{
    return QStringLiteral("c:") + table.toLower() + QLatin1Char('.') + column.toLower();
}

// The one table that is in doubt when the schema is asked.
bool ignored(const QString &name)
{
    return name.compare(QLatin1String("version"), Qt::CaseInsensitive) == 0;
}

} // namespace

SchemaHistory::SchemaHistory(const QVector<UpdateBase::Block> &blocks)
{
    const int current = UpdateBase::currentVersion(blocks);
    m_states.reserve(current + 1);
    m_states.append(State()); // version 0: only what later blocks create, as absent
    for (int version = 1; version <= current; ++version) {
        m_building = version;
        for (const UpdateBase::Block &block : blocks) {
            if (block.version != version)
                continue;
            for (const UpdateBase::Step &step : block.schema) {
                if (step.kind == UpdateBase::StepKind::Rebuild)
                    applyRebuild(step.table, step.sql);
                else if (step.kind != UpdateBase::StepKind::Action)
                    apply(step.sql);
            }
        }
        m_states.append(m_current);
    }
}

void SchemaHistory::set(const QString &key, const Expect &expect, bool creates)
{
    if (!m_touched.contains(key)) {
        m_touched.insert(key);
        // Before the block that first creates it, no version had it; before
        // one that first drops or renames it, it may have been anything.
        if (creates) {
            m_createdBy.insert(key, m_building);
            Expect absent = expect;
            absent.kind = expect.kind == Expect::Column ? Expect::Column : Expect::Absent;
            absent.columns.clear();
            absent.present = false;
            for (State &state : m_states)
                state.insert(key, absent);
        }
    }
    Expect now = expect;
    now.optional = now.kind == Expect::Table && !m_createdBy.contains(key);
    m_current.insert(key, now);
}

QSet<QString> SchemaHistory::columnsOf(const QString &createSql, const QString &table)
{
    // SQLite reads the definition itself: comments, constraints and quoting
    // need no parser of ours.
    const QString connection = QStringLiteral("dbupdate-schemahistory");
    QSet<QString> columns;
    {
        QSqlDatabase scratch = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        scratch.setDatabaseName(QStringLiteral(":memory:"));
        if (scratch.open()) {
            QSqlQuery query(scratch);
            if (query.exec(createSql)
                    && query.exec(QStringLiteral("select name from pragma_table_info('%1')").arg(table))) {
                while (query.next())
                    columns.insert(query.value(0).toString().toLower());
            }
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return columns;
}

void SchemaHistory::applyRebuild(const QString &table, const QString &createSql)
{
    const QString backup = table + QStringLiteral("_bak");
    set(tableKey(backup), Expect(), true);
    Expect rebuilt;
    rebuilt.kind = Expect::Table;
    rebuilt.columns = columnsOf(createSql, table);
    set(tableKey(table), rebuilt, false);
}

void SchemaHistory::apply(const QString &statement)
{
    const QString sql = normalised(statement);
    static const QRegularExpression createTable(
        QStringLiteral("^create table (?:if not exists )?\"?(\\w+)\"?\\s*\\("));
    static const QRegularExpression addColumn(
        QStringLiteral("^alter table \"?(\\w+)\"? add (?:column )?\"?(\\w+)\"?"));
    static const QRegularExpression rename(
        QStringLiteral("^alter table \"?(\\w+)\"? rename to \"?(\\w+)\"?$"));
    static const QRegularExpression createNamed(
        QStringLiteral("^create (trigger|view) (?:if not exists )?\"?(\\w+)\"?"));
    static const QRegularExpression drop(
        QStringLiteral("^drop (table|view|trigger) (?:if exists )?\"?(\\w+)\"?$"));

    QRegularExpressionMatch m;
    if ((m = createTable.match(sql)).hasMatch()) {
        const QString name = m.captured(1);
        if (ignored(name))
            return;
        Expect table;
        table.kind = Expect::Table;
        table.columns = columnsOf(statement, name);
        set(tableKey(name), table, true);
    } else if ((m = addColumn.match(sql)).hasMatch()) {
        Expect column;
        column.kind = Expect::Column;
        column.table = m.captured(1);
        column.column = m.captured(2);
        set(columnKey(column.table, column.column), column, true);
        auto table = m_current.find(tableKey(column.table));
        if (table != m_current.end() && table->kind == Expect::Table)
            table->columns.insert(column.column.toLower());
    } else if ((m = rename.match(sql)).hasMatch()) {
        const QString from = tableKey(m.captured(1));
        Expect moved = m_current.value(from);
        if (!m_current.contains(from))
            moved.kind = Expect::Present;
        set(tableKey(m.captured(2)), moved, true);
        set(from, Expect(), false);
    } else if ((m = createNamed.match(sql)).hasMatch()) {
        const bool trigger = m.captured(1) == QLatin1String("trigger");
        Expect object;
        object.kind = trigger ? Expect::Trigger : Expect::View;
        object.text = sql;
        set(trigger ? triggerKey(m.captured(2)) : tableKey(m.captured(2)), object, true);
    } else if ((m = drop.match(sql)).hasMatch()) {
        const QString name = m.captured(2);
        if (ignored(name))
            return;
        set(m.captured(1) == QLatin1String("trigger") ? triggerKey(name) : tableKey(name), Expect(), false);
    }
    // Indexes, savepoints and data statements say nothing of the version.
}

bool SchemaHistory::fittingVersions(const QSqlDatabase &db, QList<int> *versions, QString *error) const
{
    struct Object {
        QString type;
        QString sql;
    };
    QHash<QString, Object> objects; // by key: tables and views, triggers
    {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("select type, name, sql from sqlite_master"))) {
            *error = query.lastError().text();
            return false;
        }
        while (query.next()) {
            const QString type = query.value(0).toString();
            const QString name = query.value(1).toString();
            if (type == QLatin1String("table") || type == QLatin1String("view"))
                objects.insert(tableKey(name), {type, normalised(query.value(2).toString())});
            else if (type == QLatin1String("trigger"))
                objects.insert(triggerKey(name), {type, normalised(query.value(2).toString())});
        }
        if (query.lastError().isValid()) {
            *error = query.lastError().text();
            return false;
        }
    }
    QHash<QString, QSet<QString>> columns;
    bool readable = true;
    auto columnsOfFile = [&](const QString &table) -> const QSet<QString> & {
        auto found = columns.find(table);
        if (found != columns.end())
            return *found;
        QSet<QString> names;
        QSqlQuery query(db);
        query.prepare(QStringLiteral("select name from pragma_table_info(?)"));
        query.addBindValue(table);
        if (!query.exec()) {
            readable = false;
            *error = query.lastError().text();
        }
        while (query.next())
            names.insert(query.value(0).toString().toLower());
        return *columns.insert(table, names);
    };

    auto holds = [&](const QString &key, const Expect &expect) {
        const auto object = objects.constFind(key);
        const bool present = object != objects.constEnd();
        switch (expect.kind) {
        case Expect::Absent:
            return !present;
        case Expect::Present:
            return present;
        case Expect::Table: {
            if (!present)
                return expect.optional;
            if (object->type != QLatin1String("table"))
                return false;
            const QSet<QString> &have = columnsOfFile(key.mid(2));
            for (const QString &column : expect.columns) {
                if (!have.contains(column))
                    return false;
            }
            return true;
        }
        case Expect::View:
        case Expect::Trigger:
            return present && object->sql == expect.text;
        case Expect::Column: {
            // A table the file lacks altogether has no say.
            const auto table = objects.constFind(tableKey(expect.table));
            if (table == objects.constEnd() || table->type != QLatin1String("table"))
                return true;
            const bool has = columnsOfFile(expect.table.toLower()).contains(expect.column.toLower());
            return has == expect.present;
        }
        }
        return false;
    };

    versions->clear();
    for (int version = 0; version < m_states.size(); ++version) {
        bool fits = true;
        const State &state = m_states.at(version);
        for (auto it = state.constBegin(); fits && it != state.constEnd(); ++it) {
            const bool soft = m_createdBy.value(it.key()) == version + 1;
            fits = soft || holds(it.key(), it.value());
        }
        if (!readable)
            return false;
        if (fits)
            versions->append(version);
    }
    return true;
}
