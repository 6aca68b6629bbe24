#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>

#include <memory>

class CurvePlot;
class MainWindowPrivate;
class QAbstractItemModel;

// The viewer's window over the data directory that is the current directory
// (where Profile::instance() opened its databases): the patients and their
// chosen results, the curve of the selected result, the settings, the serial
// ports and the sample numbering of today.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Selects a patient by row of the patient list and its first result;
    // false when there is no such row.
    bool selectPatientRow(int row);
    bool selectResultRow(int row);

    QAbstractItemModel *patientModel() const;
    QAbstractItemModel *resultModel() const;
    QAbstractItemModel *settingsModel() const;
    QAbstractItemModel *legendModel() const;
    CurvePlot *intensityPlot() const;
    CurvePlot *densityPlot() const;
    QString curveInfo() const;
    QStringList serialPorts() const;
    QString sampleNumbering() const;

public slots:
    // Reads the patients, ports and sample numbering again.
    void reload();

private:
    void showResult(int row);
    void refreshStation();
    void settingSaved(const QString &key);

    std::unique_ptr<MainWindowPrivate> d;
};

#endif // MAINWINDOW_H
