// Power cuts at every point of an upgrade. The real dbupdate program runs
// once with the fstrace preload, which records every call that changes a
// file of the data directory; from that trace this program rebuilds, for
// each crash point, the states a disk may hold after a power cut there:
// every call before the last completed flush of its file (for names: of the
// directory) kept, and of the calls after it none, all, each prefix, a few
// random selections, and prefixes whose last write was torn at 512-byte
// sectors. On each state it checks what a site would find:
//
//  - every database at its old or its new content (rows and values
//    compared in full), whole (integrity_check);
//  - a backup either absent, the older copy laid before, or a whole copy of
//    the original; a file at its new content only with its whole backup;
//  - a run of dbupdate then succeeds and leaves every database exactly as an
//    uninterrupted upgrade does, with its backup;
//  - a further run changes no byte.
//
//   powercut [--legacy] [--sample N] [--seed S] [--verbose]
//
// Without --legacy the directory is a small version 0 data.db and the sample
// site's profile.db; --legacy lays the legacy sample directory (all four
// files). --sample checks N distinct states picked with the seed instead of
// all of them. Prints crash points, states explored and violations; exits 1
// on any violation.
#include "dbfixture.h"
#include "legacydata.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const char *const databases[] = {"profile.db", "data.db", "qc.db", "syslog.db"};
const qint64 sector = 512;

// One record of the preload's trace (tests/common/fstrace.c).
struct Record
{
    quint32 op;
    qint32 fd;
    qint64 offset;
    qint64 size;
    quint32 nameSize;
    quint32 name2Size;
    quint32 flags;
    quint32 reserved;
};
enum TraceOp { TOpen = 1, TWrite, TTruncate, TSync, TRename, TUnlink, TClose, TLink };

// A call as the disk sees it.
struct Op
{
    enum Kind { Create, Write, Truncate, FileSync, DirSync, Rename, Unlink } kind;
    int inode = -1;
    qint64 offset = 0; // write offset, truncate size
    QByteArray data;
    QString name;  // create, unlink, rename source
    QString name2; // rename target
    bool isData() const { return kind == Write || kind == Truncate; }
    bool isName() const { return kind == Create || kind == Rename || kind == Unlink; }
};

struct Disk
{
    QHash<int, QByteArray> inodes;
    QMap<QString, int> names;

    void apply(const Op &op, int tornMode = 0)
    {
        switch (op.kind) {
        case Op::Create:
            names[op.name] = op.inode;
            inodes[op.inode]; // exists, empty until written
            break;
        case Op::Write: {
            QByteArray &content = inodes[op.inode];
            const qint64 end = op.offset + op.data.size();
            if (content.size() < end)
                content.append(QByteArray(int(end - content.size()), '\0'));
            // Torn: only some of the sectors the write touches reached the disk.
            const qint64 first = op.offset / sector;
            const qint64 last = (end - 1) / sector;
            for (qint64 s = first; s <= last; ++s) {
                const qint64 n = s - first;
                bool keep = true;
                if (tornMode == 1)
                    keep = n == 0; // the first sector only
                else if (tornMode == 2)
                    keep = s != last; // all but the last
                else if (tornMode == 3)
                    keep = n % 2 == 1; // every other one, the first lost
                if (!keep)
                    continue;
                const qint64 from = qMax(op.offset, s * sector);
                const qint64 to = qMin(end, (s + 1) * sector);
                memcpy(content.data() + from, op.data.constData() + (from - op.offset), size_t(to - from));
            }
            break;
        }
        case Op::Truncate: {
            QByteArray &content = inodes[op.inode];
            if (content.size() > op.offset)
                content.truncate(int(op.offset));
            else
                content.append(QByteArray(int(op.offset - content.size()), '\0'));
            break;
        }
        case Op::Rename:
            // Selected without the creation of its source (that name was
            // never persisted): the file appears under the new name.
            names[op.name2] = op.inode;
            names.remove(op.name);
            break;
        case Op::Unlink:
            names.remove(op.name);
            break;
        case Op::FileSync:
        case Op::DirSync:
            break;
        }
    }

