#include "entryplatform.h"
#include "messagehandler.h"

bool openLogArgument(int argc, char *argv[], int index)
{
    // File names are bytes here: the argument is the name.
    return index < argc && openLogFile(argv[index]);
}

void keepMessagesOnStderr()
{
    // Qt's default output is standard error already.
}

QString refusedWorkingDirectory()
{
    return QString();
}
