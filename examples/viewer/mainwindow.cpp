#include "mainwindow.h"

#include "curveplot.h"
#include "legendmodel.h"
#include "resultmodel.h"
#include "settingsmodel.h"

#include <analysisresult.h>
#include <profile.h>
#include <serial.h>
#include <tamglobal.h>

#include <QDate>
#include <QDir>
#include <QDockWidget>
#include <QFormLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QSplitter>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QSqlRecord>
#include <QStatusBar>
#include <QTableView>
#include <QTreeView>
#include <QVBoxLayout>

class MainWindowPrivate
{
public:
    QSqlQueryModel *patients = nullptr;
    ResultModel *results = nullptr;
    SettingsModel *settings = nullptr;
    LegendModel *legend = nullptr;
    QTableView *patientView = nullptr;
    QTableView *resultView = nullptr;
    CurvePlot *intensity = nullptr;
    CurvePlot *density = nullptr;
    QLabel *curveInfo = nullptr;
    QLabel *ports = nullptr;
    QLabel *nextSample = nullptr;
    QLabel *prefixes = nullptr;
    QStringList portList;
};

namespace {

QTableView *makeTable(QAbstractItemModel *model, QWidget *parent)
{
    auto *view = new QTableView(parent);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->hide();
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    view->horizontalHeader()->setStretchLastSection(true);
    view->setAlternatingRowColors(true);
    return view;
}

QVector<QPolygonF> runsOf(const ClotCurve &curve)
{
    QVector<QPolygonF> runs;
    for (const ClotCurve::Segment &segment : curve.segments()) {
        QPolygonF run;
        run.reserve(segment.values.size());
        for (int k = 0; k < segment.values.size(); ++k)
            run.append(QPointF(segment.start + k * segment.step, segment.values.at(k)));
        runs.append(run);
    }
    return runs;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), d(new MainWindowPrivate)
{
    setWindowTitle(tr("Result viewer - %1").arg(QDir::toNativeSeparators(QDir::currentPath())));

    d->patients = new QSqlQueryModel(this);
    d->results = new ResultModel(this);
    d->settings = new SettingsModel(this);
    d->legend = new LegendModel(this);

    auto *left = new QSplitter(Qt::Vertical);
    auto *patientBox = new QGroupBox(tr("Patients"));
    d->patientView = makeTable(d->patients, patientBox);
    (new QVBoxLayout(patientBox))->addWidget(d->patientView);
    auto *resultBox = new QGroupBox(tr("Chosen results"));
    d->resultView = makeTable(d->results, resultBox);
    (new QVBoxLayout(resultBox))->addWidget(d->resultView);
    left->addWidget(patientBox);
    left->addWidget(resultBox);
    left->setSizes({220, 500});

    auto *curveBox = new QGroupBox(tr("Clot curve"));
    auto *curveLayout = new QVBoxLayout(curveBox);
    d->curveInfo = new QLabel;
    d->curveInfo->setWordWrap(true);
    d->intensity = new CurvePlot;
    d->intensity->setTitle(tr("Detector signal"));
    d->intensity->setAxisTitles(tr("Time (s)"), tr("Intensity (counts)"));
    d->density = new CurvePlot;
    d->density->setTitle(tr("Optical density"));
    d->density->setAxisTitles(tr("Time (s)"), tr("Optical density (OD)"));
    d->density->setLineColor(QColor(0xc0, 0x39, 0x2b));
    curveLayout->addWidget(d->curveInfo);
    curveLayout->addWidget(d->intensity, 1);
    curveLayout->addWidget(d->density, 1);

    auto *central = new QSplitter(Qt::Horizontal);
    central->addWidget(left);
    central->addWidget(curveBox);
    central->setStretchFactor(0, 1);
    central->setStretchFactor(1, 1);
    central->setSizes({620, 480});
    setCentralWidget(central);

    auto *settingsDock = new QDockWidget(tr("Settings (profile.db)"), this);
    settingsDock->setObjectName(QStringLiteral("settings"));
    auto *settingsView = new QTreeView(settingsDock);
    settingsView->setModel(d->settings);
    settingsView->setAlternatingRowColors(true);
    settingsView->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed
                                  | QAbstractItemView::SelectedClicked);
    settingsDock->setWidget(settingsView);
    addDockWidget(Qt::RightDockWidgetArea, settingsDock);

