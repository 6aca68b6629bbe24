// Installs the upgrade program's log handler, writes a few lines and dies
// of a fatal message, as a failing assertion inside Qt would.
#include "messagehandler.h"

#include <QtGlobal>

int main(int argc, char *argv[])
{
    if (argc < 2 || !openLogFile(argv[1]))
        return 2;
    qDebug("first line");
    qWarning("second line");
    qFatal("the end %d", 3);
    return 0;
}
