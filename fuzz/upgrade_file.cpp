// The upgrade program's step framework given arbitrary bytes as a database:
// the bytes become each of the four files in turn, and that file's upgrade
// reads its version and runs update() as dbupdate would. A corrupt or hostile
// file may fail the upgrade, but must not crash, hang or corrupt memory.
#include "updatedata.h"
#include "updateprofile.h"
#include "updateqc.h"
#include "updatesyslog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

QCoreApplication *g_app = nullptr;
QTemporaryDir *g_dir = nullptr;

// Millions of runs would otherwise print every failed statement; a fatal
// message still ends the run, as it would end dbupdate.
void quiet(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "Fatal: %s\n", text.toLocal8Bit().constData());
        std::abort();
    }
}

// A file may turn any table the upgrade reads into a view whose rows never
// end; SQLite then does exactly what the file asks, for ever. Like a
// watchdog, the harness caps the work of each upgrade, so such files end as
// failed statements and the fuzzer keeps looking for crashes.
int budgetLeft = 0;

int overBudget(void *)
{
    return --budgetLeft < 0;
}

void capWork()
{
    const QVariant handle = QSqlDatabase::database().driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return;
    sqlite3 *db = *static_cast<sqlite3 *const *>(handle.data());
    if (!db)
        return;
    budgetLeft = 20000; // callbacks of 1000 virtual-machine steps each
    sqlite3_progress_handler(db, 1000, overBudget, nullptr);
}

template <typename Upgrade>
void runUpgrade()
{
    Upgrade upgrade;
    capWork();
    (void)upgrade.version();
    (void)upgrade.update();
}

struct Step {
    const char *file;
    void (*run)();
};

const Step steps[] = {
    {"profile.db", runUpgrade<UpdateProfile>},
    {"data.db", runUpgrade<UpdateData>},
    {"qc.db", runUpgrade<UpdateQc>},
    {"syslog.db", runUpgrade<UpdateSyslog>},
};

// Leaves the directory with only the input, as the named file: no journal
// or WAL file of an earlier run may take part.
bool layInput(const QString &file, const uint8_t *data, size_t size)
{
    QDir dir(g_dir->path());
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden))
        dir.remove(name);
    QFile out(dir.filePath(file));
    return out.open(QIODevice::WriteOnly)
        && out.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Each input runs inside the scratch directory, because the upgrades open
    // their files by relative name. A crash leaves libFuzzer there too, so
    // its failing input is written to where the run started unless the
    // command line says otherwise.
    static QByteArray artifactFlag = "-artifact_prefix=" + QFile::encodeName(QDir::currentPath()) + '/';
    static std::vector<char *> args(*argv, *argv + *argc);
    const bool hasPrefix = std::any_of(args.begin(), args.end(), [](const char *arg) {
        return qstrncmp(arg, "-artifact_prefix=", 17) == 0 || qstrncmp(arg, "-exact_artifact_path=", 21) == 0;
    });
    if (!hasPrefix) {
        args.insert(args.begin() + 1, artifactFlag.data());
        args.push_back(nullptr);
        *argc = int(args.size()) - 1;
        *argv = args.data();
    }

    // Kept for the whole run (reachable, so no leak report): the SQL driver
    // plugin is found through the application.
    g_app = new QCoreApplication(*argc, *argv);
    g_dir = new QTemporaryDir;
    if (!g_dir->isValid()) {
        std::fprintf(stderr, "cannot make a scratch directory\n");
        std::exit(1);
    }
    std::atexit([] { delete g_dir; });
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString start = QDir::currentPath();
    if (!QDir::setCurrent(g_dir->path()))
        std::abort();
    for (const Step &step : steps) {
        if (!layInput(QString::fromLatin1(step.file), data, size))
            std::abort();
        step.run();
    }
    QDir::setCurrent(start);
    return 0;
}
