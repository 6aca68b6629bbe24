#ifndef STDPOINT_H
#define STDPOINT_H

#include "tamcore_global.h"

#include <QVector>

class StandardCurvePrivate;

// One measured point of a calibration curve: the concentration x, the
// measured value y, the concentration z back-calculated through the fitted
// curve, and flags (1 when the point does not fit the curve). Plain storage
// without resources of its own, so a vector of points is one flat array.
class TAMCORE_EXPORT StdPoint
{
public:
    StdPoint() = default;

    void setX(double x) { m_x = x; }
    void setY(double y) { m_y = y; }
    void setZ(double z) { m_z = z; }
    void setFlags(int flags) { m_flags = flags; }
    double z() const { return m_z; }
    int flags() const { return m_flags; }

private:
    // The curve reads the measured values when it fits.
    friend class StandardCurvePrivate;

    double m_x = 0.0;
    double m_y = 0.0;
    double m_z = 0.0;
    int m_flags = 0;
};

Q_DECLARE_TYPEINFO(StdPoint, Q_PRIMITIVE_TYPE);

#endif // STDPOINT_H
