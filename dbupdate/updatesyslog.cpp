#include "updatesyslog.h"

// One transaction, as for every file: a run cut off between the version
// table and its row would leave an empty table (version 0 again), and the
// next run would replace the backup of the untouched file by a copy of that
// one. The version is not read again inside it: the block only creates the
// version table, which fails harmlessly on a file that has one.
UpdateSyslog::UpdateSyslog(QObject *parent)
    : UpdateBase(QStringLiteral("syslog.db"), blocks(), 0, parent)
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