    QByteArray digest() const
    {
        QCryptographicHash hash(QCryptographicHash::Md5);
        for (auto it = names.cbegin(); it != names.cend(); ++it) {
            hash.addData(it.key().toUtf8() + '\0');
            const QByteArray &content = inodes.value(it.value());
            hash.addData(QByteArray::number(content.size()) + '\0');
            hash.addData(content);
        }
        return hash.result();
    }
};

// A crash state: crash point, the pending calls kept, and a torn last write.
struct State
{
    int crashPoint;
    std::vector<int> kept;
    int tornMode;
    QString label;
};

QMap<QString, QByteArray> readDir(const QString &path)
{
    QMap<QString, QByteArray> files;
    for (const QString &name : QDir(path).entryList(QDir::Files | QDir::Hidden))
        files[name] = Fixture::readFile(QDir(path).filePath(name));
    return files;
}

bool writeDir(const QString &path, const QMap<QString, QByteArray> &files)
{
    QDir(path).removeRecursively();
    if (!QDir().mkpath(path))
        return false;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!Fixture::writeFile(QDir(path).filePath(it.key()), it.value()))
            return false;
    }
    return true;
}

QString integrity(const QString &file)
{
    sqlite3 *db = nullptr;
    QString result = QStringLiteral("cannot open");
    if (sqlite3_open_v2(QFile::encodeName(file).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, "pragma integrity_check", -1, &stmt, nullptr) == SQLITE_OK) {
            result.clear();
            while (sqlite3_step(stmt) == SQLITE_ROW)
                result += QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
        } else {
            result = QString::fromUtf8(sqlite3_errmsg(db));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return result;
}

// Per table, a hash of its rows with their values, in no particular order
// (settings rows are replaced at every run and change their row ids); under
// "" the schema. Empty on a file that cannot be read.
QMap<QString, QByteArray> tableDigests(const QString &file)
{
    QMap<QString, QByteArray> digests;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(file).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return digests;
    }
    bool ok = true;
    auto rowsOf = [&](const QByteArray &sql) {
        QList<QByteArray> rows;
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.constData(), -1, &stmt, nullptr) != SQLITE_OK) {
            ok = false;
            return rows;
        }
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            QByteArray row;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                switch (sqlite3_column_type(stmt, i)) {
                case SQLITE_INTEGER: row += "i" + QByteArray::number(sqlite3_column_int64(stmt, i)); break;
                case SQLITE_FLOAT: row += "f" + QByteArray::number(sqlite3_column_double(stmt, i), 'g', 17); break;
                case SQLITE_NULL: row += "n"; break;
                default: {
                    const QByteArray bytes(static_cast<const char *>(sqlite3_column_blob(stmt, i)),
                                           sqlite3_column_bytes(stmt, i));
                    row += (sqlite3_column_type(stmt, i) == SQLITE_TEXT ? "t" : "b")
                        + QByteArray::number(bytes.size()) + ":" + bytes;
                }
                }
                row += '|';
            }
            rows << row;
        }
        if (rc != SQLITE_DONE)
            ok = false;
        sqlite3_finalize(stmt);
        std::sort(rows.begin(), rows.end());
        return rows;
    };
    auto hashOf = [](const QList<QByteArray> &rows) {
        QCryptographicHash hash(QCryptographicHash::Md5);
        for (const QByteArray &row : rows) {
            hash.addData(QByteArray::number(row.size()) + ":");
            hash.addData(row);
        }
        return hash.result().toHex();
    };
    const QList<QByteArray> schema = rowsOf("select type, name, tbl_name, sql from sqlite_master");
    digests[QString()] = hashOf(schema);
    for (const QByteArray &table : rowsOf("select name from sqlite_master where type = 'table'")) {
        // "t<size>:<name>|"
        const QByteArray name = table.mid(table.indexOf(':') + 1).chopped(1);
        QByteArray quoted = name;
        quoted.replace('"', "\"\"");
        digests[QString::fromUtf8(name)] = hashOf(rowsOf("select * from \"" + quoted + "\""));
    }
    sqlite3_close(db);
    if (!ok)
        digests.clear();
    return digests;
}

