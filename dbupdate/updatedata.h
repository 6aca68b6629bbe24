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
    // Block 1's case-blind, indexed lookup lists, rebuilt one by one.
    static bool rebuildLookups(UpdateBase &base);
};

#endif // UPDATEDATA_H
