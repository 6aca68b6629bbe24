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
    if (version() < 1)
        exec(QStringLiteral("create table version(version integer)"), __FILE__, __LINE__);

    exec(QStringLiteral("delete from version"), __FILE__, __LINE__);
    exec(QStringLiteral("insert into version values(1)"), __FILE__, __LINE__);
    return true;
}
