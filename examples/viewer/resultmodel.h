#ifndef RESULTMODEL_H
#define RESULTMODEL_H

#include <analysisresult.h>

#include <QAbstractTableModel>
#include <QSqlDatabase>
#include <QVector>

// The chosen results of one patient (view "result" of the data database),
// each shown through AnalysisResult: its text with flag marks, its colour
// and, as tool tip, its error text and the names of its flags.
class ResultModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { ItemColumn, NameColumn, ResultColumn, UnitColumn, RangeColumn, VersionColumn,
                  SavedColumn, ColumnCount };

    explicit ResultModel(QObject *parent = nullptr);
    ~ResultModel() override;

    // Reads the patient's results; false (with the reason in lastError())
    // when the query fails, which leaves the model empty.
    bool load(const QSqlDatabase &db, int patientId);
    void clear();
    QString lastError() const;

    int patientId() const;
    QString item(int row) const;
    AnalysisResult result(int row) const;

    // A stored value as a result: no value is an empty result, a number is
    // classified by AnalysisResult, anything else is refused as not a number.
    static AnalysisResult fromStored(const QVariant &value, const QVariant &flags);
    // "dilution, lower mark limit" for the flag bits that have a name.
    static QString flagNames(int flags);

    // The rendering reads the settings on every call: after a settings change
    // the views only need to ask again.
    void refresh();

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    struct Row {
        QString item, subitem, abbr, code, unit, saved;
        QVariant lower, upper;
        AnalysisResult result;
    };
    QVector<Row> m_rows;
    int m_patientId = 0;
    QString m_lastError;
};

#endif // RESULTMODEL_H
