#include "updatebase_p.h"

#include <QDir>
#include <QFile>

#include <io.h>
#include <windows.h>

bool syncFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    return _commit(file.handle()) == 0;
}

bool replaceFile(const QString &source, const QString &target)
{
    // Wide-character names: a data directory may have any name.
    return MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(source).utf16()),
                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(target).utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}
