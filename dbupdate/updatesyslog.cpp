#include "updatesyslog.h"

UpdateSyslog::UpdateSyslog(QObject *parent)
    : UpdateBase(QStringLiteral("syslog.db"), parent)
{
}

QVector<UpdateBase::Block> UpdateSyslog::blocks()
{
    return {
        { 1, "version table" },
    };
}

bool UpdateSyslog::update()
{
    if (newerThan(currentVersion(blocks())))
        return true;
    if (!backupBeforeUpgrade(currentVersion(blocks())))
        return false;
    // One transaction: a run cut off between the version table and its row
    // would leave an empty table (version 0 again), and the next run would
    // replace the backup of the untouched file by a copy of that one.
    beginTransaction(__FILE__, __LINE__);
    if (version() < 1)
        exec(QStringLiteral("create table version(version integer)"), __FILE__, __LINE__);

    exec(QStringLiteral("delete from version"), __FILE__, __LINE__);
    exec(QStringLiteral("insert into version values(1)"), __FILE__, __LINE__);
    if (!inTransaction())
        return true; // could not open one (logged): statements committed one by one
    return commitTransaction(__FILE__, __LINE__);
}
