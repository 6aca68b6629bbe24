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
void closeLogFile();

#endif // MESSAGEHANDLER_H
