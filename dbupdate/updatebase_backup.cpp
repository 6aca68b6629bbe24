#include "updatebase.h"
#include "updatebase_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

// The copy a run takes of a file before its first schema change. It is
// written while the upgrade holds the file's write lock, so nobody else can
// change the file while it is read.

namespace {

// Removes a copy of ours, also one given a read-only file's permissions
// (on Windows the read-only attribute refuses the delete).
void removeCopy(const QString &path)
{
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    QFile::remove(path);
}

// What marks a copy still being written: only this program makes such
// names, so only they are ever removed.
const char partialMark[] = ".partial-";

// Writes a consistent copy of the default connection's database to
// `target`: first under a temporary name beside it, renamed over `target`
// only when complete. On failure `target` is as it was and `error` says why.
bool writeCopy(const QString &source, const QString &target, QString *error)
{
    // A power cut during an earlier copy can leave it under its temporary
    // name, as large as the file; it was never renamed, so nothing needs it.
    // Matched with case: a site's own "data.db.v2.bak.before" stays.
    const QFileInfo targetInfo(target);
    QDir targetDir = targetInfo.absoluteDir();
    const QString stalePattern = targetInfo.fileName() + QLatin1String(partialMark) + QStringLiteral("??????");
    for (const QString &stale : targetDir.entryList({stalePattern}, QDir::Files | QDir::Hidden | QDir::System
                                                                    | QDir::CaseSensitive))
        removeCopy(targetDir.filePath(stale));

    // A fresh name beside the target, reserved by an empty file. The
    // temporary-file object goes at once: it would keep the file open, and
    // Windows renames no file that is open.
    QString partial;
    {
        QTemporaryFile reserve(target + QLatin1String(partialMark) + QStringLiteral("XXXXXX"));
        if (!reserve.open()) {
            *error = reserve.errorString();
            return false;
        }
        reserve.setAutoRemove(false);
        partial = reserve.fileName();
    }
    // Removed on every way out but success.
    struct Cleanup {
        const QString &file;
        bool keep = false;
        ~Cleanup()
        {
            if (!keep)
                removeCopy(file);
        }
    } cleanup{partial};

    if (!copyDatabase(partial, error))
        return false;
    if (!syncFile(partial)) {
        *error = QStringLiteral("the copy could not be flushed to the disk");
        return false;
    }
    // As readable as the file it copies (a read-only file gives a read-only
    // copy); until here only its owner could read it.
    QFile::setPermissions(partial, QFileInfo(source).permissions());
    QString reason;
    if (!replaceFile(partial, target, &reason)) {
        *error = QStringLiteral("the copy could not be renamed to its place: ") + reason;
        return false;
    }
    cleanup.keep = true; // it is the backup now
    return true;
}

} // namespace

QString UpdateBase::backupName(const QString &fileName, int version)
{
    return QStringLiteral("%1.v%2.bak").arg(fileName).arg(version);
}

bool UpdateBase::backupBeforeUpgrade(int current)
{
    if (m_runVersion >= current)
        return true;
    const QString target = backupName(m_fileName, m_runVersion);
    QString error;
    if (!writeCopy(m_fileName, target, &error)) {
        qWarning("%s: the backup %s could not be written (%s); %s is not upgraded in this run",
                 m_fileName.toUtf8().constData(), target.toUtf8().constData(),
                 error.toUtf8().constData(), m_fileName.toUtf8().constData());
        m_stopped = true; // said in full here
        return false;
    }
    qDebug("%s: version %d backed up to %s before the upgrade", m_fileName.toUtf8().constData(),
           m_runVersion, target.toUtf8().constData());
    return true;
}
