#ifndef UPDATEPROFILE_H
#define UPDATEPROFILE_H

#include "updatebase.h"

class UpdateProfile : public UpdateBase
{
    Q_OBJECT
public:
    explicit UpdateProfile(QObject *parent = nullptr);

    // The upgrade's table of blocks.
    static QVector<Block> blocks();

protected:
    // The calibration recompute that runs on every start.
    bool updateVariables();
    bool updateCurves();

private:
    friend class CurveRefit; // the recompute's statements go through the funnel

    // The table's steps that are more than one statement.
    static void explainUserCopy(const CopyFailure &failure);
    static bool writeVersion2Defaults(UpdateBase &base);
    static bool writeCalibrationMethods(UpdateBase &base);
    static bool resetAssayItems(UpdateBase &base);
    static bool fillCurrentCurve(UpdateBase &base);
    static bool recompute(UpdateBase &base);
    static bool writeClosingRows(UpdateBase &base);
};

#endif // UPDATEPROFILE_H
