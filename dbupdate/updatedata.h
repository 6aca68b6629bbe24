#ifndef UPDATEDATA_H
#define UPDATEDATA_H

#include "updatebase.h"

class UpdateData : public UpdateBase
{
    Q_OBJECT
public:
    explicit UpdateData(QObject *parent = nullptr);

    // The upgrade's table of blocks.
    static QVector<Block> blocks();

private:
    static QVector<Step> lookupRebuilds();
};

#endif // UPDATEDATA_H
