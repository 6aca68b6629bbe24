#include "entryplatform.h"
#include "messagehandler.h"
#include "statusreport.h"
#include "upgradefile.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QSettings>
#include <QStringList>
#include <QTextCodec>
#include <QTranslator>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const char usage[] =
    "Usage: dbupdate [LOGFILE]\n"
    "       dbupdate --status [LOGFILE]\n"
    "\n"
    "Brings profile.db, data.db, qc.db and syslog.db in the current directory\n"
    "to their current schema versions, in that order.\n"
    "\n"
    "Before changing the schema of a file it copies the file to\n"
    "<file>.v<old version>.bak beside it (data.db.v2.bak, for example), replacing\n"
    "only an earlier copy of the same version. When the copy cannot be written\n"
    "(disk full, read-only directory) the file is not upgraded, the log says\n"
    "why, and the exit code is 1. A file at its current version is not copied.\n"
    "A file at a version newer than the program's is left exactly as it is.\n"
    "\n"
    "  LOGFILE      append every message of the run to this file\n"
    "  --status     print each file's version, its current version and the\n"
    "               blocks a run would apply, and exit; changes nothing\n"
    "  -h, --help   show this help and exit\n"
    "  --version    show the program version and exit\n"
    "\n"
    "Exit code: 0 when every upgrade succeeded, 1 at the first that failed;\n"
    "0 after --status.\n";

bool loadTranslation(QTranslator *translator, const QStringList &dirs, const QString &name)
{
    for (const QString &dir : dirs) {
        if (translator->load(name, dir))
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1) {
        if (!strcmp(argv[1], "-h") || !strcmp(argv[1], "--help")) {
            fputs(usage, stdout);
            return 0;
        }
        if (!strcmp(argv[1], "--version")) {
            printf("dbupdate %s\n", DBUPDATE_VERSION);
            return 0;
        }
    }
    const QString refused = refusedWorkingDirectory();
    if (!refused.isEmpty()) {
        fprintf(stderr, "dbupdate: not run in the system folder %s: start it in the data directory\n",
                refused.toLocal8Bit().constData());
        return 1;
    }
    keepEveryLevel();
    keepMessagesOnStderr();
    const bool status = argc > 1 && !strcmp(argv[1], "--status");
    const int logArgument = status ? 2 : 1;
    // A log that cannot be opened is not an error: messages go to stderr.
    openLogArgument(argc, argv, logArgument);

    QCoreApplication app(argc, argv);
    if (status) {
        fputs(statusReport().toLocal8Bit().constData(), stdout);
        closeLogFile();
        return 0;
    }
    QTextCodec::setCodecForLocale(QTextCodec::codecForLocale());

    const QStringList dirs = {
        QStringLiteral("."), QStringLiteral(".."),
        QLibraryInfo::location(QLibraryInfo::TranslationsPath)
    };
    const QSettings settings(QStringLiteral("settings.ini"), QSettings::IniFormat);
    const QStringList names = settings.value(QStringLiteral("settings/translations"),
                                             QStringList(QStringLiteral("qt_zh_cn"))).toStringList();
    for (const QString &name : names) {
        auto translator = std::make_unique<QTranslator>(&app);
        if (loadTranslation(translator.get(), dirs, name))
            app.installTranslator(translator.release());
    }

    for (const UpgradeFile &file : upgradeFiles()) {
        if (!file.run())
            return 1;
    }

    closeLogFile();
    return 0;
}