QByteArray digestOf(const QString &file)
{
    const QMap<QString, QByteArray> tables = tableDigests(file);
    if (tables.isEmpty())
        return QByteArray();
    QByteArray all;
    for (auto it = tables.cbegin(); it != tables.cend(); ++it)
        all += it.key().toUtf8() + '=' + it.value() + ';';
    return all;
}

int versionOf(const QString &file)
{
    if (!QFile::exists(file))
        return -1;
    if (Fixture::scalar(file, QStringLiteral("select count(*) from sqlite_master where type = 'table'"
                                             " and name = 'version'")).toInt() == 0)
        return 0;
    return Fixture::scalar(file, QStringLiteral("select max(version) from version")).toInt();
}

int runProgram(const QString &dir, const QString &log, const QProcessEnvironment &env = QProcessEnvironment())
{
    QProcess p;
    p.setWorkingDirectory(dir);
    if (!env.isEmpty())
        p.setProcessEnvironment(env);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(QStringLiteral(DBUPDATE_BIN), {log});
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    return p.exitCode();
}

class Explorer
{
public:
    QString work;
    QMap<QString, QByteArray> original; // the directory before the upgrade
    QMap<QString, QByteArray> olderBackups; // copies laid before, by name
    QHash<QString, QByteArray> oldDigest, newDigest;
    QHash<QString, int> oldVersion, newVersion;
    QHash<QString, QMap<QString, QByteArray>> oldTables;
    QByteArray emptyDigest;
    std::vector<Op> ops;
    QHash<QString, int> firstInodes;
    int violations = 0;
    int statesAtNew = 0, statesAtOld = 0, strayCopies = 0;
    bool verbose = false;

    bool prepare(bool legacy);
    bool record();
    std::vector<State> enumerate(int *crashPoints);
    // The crash points right before and after each flush and rename of a
    // backup copy and each commit (its journal deleted or its file flushed).
    QSet<int> boundaries() const;
    Disk materialize(const State &state) const;
    void check(const State &state);

private:
    void violation(const State &state, const QString &what)
    {
        ++violations;
        if (violations <= 30)
            fprintf(stdout, "VIOLATION at %s: %s\n", qPrintable(state.label), qPrintable(what));
    }
    QString backupOf(const QString &db) const
    {
        return QStringLiteral("%1.v%2.bak").arg(db).arg(oldVersion.value(db));
    }
    bool needsBackup(const QString &db) const
    {
        return !oldDigest.value(db).isEmpty() && oldDigest.value(db) != emptyDigest
            && oldVersion.value(db) < (db == QLatin1String("profile.db") ? 4 : db == QLatin1String("data.db") ? 5 : 1)
            && db != QLatin1String("qc.db");
    }
};

bool Explorer::prepare(bool legacy)
{
    const QString dir = work + QStringLiteral("/original");
    QDir().mkpath(dir);
    if (legacy) {
        for (const char *name : {"profile", "data", "qc", "syslog"}) {
            if (!Fixture::runScriptFile(QStringLiteral("%1/%2.db").arg(dir, QLatin1String(name)),
                                        Fixture::sourcePath(QStringLiteral("samples/legacy/%1.sql").arg(QLatin1String(name)))))
                return false;
        }
    } else {
        const QString data = dir + QStringLiteral("/data.db");
        if (!Legacy::createData(data, 0) || !Legacy::addBulkData(data, 0, 3, 40) || !Legacy::layProfile(dir))
            return false;
    }
    const QString emptyFile = work + QStringLiteral("/empty.db");
    Fixture::writeFile(emptyFile, QByteArray());
    emptyDigest = digestOf(emptyFile);
    for (const char *name : databases) {
        const QString db = QLatin1String(name);
        const QString file = dir + QLatin1Char('/') + db;
        oldVersion[db] = qMax(0, versionOf(file));
        oldDigest[db] = QFile::exists(file) ? digestOf(file) : QByteArray();
        if (QFile::exists(file))
            oldTables[db] = tableDigests(file);
    }
    // An older, good copy of data.db at its version: a torn new copy must
    // never take its place.
    const QString older = dir + QLatin1Char('/') + backupOf(QStringLiteral("data.db"));
    if (!QFile::copy(dir + QStringLiteral("/data.db"), older)
            || !Fixture::runScript(older, QStringLiteral("create table olderCopy(id integer);")))
        return false;
    original = readDir(dir);
    olderBackups[backupOf(QStringLiteral("data.db"))] = original.value(backupOf(QStringLiteral("data.db")));

    // What an uninterrupted upgrade leaves.
    const QString reference = work + QStringLiteral("/reference");
    if (!writeDir(reference, original) || runProgram(reference, work + QStringLiteral("/reference.log")) != 0) {
        fprintf(stderr, "the upgrade of the original directory failed\n");
        return false;
    }
    for (const char *name : databases) {
        const QString db = QLatin1String(name);
        newDigest[db] = digestOf(reference + QLatin1Char('/') + db);
        newVersion[db] = versionOf(reference + QLatin1Char('/') + db);
    }
    return true;
}

