#ifndef ENTRYPLATFORM_H
#define ENTRYPLATFORM_H

// What the upgrade program's entry does differently per system;
// implemented in entryplatform_unix.cpp and entryplatform_win.cpp.

#include <QString>

// Opens the log file named by argument `index` of the command line (see
// openLogFile); false when it cannot be opened.
bool openLogArgument(int argc, char *argv[], int index);

// Makes the library's default output, used while no log file is open,
// reach standard error whether or not the process has a console.
void keepMessagesOnStderr();

// The folder the program must not run in when the working directory is
// one (the system's own folders); empty otherwise.
QString refusedWorkingDirectory();

#endif // ENTRYPLATFORM_H
