// A front end's first steps with an installed Core, run in a legacy data
// directory that the installed dbupdate has just upgraded with the installed
// English catalogue.
#include <profile.h>
#include <tamglobal.h>

#include <QApplication>
#include <QSqlQuery>
#include <QTimer>
#include <QVariant>
#include <QWidget>

#include <cstdio>

namespace {

int failures = 0;

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "FAIL: %s\n", what);
        ++failures;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    // A start-up problem opens a modal box that nobody here would close.
    QTimer boxWatch;
    QObject::connect(&boxWatch, &QTimer::timeout, [] {
        if (QWidget *box = QApplication::activeModalWidget()) {
            check(false, "no message box at start-up");
            box->close();
        }
    });
    boxWatch.start(100);

    Profile &profile = Profile::instance();
    check(profile.database().isOpen(), "profile.db open");
    check(profile.dataDatabase().isOpen(), "data.db open");
    check(profile.qcDatabase().isOpen(), "qc.db open");
    check(profile.syslogDatabase().isOpen(), "syslog.db open");

    // Seeded by the upgrade, translated by the catalogue.
    check(profile.value(QStringLiteral("patient/sampleType")).toString() == QLatin1String("Sample type"),
          "English caption seeded by dbupdate");

    const QString hospital = QStringLiteral("Consumer test ward");
    profile.set_hospital(hospital);
    check(profile.hospital() == hospital, "typed setting reads back");
    QSqlQuery query(profile.database());
    check(query.exec(QStringLiteral("select value from profile where name = 'hospital'")) && query.next()
              && query.value(0).toString() == hospital,
          "typed setting stored in profile.db");

    bool busy = false;
    {
        BoolLocker locker(busy);
        check(busy, "BoolLocker sets its flag");
    }
    check(!busy, "BoolLocker restores its flag");

    if (failures)
        return 1;
    std::printf("consumer: ok\n");
    return 0;
}
