#ifndef UPDATEBASE_P_H
#define UPDATEBASE_P_H

// Private to the upgrade steps (and their tests). The file functions are
// implemented once per system, in updatebase_unix.cpp and updatebase_win.cpp.

#include <QString>

// True while the default connection has a transaction open.
bool connectionInTransaction();

// Copies the default connection's database, a consistent snapshot even
// while another process writes it, into the empty file `path`. On failure
// `error` says why.
bool copyDatabase(const QString &path, QString *error);

// Puts the written copy on the disk before it replaces an older one: the
// upgrade commits right after, and a backup lost to a power cut with the
// file already converted would be no backup.
bool syncFile(const QString &path);

// Replaces `target` by `source` in one step, so the previous backup of the
// same version stays whole until the new one is complete. On failure
// `error` holds the system's reason.
bool replaceFile(const QString &source, const QString &target, QString *error);

#endif // UPDATEBASE_P_H