bool Explorer::record()
{
    const QString dir = work + QStringLiteral("/traced");
    const QString trace = work + QStringLiteral("/trace.bin");
    if (!writeDir(dir, original))
        return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(FSTRACE_LIB));
    env.insert(QStringLiteral("WS_FSTRACE_DIR"), dir);
    env.insert(QStringLiteral("WS_FSTRACE_OUT"), trace);
    if (runProgram(dir, work + QStringLiteral("/traced.log"), env) != 0) {
        fprintf(stderr, "the traced upgrade failed\n");
        return false;
    }
    // The upgrade must be repeatable for the comparison with the reference.
    for (const char *name : databases) {
        if (digestOf(dir + QLatin1Char('/') + QLatin1String(name)) != newDigest.value(QLatin1String(name))) {
            fprintf(stderr, "two uninterrupted upgrades left different %s\n", name);
            return false;
        }
    }

    const QByteArray bytes = Fixture::readFile(trace);
    int nextInode = 0;
    QMap<QString, int> names; // the directory as the program saw it
    for (auto it = original.cbegin(); it != original.cend(); ++it) {
        firstInodes[it.key()] = nextInode;
        names[it.key()] = nextInode++;
    }
    QHash<int, int> fds; // descriptor -> inode, -2 for the directory
    int at = 0;
    while (at + int(sizeof(Record)) <= bytes.size()) {
        Record r;
        memcpy(&r, bytes.constData() + at, sizeof r);
        at += sizeof r;
        const QString name = QString::fromUtf8(bytes.mid(at, int(r.nameSize)));
        at += int(r.nameSize);
        const QString name2 = QString::fromUtf8(bytes.mid(at, int(r.name2Size)));
        at += int(r.name2Size);
        if (r.size < 0) {
            fprintf(stderr, "trace: a copy whose bytes could not be read back\n");
            return false;
        }
        const QByteArray data = bytes.mid(at, int(r.size));
        at += int(r.size);
        Op op;
        switch (r.op) {
        case TOpen:
            if (r.flags & 8) {
                fds[r.fd] = nextInode++; // no name until linked
                break;
            }
            if (r.flags & 4) {
                fds[r.fd] = -2;
                break;
            }
            if (!names.contains(name)) {
                if (!(r.flags & 1)) {
                    fprintf(stderr, "trace: %s opened but never seen created\n", qPrintable(name));
                    return false;
                }
                op.kind = Op::Create;
                op.name = name;
                op.inode = nextInode++;
                names[name] = op.inode;
                ops.push_back(op);
            }
            fds[r.fd] = names.value(name);
            if (r.flags & 2) {
                Op cut;
                cut.kind = Op::Truncate;
                cut.inode = names.value(name);
                cut.offset = 0;
                ops.push_back(cut);
            }
            break;
        case TWrite:
        case TTruncate:
            if (!fds.contains(r.fd) || fds.value(r.fd) < 0) {
                fprintf(stderr, "trace: change through an unknown descriptor\n");
                return false;
            }
            op.kind = r.op == TWrite ? Op::Write : Op::Truncate;
            op.inode = fds.value(r.fd);
            op.offset = r.offset;
            op.data = data;
            ops.push_back(op);
            break;
        case TSync:
            if (!fds.contains(r.fd))
                break;
            op.kind = fds.value(r.fd) == -2 ? Op::DirSync : Op::FileSync;
            op.inode = fds.value(r.fd);
            ops.push_back(op);
            break;
        case TRename:
            if (name.isEmpty() || name2.isEmpty() || !names.contains(name)) {
                fprintf(stderr, "trace: a rename across the directory's boundary\n");
                return false;
            }
            op.kind = Op::Rename;
            op.name = name;
            op.name2 = name2;
            op.inode = names.value(name);
            names[name2] = op.inode;
            names.remove(name);
            ops.push_back(op);
            break;
        case TUnlink:
            op.kind = Op::Unlink;
            op.name = name;
            op.inode = names.value(name, -1);
            names.remove(name);
            ops.push_back(op);
            break;
        case TClose:
            fds.remove(r.fd);
            break;
        case TLink:
            if (!fds.contains(r.fd) || fds.value(r.fd) < 0 || names.contains(name)) {
                fprintf(stderr, "trace: a link from outside the directory or over a file\n");
                return false;
            }
            op.kind = Op::Create;
            op.name = name;
            op.inode = fds.value(r.fd);
            names[name] = op.inode;
            ops.push_back(op);
            break;
        }
    }
    // The replayed trace must end where the program ended.
    Disk end;
    for (auto it = original.cbegin(); it != original.cend(); ++it)
        end.inodes[firstInodes.value(it.key())] = it.value();
    for (auto it = firstInodes.cbegin(); it != firstInodes.cend(); ++it)
        end.names[it.key()] = it.value();
    for (const Op &op : ops)
        end.apply(op);
    QMap<QString, QByteArray> traced = readDir(dir);
    for (auto it = end.names.cbegin(); it != end.names.cend(); ++it) {
        if (traced.value(it.key()) != end.inodes.value(it.value())) {
            fprintf(stderr, "trace: replay differs from the program's result in %s\n", qPrintable(it.key()));
            return false;
        }
    }
    if (QSet<QString>(traced.keyBegin(), traced.keyEnd()) != QSet<QString>(end.names.keyBegin(), end.names.keyEnd())) {
        fprintf(stderr, "trace: replay leaves other files than the program\n");
        return false;
    }
    int syncs = 0, dirSyncs = 0, renames = 0;
    for (const Op &op : ops) {
        syncs += op.kind == Op::FileSync;
        dirSyncs += op.kind == Op::DirSync;
        renames += op.kind == Op::Rename;
    }
    fprintf(stdout, "trace: %d calls that change the disk, %d file flushes, %d directory flushes, %d renames\n",
            int(ops.size()) - syncs - dirSyncs, syncs, dirSyncs, renames);
    return syncs > 0 && dirSyncs > 0 && renames > 0;
}

