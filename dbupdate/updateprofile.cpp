#include "updateprofile.h"

UpdateProfile::UpdateProfile(QObject *parent)
    : UpdateBase(QStringLiteral("profile.db"), parent)
{
}

bool UpdateProfile::update()
{
    // The schema and data steps of profile.db are not written yet; opening
    // the file keeps the upgrade sequence complete.
    return true;
}

// ---- Calibration recompute ---------------------------------------------

bool UpdateProfile::updateVariables()
{
    // Not written yet.
    return true;
}

bool UpdateProfile::updateCurves()
{
    // Not written yet.
    return true;
}
