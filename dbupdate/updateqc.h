#ifndef UPDATEQC_H
#define UPDATEQC_H

#include "updatebase.h"

class UpdateQc : public UpdateBase
{
    Q_OBJECT
public:
    explicit UpdateQc(QObject *parent = nullptr);

    // The upgrade's table of blocks.
    static QVector<Block> blocks();
};

#endif // UPDATEQC_H
