#include "messagehandler.h"
#include "updatedata.h"
#include "updateprofile.h"
#include "updateqc.h"
#include "updatesyslog.h"

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
    "\n"
    "Brings profile.db, data.db, qc.db and syslog.db in the current directory\n"
    "to their current schema versions, in that order.\n"
    "\n"
    "  LOGFILE      append every message of the run to this file\n"
    "  -h, --help   show this help and exit\n"
    "  --version    show the program version and exit\n"
    "\n"
    "Exit code: 0 when every upgrade succeeded, 1 at the first that failed.\n";

bool loadTranslation(QTranslator *translator, const QStringList &dirs, const QString &name)
{
    for (const QString &dir : dirs) {
        if (translator->load(name, dir))
            return true;
    }
    return false;
}

template <typename Upgrade>
bool runUpgrade()
{
    Upgrade upgrade;
    return upgrade.update();
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
        // A log that cannot be opened is not an error: messages go to stderr.
        openLogFile(argv[1]);
    }

    QCoreApplication app(argc, argv);
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

    using Step = bool (*)();
    static const Step steps[] = {
        runUpgrade<UpdateProfile>,
        runUpgrade<UpdateData>,
        runUpgrade<UpdateQc>,
        runUpgrade<UpdateSyslog>,
    };
    for (Step step : steps) {
        if (!step())
            return 1;
    }

    closeLogFile();
    return 0;
}
