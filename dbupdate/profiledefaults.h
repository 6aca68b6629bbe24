#ifndef PROFILEDEFAULTS_H
#define PROFILEDEFAULTS_H

#include <QStringList>

// The rows profile.db's upgrade seeds, as the statements that write them.
// Captions are translated as the statements are made, so call these after
// the catalogues are installed. A seeded row never overwrites a site's value
// unless it is a replace: see the kinds in profiledefaults.cpp.
namespace ProfileDefaults {

// Version 2: settings, the reagent list, schedule and analysis defaults.
QStringList version2();
// Version 3: the regression method and axis functions of the calibrations.
QStringList calibrationMethods();
// Reset on every start.
QStringList everyStart();
// Written last, once the calibrations are through; never over a site's row.
QStringList closing();

} // namespace ProfileDefaults

#endif // PROFILEDEFAULTS_H
