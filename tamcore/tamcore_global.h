#ifndef TAMCORE_GLOBAL_H
#define TAMCORE_GLOBAL_H

#include <QtGlobal>

#if defined(TAMCORE_LIBRARY)
#  define TAMCORE_EXPORT Q_DECL_EXPORT
#else
#  define TAMCORE_EXPORT Q_DECL_IMPORT
#endif

namespace tam {

// Axis transformation of a calibration curve. Stored as these integers in
// profile.db, so the values never change. A fixed underlying type lets any
// stored integer be carried, also one this library does not know.
enum class Function : int {
    Linear = 0, // identity
    Log = 1,    // base-10 logarithm
    Ln = 2      // natural logarithm
};

// Regression method of a calibration curve; stored as these integers too.
enum class RegressionMethod : int {
    Linear = 0,       // Y = a + bX
    Quadratic = 1,    // Y = a + bX + cX^2
    Cubic = 2,        // Y = a + bX + cX^2 + dX^3
    PointToPoint = 3, // piecewise linear through the points
    Spline = 4        // natural cubic spline through the points
};

} // namespace tam

#endif // TAMCORE_GLOBAL_H
