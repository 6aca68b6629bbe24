#include "dbfixture.h"

#include <QAtomicInt>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtDebug>

#include <sqlite3.h>

namespace Fixture {

namespace {

// Opens a private connection for one helper call and removes it afterwards.
class Connection
{
public:
    explicit Connection(const QString &file)
    {
        static QAtomicInt counter;
        m_name = QStringLiteral("fixture_%1").arg(counter.fetchAndAddRelaxed(1));
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(file);
        if (!db.open())
            qWarning() << "fixture cannot open" << file << db.lastError().text();
    }
    ~Connection() { QSqlDatabase::removeDatabase(m_name); }
    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }

private:
    QString m_name;
};

} // namespace

bool runScript(const QString &file, const QString &script)
{
    // SQLite's own script runner: it splits statements (trigger bodies
    // included) exactly as the shell does.
    sqlite3 *db = nullptr;
    if (sqlite3_open(QFile::encodeName(file).constData(), &db) != SQLITE_OK) {
        qWarning() << "fixture cannot open" << file << sqlite3_errmsg(db);
        sqlite3_close(db);
        return false;
    }
    char *error = nullptr;
    const QByteArray wrapped = "begin;\n" + script.toUtf8() + "\n;commit;";
    const bool ok = sqlite3_exec(db, wrapped.constData(), nullptr, nullptr, &error) == SQLITE_OK;
    if (!ok) {
        qWarning() << "fixture script failed:" << error;
        sqlite3_free(error);
    }
    sqlite3_close(db);
    return ok;
}

bool runScriptFile(const QString &file, const QString &scriptPath)
{
    QFile f(scriptPath);
    if (!f.open(QIODevice::ReadOnly)) {
        qWarning() << "fixture cannot read" << scriptPath;
        return false;
    }
    return runScript(file, QString::fromUtf8(f.readAll()));
}

QVariant scalar(const QString &file, const QString &sql)
{
    Connection c(file);
    QSqlQuery q(c.db());
    if (!q.exec(sql)) {
        qWarning() << "fixture query failed:" << sql << q.lastError().text();
        return QVariant();
    }
    return q.next() ? q.value(0) : QVariant();
}

QStringList rows(const QString &file, const QString &sql)
{
    Connection c(file);
    QSqlQuery q(c.db());
    QStringList out;
    if (!q.exec(sql)) {
        qWarning() << "fixture query failed:" << sql << q.lastError().text();
        return out;
    }
    while (q.next()) {
        QStringList columns;
        for (int i = 0; i < q.record().count(); ++i)
            columns << (q.isNull(i) ? QStringLiteral("NULL") : q.value(i).toString());
        out << columns.join(QLatin1Char('|'));
    }
    return out;
}

Run runDbupdate(const QString &workDir, const QStringList &arguments)
{
    QProcess p;
    p.setWorkingDirectory(workDir);
    // Without a console window (a child of a test on Windows) Qt would send
    // the messages to the debugger instead of standard error.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(DBUPDATE_BIN), arguments);
    return finish(p);
}

Run finish(QProcess &process)
{
    Run run;
    if (!process.waitForFinished(-1)) {
        run.standardError = "the program did not run: " + process.errorString().toUtf8();
        return run;
    }
    run.exitCode = process.exitCode();
    run.exitStatus = process.exitStatus();
    run.standardError = process.readAllStandardError();
    return run;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray readLog(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly | QIODevice::Text) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

QString sourcePath(const QString &relative)
{
    return QStringLiteral(WS_SOURCE_DIR "/") + relative;
}

} // namespace Fixture
