#include "legendmodel.h"

#include <tamglobal.h>

LegendModel::LegendModel(QObject *parent)
    : QAbstractTableModel(parent)
{
    const double example = 12.3;
    m_rows.append({tr("Valid"), AnalysisResult(example)});
    static const struct {
        tam::ResultFlag flag;
        const char *kind;
    } flags[] = {
        {tam::ManualInputFlag, QT_TR_NOOP("Manual input")},
        {tam::DilutionFlag, QT_TR_NOOP("Diluted sample")},
        {tam::LowerReportLimitFlag, QT_TR_NOOP("Below report limit")},
        {tam::UpperReportLimitFlag, QT_TR_NOOP("Above report limit")},
        {tam::LowerMarkLimitFlag, QT_TR_NOOP("Below normal range")},
        {tam::UpperMarkLimitFlag, QT_TR_NOOP("Above normal range")},
        {tam::ManualTestFlag, QT_TR_NOOP("Manual test")},
    };
    for (const auto &entry : flags) {
        AnalysisResult r(example);
        r.setFlag(entry.flag, true);
        m_rows.append({tr(entry.kind), r});
    }
    m_rows.append({tr("Not clotted"), AnalysisResult(AnalysisResult::notClottedValue)});
    static const struct {
        AnalysisResult::ErrorCode code;
        const char *kind;
    } errors[] = {
        {AnalysisResult::NullResult, QT_TR_NOOP("Empty")},
        {AnalysisResult::InvalidValue, QT_TR_NOOP("Invalid value")},
        {AnalysisResult::UnknownError, QT_TR_NOOP("Unknown error")},
        {AnalysisResult::NoStandardCurve, QT_TR_NOOP("No standard curve")},
        {AnalysisResult::InvalidStandardCurve, QT_TR_NOOP("Invalid standard curve")},
        {AnalysisResult::StandardCurveSetupError, QT_TR_NOOP("Standard curve set up wrongly")},
        {AnalysisResult::InvalidCalculationMethod, QT_TR_NOOP("Invalid calculation method")},
        {AnalysisResult::MissingCalculationParameter, QT_TR_NOOP("Missing calculation parameter")},
    };
    for (const auto &entry : errors)
        m_rows.append({tr(entry.kind), AnalysisResult(entry.code)});
}

AnalysisResult LegendModel::result(int row) const
{
    return row >= 0 && row < m_rows.size() ? m_rows.at(row).result : AnalysisResult();
}

void LegendModel::refresh()
{
    emit dataChanged(index(0, 0), index(m_rows.size() - 1, ColumnCount - 1));
}

int LegendModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows.size();
}

int LegendModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant LegendModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return QVariant();
    const Row &row = m_rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        if (index.column() == KindColumn)
            return row.kind;
        if (index.column() == TextColumn)
            return row.result.toString(AnalysisResult::WithFlags, 'f', 1);
        if (index.column() == ErrorColumn)
            return row.result.errorText();
        break;
    case Qt::ForegroundRole:
        if (index.column() == TextColumn)
            return row.result.foregroundRole();
        break;
    case Qt::ToolTipRole:
        if (index.column() == TextColumn && !row.result.errorText().isEmpty())
            return row.result.errorText();
        break;
    }
    return QVariant();
}

QVariant LegendModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char *const titles[ColumnCount] = {
        QT_TR_NOOP("Kind"), QT_TR_NOOP("Shown as"), QT_TR_NOOP("Error text")
    };
    return section >= 0 && section < ColumnCount ? tr(titles[section]) : QVariant();
}
