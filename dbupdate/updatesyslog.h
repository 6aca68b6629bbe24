#ifndef UPDATESYSLOG_H
#define UPDATESYSLOG_H

#include "updatebase.h"

class UpdateSyslog : public UpdateBase
{
    Q_OBJECT
public:
    explicit UpdateSyslog(QObject *parent = nullptr);

    // The upgrade's table of blocks.
    static QVector<Block> blocks();
};

#endif // UPDATESYSLOG_H
