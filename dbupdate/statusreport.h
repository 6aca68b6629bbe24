#ifndef STATUSREPORT_H
#define STATUSREPORT_H

#include <QString>

// What a run in the current directory would do, file by file, in the order
// the run takes them: the version each file holds, its current version, the
// backup a run would take and the blocks it would apply. Opens every file
// read-only and creates none.
QString statusReport();

#endif // STATUSREPORT_H
