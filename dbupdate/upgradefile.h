#ifndef UPGRADEFILE_H
#define UPGRADEFILE_H

#include "updatebase.h"

// One file of the data directory as a run and the status report see it.
struct UpgradeFile {
    const char *fileName;
    // False for a file that keeps no schema version (qc.db).
    bool versioned;
    // Its table of blocks, readable without opening the file.
    QVector<UpdateBase::Block> (*blocks)();
    // Opens the file and runs its upgrade; false when it failed.
    bool (*run)();
};

// The four files in the order a run upgrades them.
const QVector<UpgradeFile> &upgradeFiles();

#endif // UPGRADEFILE_H