// The calls before crash point k that a cut may have lost.
std::vector<int> pendingAt(const std::vector<Op> &ops, int k)
{
    QHash<int, int> lastSync;
    int lastDirSync = -1;
    for (int i = 0; i < k; ++i) {
        if (ops[size_t(i)].kind == Op::FileSync)
            lastSync[ops[size_t(i)].inode] = i;
        else if (ops[size_t(i)].kind == Op::DirSync)
            lastDirSync = i;
    }
    std::vector<int> pending;
    for (int i = 0; i < k; ++i) {
        const Op &op = ops[size_t(i)];
        if ((op.isData() && lastSync.value(op.inode, -1) < i) || (op.isName() && lastDirSync < i))
            pending.push_back(i);
    }
    return pending;
}

Disk Explorer::materialize(const State &state) const
{
    Disk disk;
    for (auto it = original.cbegin(); it != original.cend(); ++it) {
        disk.inodes[firstInodes.value(it.key())] = it.value();
        disk.names[it.key()] = firstInodes.value(it.key());
    }
    const std::vector<int> pending = pendingAt(ops, state.crashPoint);
    size_t p = 0, kept = 0;
    for (int i = 0; i < state.crashPoint; ++i) {
        const bool isPending = p < pending.size() && pending[p] == i;
        if (isPending)
            ++p;
        if (isPending) {
            if (kept >= state.kept.size() || state.kept[kept] != i)
                continue;
            ++kept;
            const bool lastKept = kept == state.kept.size();
            disk.apply(ops[size_t(i)], lastKept ? state.tornMode : 0);
        } else {
            disk.apply(ops[size_t(i)]);
        }
    }
    return disk;
}

