#include "statusreport.h"

#include "updatedata.h"
#include "updateprofile.h"
#include "updateqc.h"
#include "updatesyslog.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

struct FileSteps {
    const char *fileName;
    bool versioned;
    QVector<UpdateBase::Block> (*blocks)();
};

// The run's order and files.
const FileSteps files[] = {
    { "profile.db", true, UpdateProfile::blocks },
    { "data.db", true, UpdateData::blocks },
    { "qc.db", false, UpdateQc::blocks },
    { "syslog.db", true, UpdateSyslog::blocks },
};

// What one file holds, read on a read-only connection of its own.
struct Present {
    bool readable = false;
    QString error;
    qint64 tables = 0;
    int version = 0;
};

Present inspect(const QString &fileName)
{
    const QString connection = QStringLiteral("status:") + fileName;
    Present present;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(fileName);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=0"));
        if (!db.open()) {
            present.error = db.lastError().text();
        } else {
            QSqlQuery schema(db);
            if (schema.exec(QStringLiteral("select count(*) from sqlite_master")) && schema.next()) {
                present.tables = schema.value(0).toLongLong();
                present.version = UpdateBase::readVersion(db, &present.error);
                // A failed version read says nothing of the file: unreadable.
                present.readable = present.error.isEmpty();
            } else {
                present.error = schema.lastError().text();
            }
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return present;
}

QString describe(const FileSteps &file)
{
    const QString name = QString::fromLatin1(file.fileName);
    const QVector<UpdateBase::Block> blocks = file.blocks();
    const int current = UpdateBase::currentVersion(blocks);
    QString text = name + QStringLiteral(": ");

    int from = 0;
    bool backup = false;
    if (!QFileInfo::exists(name)) {
        text += QStringLiteral("missing; a run creates it");
    } else {
        const Present present = inspect(name);
        if (!present.readable) {
            // A run would stop at the copy it cannot take.
            return text + QStringLiteral("cannot be read (%1)\n").arg(present.error.trimmed());
        }
        if (file.versioned) {
            from = present.version;
            text += QStringLiteral("version %1").arg(from);
            backup = from < current && present.tables > 0;
        } else {
            text += QStringLiteral("present");
        }
    }
    if (file.versioned)
        text += QStringLiteral(", current %1").arg(current);
    else
        text += QStringLiteral(", keeps no version");

    // A file left by a newer release is not touched by a run at all.
    const bool newer = file.versioned && from > current;
    QStringList pending;
    for (const UpdateBase::Block &block : blocks) {
        if (newer)
            break;
        if (block.version == 0)
            pending << QStringLiteral("  every run: %1").arg(QString::fromUtf8(block.description));
        else if (from < block.version)
            pending << QStringLiteral("  to version %1: %2").arg(block.version)
                           .arg(QString::fromUtf8(block.description));
    }
    if (newer)
        text += QStringLiteral(", newer than this program: a run leaves it as it is");
    else if (file.versioned && from >= current)
        text += QStringLiteral(", up to date");
    text += QLatin1Char('\n');
    if (backup)
        text += QStringLiteral("  backup first: %1\n").arg(UpdateBase::backupName(name, from));
    if (pending.isEmpty())
        text += QStringLiteral("  nothing to apply\n");
    else
        text += pending.join(QLatin1Char('\n')) + QLatin1Char('\n');
    return text;
}

} // namespace

QString statusReport()
{
    QString report;
    for (const FileSteps &file : files)
        report += describe(file);
    return report;
}
