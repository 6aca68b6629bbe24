#include "statusreport.h"

#include "upgradefile.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

// What one file holds, read on a read-only connection of its own.
struct Present {
    bool readable = false;
    QString error;
    qint64 tables = 0;
    int version = 0;
    QString note; // the schema and the version table disagree
};

Present inspect(const QString &fileName, const QVector<UpdateBase::Block> &blocks)
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
                schema.finish();
                // Placed as a run places it: by its schema where the version
                // table cannot be trusted.
                const UpdateBase::Placement placement = blocks.isEmpty() || present.tables == 0
                    ? UpdateBase::Placement{true, false, 0, QString(), QString()}
                    : UpdateBase::place(db, blocks);
                present.version = placement.version;
                present.note = placement.note;
                present.error = placement.error;
                present.readable = placement.ok || placement.newer;
            } else {
                present.error = schema.lastError().text();
            }
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return present;
}

// What a run would apply to a file at version `from`: the versions above it
// in table order, then what runs on every start.
QStringList pendingBlocks(const QVector<UpdateBase::Block> &blocks, int from)
{
    QStringList pending;
    QStringList everyRun;
    for (const UpdateBase::Block &block : blocks) {
        if (block.version == 0)
            everyRun << QStringLiteral("  every run: %1").arg(QString::fromUtf8(block.description));
        else if (from < block.version)
            pending << QStringLiteral("  to version %1: %2").arg(block.version)
                           .arg(QString::fromUtf8(block.description));
    }
    return pending + everyRun;
}

QString describe(const UpgradeFile &file)
{
    const QString name = QString::fromLatin1(file.fileName);
    const QVector<UpdateBase::Block> blocks = file.blocks();
    const int current = UpdateBase::currentVersion(blocks);
    QString text = name + QStringLiteral(": ");

    int from = 0;
    bool backup = false;
    // A file without tables gets nothing: a version written into it would
    // later pass it for a current one.
    bool empty = false;
    if (!QFileInfo::exists(name)) {
        text += QStringLiteral("missing; a run creates it");
        empty = true;
    } else {
        const Present present = inspect(name, blocks);
        if (!present.readable) {
            // A run leaves it as it is.
            return text + QStringLiteral("cannot be upgraded (%1)\n").arg(present.error.trimmed());
        }
        empty = present.tables == 0;
        if (file.versioned) {
            from = present.version;
            text += QStringLiteral("version %1").arg(from);
            if (!present.note.isEmpty())
                text += QStringLiteral(" (%1)").arg(present.note);
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
    const QStringList pending = newer || (empty && file.versioned) ? QStringList() : pendingBlocks(blocks, from);
    if (newer)
        text += QStringLiteral(", newer than this program: a run leaves it as it is");
    else if (empty && file.versioned)
        text += QStringLiteral(", holds no tables: a run writes nothing into it");
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
    for (const UpgradeFile &file : upgradeFiles())
        report += describe(file);
    return report;
}