QSet<int> Explorer::boundaries() const
{
    QSet<int> points;
    QHash<int, QString> names; // inode -> its name when last seen
    for (int i = 0; i < int(ops.size()); ++i) {
        const Op &op = ops[size_t(i)];
        if (op.kind == Op::Create)
            names[op.inode] = op.name;
        const QString name = op.kind == Op::FileSync ? names.value(op.inode) : op.name;
        const bool backup = name.contains(QLatin1String(".bak"))
            && (op.kind == Op::FileSync || op.kind == Op::Rename);
        const bool renamedBackup = op.kind == Op::Rename && op.name2.endsWith(QLatin1String(".bak"));
        const bool commit = (op.kind == Op::Unlink && name.endsWith(QLatin1String("-journal")))
            || (op.kind == Op::FileSync && name.endsWith(QLatin1String(".db")));
        if (backup || renamedBackup || commit || (op.kind == Op::DirSync && i > 0
                                                  && ops[size_t(i - 1)].kind == Op::Rename)) {
            points.insert(i);
            points.insert(i + 1);
        }
    }
    return points;
}

std::vector<State> Explorer::enumerate(int *crashPoints)
{
    std::vector<State> states;
    QSet<QByteArray> seen;
    *crashPoints = 0;
    auto consider = [&](const Disk &disk, State s) {
        const QByteArray d = disk.digest();
        if (seen.contains(d))
            return;
        seen.insert(d);
        states.push_back(std::move(s));
    };
    for (int k = 0; k <= int(ops.size()); ++k) {
        // A crash point lies between two calls; flushes only move the
        // boundary of what is kept, and are crash points like any call.
        ++*crashPoints;
        const std::vector<int> pending = pendingAt(ops, k);
        const QString at = QStringLiteral("crash point %1").arg(k);
        // What is kept, then the pending calls one by one: calls on
        // different files commute, and those of one file or of the names
        // are kept in order, so this is the disk of each prefix.
        Disk disk = materialize({k, {}, 0, QString()});
        for (size_t n = 0; n <= pending.size(); ++n) {
            std::vector<int> prefix(pending.begin(), pending.begin() + long(n));
            if (n > 0) {
                const Op &last = ops[size_t(pending[n - 1])];
                const qint64 sectors = last.kind == Op::Write && last.data.size() > 0
                    ? (last.offset + last.data.size() - 1) / sector - last.offset / sector + 1 : 0;
                for (int torn = 1; torn <= 3 && sectors > 1; ++torn) {
                    Disk torn_ = disk;
                    torn_.apply(last, torn);
                    consider(torn_, {k, prefix, torn, at + QStringLiteral(", first %1 of %2 pending calls,"
                                                                          " the last write torn (mode %3)")
                                                             .arg(n).arg(pending.size()).arg(torn)});
                }
                disk.apply(last);
            }
            consider(disk, {k, prefix, 0, at + QStringLiteral(", first %1 of %2 pending calls").arg(n).arg(pending.size())});
        }
        // Later calls reaching the disk before earlier ones.
        QRandomGenerator random(quint32(k) * 2654435761u + 26u);
        for (int round = 0; round < 3 && pending.size() > 1; ++round) {
            std::vector<int> some;
            for (int i : pending) {
                if (random.bounded(2))
                    some.push_back(i);
            }
            State s{k, some, 0, at + QStringLiteral(", %1 of %2 pending calls in random selection %3")
                                     .arg(some.size()).arg(pending.size()).arg(round)};
            consider(materialize(s), s);
        }
    }
    return states;
}

