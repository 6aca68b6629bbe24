#include "updatebase.h"
#include "updatebase_p.h"

#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

// The SQL funnel: every statement of an upgrade passes here, and here it is
// decided what a failure means. The rule: a failure is passed over (logged,
// the upgrade goes on) only when its error says the statement's goal already
// holds or the site's own value wins; everything else stops the file, and
// the whole upgrade of it is rolled back.

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

// SQLite's primary result codes that concern the statement itself; every
// other (busy, locked, read-only, I/O, full, corrupt, not a database, out of
// memory...) concerns the file or the machine and stops whatever failed.
bool statementError(int code)
{
    enum { Error = 1, TooBig = 18, Constraint = 19, Mismatch = 20, Range = 25 };
    return code == Error || code == TooBig || code == Constraint || code == Mismatch || code == Range;
}

int primaryCode(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? (code & 0xff) : -1;
}

QString statementText(const QString &sql)
{
    QString text = sql;
    static const QRegularExpression comments(QStringLiteral("^(\\s*--[^\\n]*(\\n|$))+"));
    text.remove(comments);
    return text.simplified().toLower();
}

} // namespace

bool UpdateBase::tableExists(const QString &name)
{
    QSqlQuery query;
    query.prepare(QStringLiteral("select 1 from sqlite_master where type in ('table', 'view') "
                                 "and name = ? collate nocase"));
    query.addBindValue(name);
    // Unreadable: it may well be there, so nothing is passed over.
    return !query.exec() || query.next() || query.lastError().isValid();
}

bool UpdateBase::passOver(const QSqlError &error, const QString &sql, bool moves)
{
    if (!statementError(primaryCode(error)))
        return false;
    const QString text = error.databaseText();
    const QString statement = statementText(sql);

    // What is to be dropped is gone already; what is to be altered, seeded
    // or moved is a table this file never had (nothing to move from it).
    static const QRegularExpression noSuch(QStringLiteral("^no such (table|index|trigger|view): (?:main\\.)?(\\S+)$"));
    const QRegularExpressionMatch missing = noSuch.match(text);
    if (missing.hasMatch()) {
        if (statement.startsWith(QLatin1String("drop ")))
            return true;
        return missing.captured(1) == QLatin1String("table") && !tableExists(missing.captured(2));
    }
    // A statement that moves rows has no other way to fail harmlessly.
    if (moves)
        return false;
    static const QRegularExpression exists(QStringLiteral("^(table|index|trigger|view) \\S+ already exists$"));
    if (text.startsWith(QLatin1String("duplicate column name: ")) || exists.match(text).hasMatch())
        return true;
    // A seed that meets the site's own row: the site's value stays.
    static const QRegularExpression seed(QStringLiteral("^(insert|replace)\\b(?!.*\\bselect\\b)"));
    return text.startsWith(QLatin1String("UNIQUE constraint failed: ")) && seed.match(statement).hasMatch();
}

void UpdateBase::stop(const QString &reason, const char *file, int line)
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_stopReason = QStringLiteral("the upgrade stopped at %1 ( %2 ): %3")
                       .arg(QString::fromUtf8(file)).arg(line).arg(reason);
}

bool UpdateBase::runQuery(QSqlQuery &query, Failure mode, const char *file, int line)
{
    if (m_stopped)
        return false;
    if (query.exec())
        return true;
    const QSqlError error = query.lastError();
    // An ordinary failure keeps the transaction; this one took it along.
    const bool lost = m_inTransaction && !connectionInTransaction();
    if (lost)
        m_transactionLost = true;
    const bool statementOnly = statementError(primaryCode(error));
    if (!lost && mode == Failure::Tentative && statementOnly)
        return false; // the caller tries another way and reports itself
    if (!lost && mode == Failure::Reported && statementOnly) {
        reportQueryError(query, file, line);
        return false;
    }
    if (!lost && (mode == Failure::Tolerant || mode == Failure::Strict)
            && passOver(error, query.lastQuery(), mode == Failure::Strict)) {
        reportQueryError(query, file, line);
        return false;
    }
    reportQueryError(query, file, line);
    stop(error.text().trimmed(), file, line);
    return false;
}

bool UpdateBase::runStatement(const QString &sql, Failure mode, const char *file, int line)
{
    if (m_stopped)
        return false;
    QSqlQuery query;
    if (!query.prepare(sql)) {
        // Prepared apart so that its failure is judged like any other.
        const QSqlError error = query.lastError();
        const bool statementOnly = statementError(primaryCode(error));
        if ((mode == Failure::Tolerant || mode == Failure::Strict)
                && passOver(error, sql, mode == Failure::Strict)) {
            reportQueryError(query, file, line);
            return false;
        }
        if (mode == Failure::Tentative && statementOnly)
            return false;
        if (mode == Failure::Reported && statementOnly) {
            reportQueryError(query, file, line);
            return false;
        }
        reportQueryError(query, file, line);
        stop(error.text().trimmed(), file, line);
        return false;
    }
    return runQuery(query, mode, file, line);
}

