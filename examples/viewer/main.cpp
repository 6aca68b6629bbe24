// The reference front end: shows the patients, results, curves, settings,
// serial ports and sample numbering of the data directory it is run in.
#include "mainwindow.h"

#include <profile.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPixmap>
#include <QTimer>

#include <cstdio>

namespace {

void fail(const QString &message)
{
    std::fprintf(stderr, "viewer: %s\n", qPrintable(message));
}

} // namespace

int main(int argc, char *argv[])
{
    // A screenshot needs no display: render offscreen unless told otherwise.
    bool screenshot = false;
    for (int i = 1; i < argc; ++i)
        if (qstrcmp(argv[i], "--screenshot") == 0 || qstrncmp(argv[i], "--screenshot=", 13) == 0)
            screenshot = true;
    if (screenshot && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("viewer"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Shows the patients, results, clot curves and settings of a data directory."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("directory"),
                                 QStringLiteral("The data directory (default: the current directory)."),
                                 QStringLiteral("[directory]"));
    const QCommandLineOption shotOption(QStringLiteral("screenshot"),
            QStringLiteral("Render the main window to <file> (PNG) and exit."), QStringLiteral("file"));
    const QCommandLineOption sizeOption(QStringLiteral("size"),
            QStringLiteral("Window size for the screenshot (default 1600x1000)."), QStringLiteral("WxH"),
            QStringLiteral("1600x1000"));
    parser.addOption(shotOption);
    parser.addOption(sizeOption);
    parser.process(app);

    if (parser.positionalArguments().size() > 1) {
        fail(QStringLiteral("more than one data directory given"));
        return 2;
    }
    QSize size;
    {
        const QStringList parts = parser.value(sizeOption).split(QLatin1Char('x'));
        bool okW = false, okH = false;
        if (parts.size() == 2)
            size = QSize(parts.at(0).toInt(&okW), parts.at(1).toInt(&okH));
        if (!okW || !okH || size.width() < 200 || size.height() < 150 || size.width() > 8000 || size.height() > 8000) {
            fail(QStringLiteral("--size wants WIDTHxHEIGHT between 200x150 and 8000x8000, not \"%1\"")
                 .arg(parser.value(sizeOption)));
            return 2;
        }
    }
    // Relative to where the viewer was started, before it moves into the data directory.
    const QString shotFile = parser.isSet(shotOption)
            ? QFileInfo(parser.value(shotOption)).absoluteFilePath() : QString();

    const QString dir = parser.positionalArguments().value(0, QStringLiteral("."));
    if (!QDir::setCurrent(dir)) {
        fail(QStringLiteral("cannot enter the data directory %1").arg(dir));
        return 1;
    }
    // SQLite would create a missing file, and the store would then warn in a
    // modal box: a directory that is not a data directory stops here, with
    // nothing written into it.
    static const char *const files[] = {"profile.db", "data.db", "qc.db", "syslog.db"};
    QStringList missing;
    for (const char *file : files)
        if (!QFileInfo(QString::fromLatin1(file)).isFile())
            missing.append(QString::fromLatin1(file));
    if (!missing.isEmpty()) {
        fail(QStringLiteral("%1 is not a data directory: %2 missing (run dbupdate there first)")
             .arg(QDir::currentPath(), missing.join(QStringLiteral(", "))));
        return 1;
    }

    // A screenshot run has nobody to answer a message box (the store shows
    // one for a damaged file): each box is printed and closed.
    QTimer boxCloser;
    if (!shotFile.isEmpty()) {
        QObject::connect(&boxCloser, &QTimer::timeout, [] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                fail(box->text());
                box->done(QMessageBox::Ok);
            }
        });
        boxCloser.start(20);
    }

    Profile::instance();
    MainWindow window;
    window.resize(size);
    if (shotFile.isEmpty()) {
        window.show();
        return app.exec();
    }

    window.show();
    QApplication::processEvents();
    const QPixmap image = window.grab();
    if (!image.save(shotFile, "PNG")) {
        fail(QStringLiteral("cannot write the screenshot %1").arg(shotFile));
        return 1;
    }
    return 0;
}