void Explorer::check(const State &state)
{
    const Disk disk = materialize(state);
    QMap<QString, QByteArray> files;
    for (auto it = disk.names.cbegin(); it != disk.names.cend(); ++it)
        files[it.key()] = disk.inodes.value(it.value());

    // What the site finds: each file opened as any program would open it
    // (rolling back what a journal beside it holds), on a copy.
    const QString checkDir = work + QStringLiteral("/check");
    QMap<QString, QByteArray> dbFiles;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!it.key().contains(QLatin1String(".bak")))
            dbFiles[it.key()] = it.value();
    }
    writeDir(checkDir, dbFiles);
    QHash<QString, bool> atNew;
    for (const char *name : databases) {
        const QString db = QLatin1String(name);
        const QString file = checkDir + QLatin1Char('/') + db;
        if (!files.contains(db)) {
            if (!oldDigest.value(db).isEmpty())
                violation(state, db + QStringLiteral(" is gone"));
            continue;
        }
        const QString ok = integrity(file);
        if (ok != QLatin1String("ok"))
            violation(state, db + QStringLiteral(" fails the integrity check: ") + ok.left(200));
        // data.db, with every patient, result and curve, changes in one
        // transaction: old or new as a whole. The other files may also lie
        // between steps that every run repeats, at the old version with the
        // rows they had, or at the new one; the next run must then finish
        // them (checked below).
        const QByteArray digest = digestOf(file);
        const int version = versionOf(file);
        const QMap<QString, QByteArray> tables = tableDigests(file);
        bool atOld = digest == oldDigest.value(db) || (oldDigest.value(db).isEmpty() && digest == emptyDigest);
        if (!atOld && db != QLatin1String("data.db") && version == oldVersion.value(db) && !tables.isEmpty()) {
            atOld = true;
            const QMap<QString, QByteArray> &before = oldTables.value(db);
            for (auto t = before.cbegin(); t != before.cend(); ++t) {
                if (!t.key().isEmpty() && tables.value(t.key()) != t.value())
                    atOld = false;
            }
        }
        atNew[db] = digest == newDigest.value(db)
            || (db != QLatin1String("data.db") && version == newVersion.value(db) && version != oldVersion.value(db));
        if (!atNew[db] && !atOld)
            violation(state, db + QStringLiteral(" holds neither its old nor its new content (version %1)").arg(version));
        if (atNew[db] && !atOld)
            ++statesAtNew;
        else
            ++statesAtOld;
    }
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!it.key().endsWith(QLatin1String(".bak"))) {
            if (it.key().contains(QLatin1String(".bak.")))
                ++strayCopies;
            continue;
        }
        if (olderBackups.value(it.key()) == it.value())
            continue;
        const QString db = it.key().section(QLatin1String(".v"), 0, 0);
        const QString copy = checkDir + QLatin1Char('/') + it.key();
        Fixture::writeFile(copy, it.value());
        if (integrity(copy) != QLatin1String("ok") || digestOf(copy) != oldDigest.value(db))
            violation(state, it.key() + QStringLiteral(" is neither the older copy nor a whole copy of ") + db);
    }
    for (auto it = olderBackups.cbegin(); it != olderBackups.cend(); ++it) {
        if (!files.contains(it.key()))
            violation(state, QStringLiteral("the older copy ") + it.key() + QStringLiteral(" is gone"));
    }
    for (const char *name : databases) {
        const QString db = QLatin1String(name);
        if (atNew.value(db) && needsBackup(db) && oldDigest.value(db) != newDigest.value(db)) {
            const QByteArray backup = files.value(backupOf(db));
            if (backup.isEmpty() || olderBackups.value(backupOf(db)) == backup)
                violation(state, db + QStringLiteral(" is upgraded but its backup is not there"));
        }
    }

    // The next start.
    const QString dir = work + QStringLiteral("/state");
    writeDir(dir, files);
    const QString log = work + QStringLiteral("/run.log");
    QFile::remove(log);
    const int code = runProgram(dir, log);
    if (code != 0) {
        violation(state, QStringLiteral("the next run fails (exit %1): %2").arg(code)
                  .arg(QString::fromUtf8(Fixture::readFile(log).right(400))));
        return;
    }
    for (const char *name : databases) {
        const QString db = QLatin1String(name);
        const QString file = dir + QLatin1Char('/') + db;
        if (integrity(file) != QLatin1String("ok") || digestOf(file) != newDigest.value(db))
            violation(state, db + QStringLiteral(" differs from an uninterrupted upgrade after the next run"));
        if (needsBackup(db)) {
            const QString backup = dir + QLatin1Char('/') + backupOf(db);
            if (!QFile::exists(backup) || digestOf(backup) != oldDigest.value(db))
                violation(state, db + QStringLiteral(" has no whole backup after the next run"));
        }
    }
    // Every run rewrites the version row and some settings rows: the same
    // rows, other bytes. What must not change is any row or any other file.
    auto snapshot = [&]() {
        QMap<QString, QByteArray> files = readDir(dir);
        for (const char *name : databases)
            files[QLatin1String(name)] = digestOf(dir + QLatin1Char('/') + QLatin1String(name));
        return files;
    };
    const QMap<QString, QByteArray> before = snapshot();
    QFile::remove(log);
    if (runProgram(dir, log) != 0 || snapshot() != before)
        violation(state, QStringLiteral("a further run changes the files"));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    bool legacy = false;
    int sample = 0;
    quint32 seed = 26;
    Explorer explorer;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--legacy"))
            legacy = true;
        else if (args.at(i) == QLatin1String("--verbose"))
            explorer.verbose = true;
        else if (args.at(i) == QLatin1String("--sample") && i + 1 < args.size())
            sample = args.at(++i).toInt();
        else if (args.at(i) == QLatin1String("--seed") && i + 1 < args.size())
            seed = args.at(++i).toUInt();
    }
    // The checks open damaged files on purpose; their warnings are noise.
    if (!explorer.verbose)
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    QTemporaryDir work;
    if (!work.isValid())
        return 2;
    explorer.work = work.path();
    if (!explorer.prepare(legacy) || !explorer.record())
        return 2;
    int crashPoints = 0;
    std::vector<State> states = explorer.enumerate(&crashPoints);
    const size_t distinct = states.size();
    if (sample > 0 && size_t(sample) < states.size()) {
        // Always the extremes (nothing and everything of the run on the
        // disk) and the states at the boundaries where a power cut does the
        // most harm: just before and after each backup's flush and rename
        // and each commit. Then a seeded pick of the rest.
        const QSet<int> boundaries = explorer.boundaries();
        std::vector<State> picked = {states.front(), states.back()};
        std::vector<State> rest;
        for (size_t i = 1; i + 1 < states.size(); ++i) {
            if (boundaries.contains(states[i].crashPoint))
                picked.push_back(states[i]);
            else
                rest.push_back(states[i]);
        }
        QRandomGenerator random(seed);
        std::shuffle(rest.begin(), rest.end(), random);
        const size_t more = std::min(rest.size(), size_t(std::max(0, sample - int(picked.size()))));
        picked.insert(picked.end(), rest.begin(), rest.begin() + long(more));
        fprintf(stdout, "%d states at the boundaries, %d picked at random\n", int(picked.size() - more), int(more));
        states = picked;
    }
    int done = 0;
    for (const State &state : states) {
        explorer.check(state);
        if (explorer.verbose || ++done % 100 == 0)
            fprintf(stdout, "%d of %d states checked, %d violations\n", done, int(states.size()), explorer.violations);
        fflush(stdout);
    }
    fprintf(stdout, "crash points: %d, distinct crash states: %d, states explored: %d, violations: %d\n"
            "  (databases found at their old content %d times, at their new %d times;"
            " unfinished copies left beside the files %d times)\n",
            crashPoints, int(distinct), int(states.size()), explorer.violations, explorer.statesAtOld,
            explorer.statesAtNew, explorer.strayCopies);
    // A sample that never met an upgraded file, or never an old one, checked
    // too little to count.
    if (explorer.statesAtNew == 0 || explorer.statesAtOld == 0)
        return 1;
    return explorer.violations == 0 ? 0 : 1;
}
