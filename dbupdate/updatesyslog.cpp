#include "updatesyslog.h"

// One transaction, as for every file: a run cut off between the version
// table and its row would leave an empty table, and the next run would
// replace the backup of the untouched file by a copy of that one.
UpdateSyslog::UpdateSyslog(QObject *parent)
    : UpdateBase(QStringLiteral("syslog.db"), blocks(), false, parent)
{
}

QVector<UpdateBase::Block> UpdateSyslog::blocks()
{
    return {
        { 1, "version table", {
            sql(QStringLiteral("create table version(version integer)")),
        } },
    };
}
