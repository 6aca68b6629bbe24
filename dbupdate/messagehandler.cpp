#include "messagehandler.h"

#include <QByteArray>
#include <QString>

#include <cstdlib>

FILE *logFile = nullptr;

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (!logFile)
        return;
    const QByteArray local = text.toLocal8Bit();
    const char *format = nullptr;
    switch (type) {
    case QtDebugMsg:    format = "Debug: %s\n"; break;
    case QtWarningMsg:  format = "Warning: %s\n"; break;
    case QtCriticalMsg: format = "Critical: %s\n"; break;
    case QtFatalMsg:    format = "Fatal: %s\n"; break;
    default: return;
    }
    fprintf(logFile, format, local.constData());
    // Flushed line by line: a fatal message aborts below, and a crash or a
    // kill would otherwise take the buffered lines, the interesting ones, along.
    fflush(logFile);
    if (type == QtFatalMsg)
        abort();
}

bool openLogFile(const char *path)
{
    FILE *f = fopen(path, "a");
    if (!f)
        return false;
    logFile = f;
    qInstallMessageHandler(messageHandler);
    return true;
}

void closeLogFile()
{
    if (!logFile)
        return;
    qInstallMessageHandler(nullptr);
    fclose(logFile);
    logFile = nullptr;
}
