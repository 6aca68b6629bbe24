#ifndef MESSAGEHANDLER_H
#define MESSAGEHANDLER_H

#include <QtGlobal>
#include <cstdio>

// The log file of the upgrade program: one process-wide C stream,
// null unless the log file was opened.
extern FILE *logFile;

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text);

// Opens the log in append mode and installs messageHandler; false (and
// nothing installed) when the file cannot be opened.
bool openLogFile(const char *path);
// The same for a stream opened by the caller (null: false), which the log
// then owns.
bool openLogFile(FILE *stream);
void closeLogFile();

// Lets every level of the program's own messages through, whatever logging
// rules the environment or a qtlogging.ini set: the log is the technician's
// only record of a run. Qt's own categories keep their rules for debug.
void keepEveryLevel();

#endif // MESSAGEHANDLER_H