    auto *legendDock = new QDockWidget(tr("How results are shown"), this);
    legendDock->setObjectName(QStringLiteral("legend"));
    QTableView *legendView = makeTable(d->legend, legendDock);
    legendDock->setWidget(legendView);
    addDockWidget(Qt::RightDockWidgetArea, legendDock);

    auto *stationDock = new QDockWidget(tr("Station"), this);
    stationDock->setObjectName(QStringLiteral("station"));
    auto *station = new QWidget(stationDock);
    auto *form = new QFormLayout(station);
    d->ports = new QLabel;
    d->ports->setWordWrap(true);
    d->nextSample = new QLabel;
    d->prefixes = new QLabel;
    form->addRow(tr("Serial ports:"), d->ports);
    form->addRow(tr("Next sample today:"), d->nextSample);
    form->addRow(tr("Sample prefixes:"), d->prefixes);
    stationDock->setWidget(station);
    addDockWidget(Qt::RightDockWidgetArea, stationDock);
    resizeDocks({settingsDock}, {440}, Qt::Horizontal);

    connect(d->patientView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &current) {
                const int id = current.isValid()
                        ? d->patients->record(current.row()).value(QStringLiteral("id")).toInt() : 0;
                if (!current.isValid())
                    d->results->clear();
                else if (!d->results->load(Profile::instance().dataDatabase(), id))
                    statusBar()->showMessage(tr("Cannot read the results: %1").arg(d->results->lastError()));
                selectResultRow(0);
            });
    connect(d->resultView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &current) { showResult(current.isValid() ? current.row() : -1); });
    connect(d->settings, &SettingsModel::settingSaved, this,
            [this](const QString &key) { settingSaved(key); });
    connect(d->settings, &SettingsModel::settingRejected, this,
            [this](const QString &, const QString &message) { statusBar()->showMessage(message, 15000); });

    d->settings->load(Profile::instance());
    settingsView->expandToDepth(0);
    settingsView->resizeColumnToContents(0);
    legendView->resizeColumnsToContents();
    reload();
}

MainWindow::~MainWindow() = default;

void MainWindow::reload()
{
    d->patients->setQuery(QStringLiteral("select * from patient order by date desc, cast(sampleNo as integer), id"),
                          Profile::instance().dataDatabase());
    if (d->patients->lastError().isValid())
        statusBar()->showMessage(tr("Cannot read the patients: %1").arg(d->patients->lastError().text()));
    else {
        // The list fetches its rows as they are scrolled to; the count asks the file.
        QSqlQuery count(Profile::instance().dataDatabase());
        const int n = count.exec(QStringLiteral("select count(*) from patient")) && count.next()
                ? count.value(0).toInt() : d->patients->rowCount();
        statusBar()->showMessage(tr("%n patient(s)", nullptr, n));
    }
    d->patientView->resizeColumnsToContents();
    refreshStation();
    selectPatientRow(0);
}

bool MainWindow::selectPatientRow(int row)
{
    if (row < 0 || row >= d->patients->rowCount()) {
        d->results->clear();
        showResult(-1);
        return false;
    }
    d->patientView->setCurrentIndex(d->patients->index(row, 0));
    return true;
}

bool MainWindow::selectResultRow(int row)
{
    if (row < 0 || row >= d->results->rowCount()) {
        showResult(-1);
        return false;
    }
    d->resultView->resizeColumnsToContents();
    if (d->resultView->currentIndex().row() == row)
        showResult(row);
    else
        d->resultView->setCurrentIndex(d->results->index(row, 0));
    return true;
}

