// A front end's first steps with an installed Core, run in a legacy data
// directory that the installed dbupdate has just upgraded with the installed
// English catalogue.
#include <analysisresult.h>
#include <profile.h>
#include <tamglobal.h>

#include <QApplication>
#include <QDate>
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

    // The value type: classified, implicitly shared, rendered with the
    // marks the settings hold at the time.
    AnalysisResult result(12.5);
    check(result.isValid() && result.error() == AnalysisResult::NoError, "a measured value is valid");
    AnalysisResult copy = result;
    check(copy.isCopyOf(result), "a copy shares the data");
    copy.setFlag(tam::DilutionFlag);
    check(!copy.isCopyOf(result) && !result.testFlag(tam::DilutionFlag), "writing a copy detaches it");
    profile.set_dilution_result_flag(QStringLiteral("D:"), false);
    check(copy.prefix() == QLatin1String("D:") && result.prefix().isEmpty()
              && copy.toString(AnalysisResult::ValueOnly) == QLatin1String("12.5"),
          "dilution mark from the settings");
    profile.set_result_not_clotted(QStringLiteral("no clot"), false);
    check(AnalysisResult(AnalysisResult::notClottedValue).toString() == QLatin1String("no clot"),
          "not-clotted text from the settings");

    // The check value of CRC-16/CCITT-FALSE.
    const char digits[] = "123456789";
    check(crc16(digits, 9) == 0x29B1, "crc16 of \"123456789\"");
    // QtScript at run time, the dependency a package could miss.
    check(eval(QStringLiteral("[1, 2, 3].reduce(function(a, b) { return a + b; })")) == QVariant(6.0),
          "eval runs a script");
    check(nextSampleNo(QDate::currentDate()) >= 1, "nextSampleNo from the upgraded data.db");

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
