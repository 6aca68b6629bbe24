#ifndef ASSAYTEMPLATE_H
#define ASSAYTEMPLATE_H

#include "tamcore_global.h"

#include <QString>

namespace AssayTemplate {

// The calibration settings of an assay, one row of assayCalibration, as a
// record the caller fills.
struct TAMCORE_EXPORT Calibration
{
    int assayTemplateId = 0;
    int id = 0;
    QString name;
    int method = 0;      // a tam::RegressionMethod value
    QString caliX;
    QString caliY;
    QString funX;
    QString funY;
    QString dispX;       // display function of the x axis by name: "Log", "Ln" or linear
    QString dispY;
    QString condition;

    // The display functions named by dispX and dispY; any text other than
    // "Log" or "Ln" (letter case ignored) means a linear axis.
    tam::Function dispFunX() const;
    tam::Function dispFunY() const;
};

} // namespace AssayTemplate

#endif // ASSAYTEMPLATE_H
