#ifndef LEGENDMODEL_H
#define LEGENDMODEL_H

#include <analysisresult.h>

#include <QAbstractTableModel>
#include <QVector>

// One example result of every flag and every error kind, rendered like the
// results are: shows at a glance what the current settings make of each.
class LegendModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { KindColumn, TextColumn, ErrorColumn, ColumnCount };

    explicit LegendModel(QObject *parent = nullptr);

    AnalysisResult result(int row) const;
    void refresh();

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    struct Row {
        QString kind;
        AnalysisResult result;
    };
    QVector<Row> m_rows;
};

#endif // LEGENDMODEL_H
