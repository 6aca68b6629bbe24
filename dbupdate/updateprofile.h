#ifndef UPDATEPROFILE_H
#define UPDATEPROFILE_H

#include "updatebase.h"

class UpdateProfile : public UpdateBase
{
    Q_OBJECT
public:
    explicit UpdateProfile(QObject *parent = nullptr);
    bool update() override;

    // What each block of update() does, for the status report.
    static QVector<Block> blocks();

protected:
    // The calibration recompute that runs on every start.
    bool updateVariables();
    bool updateCurves();
};

#endif // UPDATEPROFILE_H