bool UpdateBase::exec(const QString &sql, const char *file, int line)
{
    runStatement(sql, Failure::Tolerant, file, line);
    return !m_stopped;
}

bool UpdateBase::execMove(const QString &sql, const char *file, int line)
{
    runStatement(sql, Failure::Strict, file, line);
    return !m_stopped;
}

bool UpdateBase::run(const QString &sql, const char *file, int line)
{
    return runStatement(sql, Failure::Reported, file, line);
}

bool UpdateBase::run(QSqlQuery &query, const char *file, int line)
{
    return runQuery(query, Failure::Reported, file, line);
}

bool UpdateBase::prepare(QSqlQuery &query, const QString &sql, const char *file, int line)
{
    if (m_stopped)
        return false;
    if (query.prepare(sql))
        return true;
    reportQueryError(query, file, line);
    if (!statementError(primaryCode(query.lastError())))
        stop(query.lastError().text().trimmed(), file, line);
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
    // A table that cannot be read to its end is never taken for a shorter
    // one: false, and a damaged or locked file stops the upgrade.
    reportQueryError(query, file, line);
    if (!statementError(primaryCode(query.lastError())))
        stop(query.lastError().text().trimmed(), file, line);
    return false;
}

qint64 UpdateBase::count(const QString &sql, bool missingIsEmpty)
{
    if (m_stopped)
        return -1;
    QSqlQuery query;
    if (query.exec(sql) && query.next())
        return query.value(0).toLongLong();
    const QSqlError error = query.lastError();
    static const QRegularExpression noSuch(QStringLiteral("^no such table: (?:main\\.)?(\\S+)$"));
    const QRegularExpressionMatch missing = noSuch.match(error.databaseText());
    if (missingIsEmpty && missing.hasMatch() && !tableExists(missing.captured(1)))
        return 0;
    reportQueryError(query, __FILE__, __LINE__);
    stop(error.text().trimmed(), __FILE__, __LINE__);
    return -1;
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

bool UpdateBase::beginTransaction(const char *file, int line)
{
    m_transactionLost = false;
    m_inTransaction = false;
    if (m_stopped)
        return false;
    // The write lock now, not at the first write: a file another program
    // holds is refused before anything is read or copied.
    QSqlQuery begin;
    if (begin.exec(QStringLiteral("begin immediate transaction"))) {
        m_inTransaction = true;
        return true;
    }
    reportQueryError(begin, file, line);
    stop(begin.lastError().text().trimmed(), file, line);
    return false;
}

bool UpdateBase::lockFile()
{
    m_transactionLost = false;
    m_inTransaction = false;
    QSqlQuery begin;
    if (begin.exec(QStringLiteral("begin immediate transaction"))) {
        m_inTransaction = true;
        return true;
    }
    // Nothing of the upgrade has run: the line names no statement.
    const int code = primaryCode(begin.lastError());
    enum { Busy = 5, Locked = 6 };
    const QByteArray name = m_fileName.toUtf8();
    const QByteArray error = begin.lastError().databaseText().toUtf8();
    if (code == Busy || code == Locked) {
        qWarning("%s is in use by another program (%s); %s is not upgraded in this run", name.constData(),
                 error.constData(), name.constData());
    } else {
        qWarning("%s cannot be read (%s); %s is not upgraded in this run", name.constData(), error.constData(),
                 name.constData());
    }
    m_stopped = true;
    return false;
}

bool UpdateBase::commitTransaction(const char *file, int line)
{
    if (!m_inTransaction)
        return false;
    if (m_transactionLost || m_stopped) {
        rollbackTransaction(file, line);
        return false;
    }
    QSqlQuery commit;
    const bool ok = commit.exec(QStringLiteral("commit transaction"));
    if (!ok) {
        reportQueryError(commit, file, line);
        stop(commit.lastError().text().trimmed(), file, line);
        if (connectionInTransaction())
            QSqlQuery(QStringLiteral("rollback transaction"));
    }
    m_inTransaction = false;
    return ok;
}

void UpdateBase::rollbackTransaction(const char *, int)
{
    // Not through the funnel: a stopped upgrade still has to roll back.
    if (m_inTransaction && connectionInTransaction())
        QSqlQuery(QStringLiteral("rollback transaction"));
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

void UpdateBase::settleJournal()
{
    // After a write error SQLite may keep the journal and the grown file
    // until the next connection reads the file; a fresh connection's first
    // read plays it back now, so that the file is as it was and readers can
    // open it.
    const QString journal = m_fileName + QStringLiteral("-journal");
    if (!QFile::exists(journal))
        return;
    QSqlDatabase db = QSqlDatabase::database();
    db.close();
    if (db.open()) {
        QSqlQuery read(db);
        read.exec(QStringLiteral("select count(*) from sqlite_master"));
    }
}
