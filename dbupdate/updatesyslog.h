#ifndef UPDATESYSLOG_H
#define UPDATESYSLOG_H

#include "updatebase.h"

class UpdateSyslog : public UpdateBase
{
    Q_OBJECT
public:
    explicit UpdateSyslog(QObject *parent = nullptr);
    bool update() override;

    // What each block of update() does, for the status report.
    static QVector<Block> blocks();
};

#endif // UPDATESYSLOG_H
