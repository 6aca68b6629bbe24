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

bool replaceFile(const QString &source, const QString &target, QString *error)
{
    // Wide-character names: a data directory may have any name.
    if (MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(source).utf16()),
                    reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(target).utf16()),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    wchar_t text[512] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        GetLastError(), 0, text, DWORD(sizeof text / sizeof text[0]), nullptr);
    *error = QString::fromWCharArray(text, int(length)).trimmed();
    return false;
}
