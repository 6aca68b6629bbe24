#include "entryplatform.h"
#include "messagehandler.h"

#include <QDir>

#include <cstdio>

#include <windows.h>
#include <shellapi.h>

bool openLogArgument(int argc, char *[], int index)
{
    // argv is in the ANSI code page, where a name in another script turns
    // into question marks; the wide command line holds it as typed.
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return false;
    bool opened = false;
    if (index < argc && index < count)
        opened = openLogFile(_wfopen(wide[index], L"a"));
    LocalFree(wide);
    return opened;
}

void keepMessagesOnStderr()
{
    // Without a console (started by the front end, a scheduled task) Qt
    // sends its default output to the debugger only, where nobody reads it.
    if (!qEnvironmentVariableIsSet("QT_FORCE_STDERR_LOGGING"))
        qputenv("QT_FORCE_STDERR_LOGGING", "1");
}

namespace {

using FolderFunction = UINT(WINAPI *)(LPWSTR, UINT);

// A folder as the system names it, or empty when it has none.
QString folder(FolderFunction function)
{
    wchar_t path[MAX_PATH + 1] = {};
    const UINT length = function(path, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return QString();
    return QDir::cleanPath(QDir::fromNativeSeparators(QString::fromWCharArray(path, int(length))));
}

} // namespace

QString refusedWorkingDirectory()
{
    // Windows starts a program there when the shell refuses the folder it
    // was asked for (a network path, one longer than MAX_PATH): an upgrade
    // there would lay empty databases and a log among the system's files.
    const QString current = QDir::cleanPath(QDir::currentPath());
    for (const FolderFunction function : {FolderFunction(GetWindowsDirectoryW),
                                          FolderFunction(GetSystemWindowsDirectoryW),
                                          FolderFunction(GetSystemDirectoryW),
                                          FolderFunction(GetSystemWow64DirectoryW)}) {
        const QString refused = folder(function);
        if (!refused.isEmpty() && current.compare(refused, Qt::CaseInsensitive) == 0)
            return QDir::toNativeSeparators(refused);
    }
    return QString();
}
