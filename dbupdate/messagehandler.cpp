#include "messagehandler.h"

#include <QByteArray>
#include <QLoggingCategory>
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
    return openLogFile(fopen(path, "a"));
}

bool openLogFile(FILE *stream)
{
    if (!stream)
        return false;
    logFile = stream;
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

namespace {

QLoggingCategory::CategoryFilter previousFilter = nullptr;

void everyLevelFilter(QLoggingCategory *category)
{
    if (previousFilter)
        previousFilter(category);
    const bool qtInternal = qstrncmp(category->categoryName(), "qt.", 3) == 0;
    if (!qtInternal)
        category->setEnabled(QtDebugMsg, true);
    category->setEnabled(QtInfoMsg, true);
    category->setEnabled(QtWarningMsg, true);
    category->setEnabled(QtCriticalMsg, true);
}

} // namespace

void keepEveryLevel()
{
    previousFilter = QLoggingCategory::installFilter(everyLevelFilter);
}