void MainWindow::showResult(int row)
{
    const AnalysisResult result = d->results->result(row);
    const QString item = d->results->item(row);
    if (row < 0 || row >= d->results->rowCount()) {
        d->curveInfo->setText(d->results->rowCount() == 0 && d->results->patientId() != 0
                              ? tr("This patient has no chosen results.") : tr("No result selected."));
        d->intensity->clear();
        d->density->clear();
        return;
    }
    QSqlQuery query(Profile::instance().dataDatabase());
    query.prepare(QStringLiteral("select curve from curve where patientId = :patientId and item = :item "
                                 "and version = :version order by id desc limit 1"));
    query.bindValue(QStringLiteral(":patientId"), d->results->patientId());
    query.bindValue(QStringLiteral(":item"), item);
    query.bindValue(QStringLiteral(":version"), result.version());
    if (!query.exec()) {
        d->curveInfo->setText(tr("Cannot read the curve: %1").arg(query.lastError().text()));
        d->intensity->clear();
        d->density->clear();
        return;
    }
    if (!query.next()) {
        const QString none = tr("No curve stored for %1, version %2.").arg(item).arg(result.version());
        d->curveInfo->setText(none);
        d->intensity->clear(none);
        d->density->clear(none);
        return;
    }
    const ClotCurve curve = ClotCurve::fromBuffer(query.value(0).toByteArray());
    QString type;
    switch (curve.type()) {
    case ClotCurve::Intensity:
        type = tr("detector signal");
        break;
    case ClotCurve::OpticalDensity:
        type = tr("optical density");
        break;
    default:
        type = tr("unknown point type %1").arg(int(curve.type()));
        break;
    }
    QString info = tr("%1 (version %2): %n point(s) in %3 segment(s), stored as %4.", nullptr, curve.size())
            .arg(item).arg(result.version()).arg(curve.segments().size()).arg(type);
    if (curve.type() == ClotCurve::Intensity) {
        d->intensity->setRuns(runsOf(curve));
        // The conversion works on the first segment and hands the others on
        // as raw signal, which has no place on a density axis.
        QVector<QPolygonF> density = runsOf(curve.toType(ClotCurve::OpticalDensity));
        if (density.size() > 1) {
            density.resize(1);
            info += QLatin1Char(' ') + tr("The optical density covers the first segment.");
        }
        d->density->setRuns(density);
    } else if (curve.type() == ClotCurve::OpticalDensity) {
        d->intensity->clear(tr("Only the optical density of this curve is stored."));
        d->density->setRuns(runsOf(curve));
    } else {
        d->intensity->clear(type);
        d->density->clear(type);
    }
    QSqlQuery detail(Profile::instance().dataDatabase());
    detail.prepare(QStringLiteral("select info from detail where patientId = :patientId and item = :item "
                                  "and version = :version order by id desc limit 1"));
    detail.bindValue(QStringLiteral(":patientId"), d->results->patientId());
    detail.bindValue(QStringLiteral(":item"), item);
    detail.bindValue(QStringLiteral(":version"), result.version());
    if (detail.exec() && detail.next() && !detail.value(0).toString().isEmpty())
        info += QLatin1Char(' ') + tr("Test details: %1").arg(detail.value(0).toString());
    d->curveInfo->setText(info);
    if (curve.size() == 0) {
        d->intensity->clear(tr("The stored curve has no points."));
        d->density->clear(tr("The stored curve has no points."));
    }
}

void MainWindow::refreshStation()
{
    d->portList = Serial::EnumDevices();
    d->ports->setText(d->portList.isEmpty() ? tr("none found") : d->portList.join(QStringLiteral(", ")));
    const QDate today = QDate::currentDate();
    d->nextSample->setText(tr("%1 (%2)").arg(nextSampleNo(today)).arg(today.toString(Qt::ISODate)));
    auto shown = [](const QString &prefix) { return prefix.isEmpty() ? tr("(none)") : prefix; };
    d->prefixes->setText(tr("routine %1, statim %2, quality control %3")
                         .arg(shown(samplePrefix(tam::RoutineSample)), shown(samplePrefix(tam::StatimSample)),
                              shown(samplePrefix(tam::QcSample))));
}

void MainWindow::settingSaved(const QString &key)
{
    // Marks, colours and prefixes are read from the settings on every use.
    d->results->refresh();
    d->legend->refresh();
    refreshStation();
    statusBar()->showMessage(tr("Saved %1").arg(key), 10000);
}

QAbstractItemModel *MainWindow::patientModel() const { return d->patients; }
QAbstractItemModel *MainWindow::resultModel() const { return d->results; }
QAbstractItemModel *MainWindow::settingsModel() const { return d->settings; }
QAbstractItemModel *MainWindow::legendModel() const { return d->legend; }
CurvePlot *MainWindow::intensityPlot() const { return d->intensity; }
CurvePlot *MainWindow::densityPlot() const { return d->density; }
QString MainWindow::curveInfo() const { return d->curveInfo->text(); }
QStringList MainWindow::serialPorts() const { return d->portList; }

QString MainWindow::sampleNumbering() const
{
    return d->nextSample->text() + QLatin1Char('\n') + d->prefixes->text();
}
