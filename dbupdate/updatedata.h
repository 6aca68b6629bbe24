#ifndef UPDATEDATA_H
#define UPDATEDATA_H

#include "updatebase.h"

class UpdateData : public UpdateBase
{
    Q_OBJECT
public:
    explicit UpdateData(QObject *parent = nullptr);
    bool update() override;

    // What each block of update() does, for the status report.
    static QVector<Block> blocks();
};

#endif // UPDATEDATA_H
