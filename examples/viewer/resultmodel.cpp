#include "resultmodel.h"

#include <tamglobal.h>

#include <QBrush>
#include <QSqlError>
#include <QSqlQuery>

ResultModel::ResultModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

ResultModel::~ResultModel() = default;

bool ResultModel::load(const QSqlDatabase &db, int patientId)
{
    beginResetModel();
    m_rows.clear();
    m_patientId = patientId;
    m_lastError.clear();
    QSqlQuery query(db);
    query.setForwardOnly(true);
    const bool ok = query.prepare(QStringLiteral(
                "select id, item, subitem, version, abbr, code, date, time, result, unit, flag, "
                "lowerMarkLimit, upperMarkLimit from result where patientId = :patientId "
                "order by displayOrder, item, subitem, id"))
            && (query.bindValue(QStringLiteral(":patientId"), patientId), query.exec());
    if (!ok) {
        m_lastError = query.lastError().text();
    } else {
        while (query.next()) {
            Row row;
            row.item = query.value(1).toString();
            row.subitem = query.value(2).toString();
            row.abbr = query.value(4).toString();
            row.code = query.value(5).toString();
            row.saved = (query.value(6).toString() + QLatin1Char(' ') + query.value(7).toString()).trimmed();
            row.unit = query.value(9).toString();
            row.lower = query.value(11);
            row.upper = query.value(12);
            row.result = fromStored(query.value(8), query.value(10));
            row.result.setRecordId(query.value(0).toInt());
            row.result.setVersion(query.value(3).toInt());
            m_rows.append(row);
        }
    }
    endResetModel();
    return ok;
}

void ResultModel::clear()
{
    beginResetModel();
    m_rows.clear();
    m_patientId = 0;
    m_lastError.clear();
    endResetModel();
}

QString ResultModel::lastError() const
{
    return m_lastError;
}

int ResultModel::patientId() const
{
    return m_patientId;
}

QString ResultModel::item(int row) const
{
    return row >= 0 && row < m_rows.size() ? m_rows.at(row).item : QString();
}

AnalysisResult ResultModel::result(int row) const
{
    return row >= 0 && row < m_rows.size() ? m_rows.at(row).result : AnalysisResult();
}

AnalysisResult ResultModel::fromStored(const QVariant &value, const QVariant &flags)
{
    AnalysisResult result;
    if (value.isNull() || (value.userType() == QMetaType::QString && value.toString().trimmed().isEmpty())) {
        result = AnalysisResult(AnalysisResult::NullResult);
    } else {
        bool ok = false;
        const double number = value.userType() == QMetaType::QString ? value.toString().trimmed().toDouble(&ok)
                                                                      : value.toDouble(&ok);
        if (ok) {
            result = AnalysisResult(number);
        } else {
            // A column of type real can still hold text in SQLite; such a row
            // is shown as what it is, not as an empty result.
            result = AnalysisResult(AnalysisResult::InvalidValue);
            result.setErrorText(tr("The stored value \"%1\" is not a number").arg(value.toString()));
        }
    }
    result.setFlags(flags.toInt());
    return result;
}

QString ResultModel::flagNames(int flags)
{
    static const struct {
        tam::ResultFlag flag;
        const char *name;
    } names[] = {
        {tam::ManualInputFlag, QT_TR_NOOP("manual input")},
        {tam::DilutionFlag, QT_TR_NOOP("dilution")},
        {tam::LowerReportLimitFlag, QT_TR_NOOP("below the report limit")},
        {tam::UpperReportLimitFlag, QT_TR_NOOP("above the report limit")},
        {tam::LowerMarkLimitFlag, QT_TR_NOOP("below the normal range")},
        {tam::UpperMarkLimitFlag, QT_TR_NOOP("above the normal range")},
        {tam::ManualTestFlag, QT_TR_NOOP("manual test")},
    };
    QStringList list;
    for (const auto &entry : names)
        if (flags & entry.flag)
            list.append(tr(entry.name));
    return list.join(QStringLiteral(", "));
}

void ResultModel::refresh()
{
    if (!m_rows.isEmpty())
        emit dataChanged(index(0, 0), index(m_rows.size() - 1, ColumnCount - 1));
}

int ResultModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows.size();
}

int ResultModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ResultModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return QVariant();
    const Row &row = m_rows.at(index.row());
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case ItemColumn:
            return row.item;
        case NameColumn:
            return row.abbr.isEmpty() ? row.subitem : row.abbr;
        case ResultColumn:
            return row.result.toString(AnalysisResult::WithFlags, 'g', -1);
        case UnitColumn:
            return row.unit;
        case RangeColumn:
            if (row.lower.isNull() && row.upper.isNull())
                return QVariant();
            return QStringLiteral("%1 – %2").arg(row.lower.toString(), row.upper.toString());
        case VersionColumn:
            return row.result.version();
        case SavedColumn:
            return row.saved;
        }
    } else if (role == Qt::ForegroundRole && index.column() == ResultColumn) {
        return row.result.foregroundRole();
    } else if (role == Qt::ToolTipRole) {
        if (index.column() == NameColumn)
            return row.code.isEmpty() ? QVariant() : QVariant(row.code);
        if (index.column() == ResultColumn) {
            QStringList lines;
            if (!row.result.errorText().isEmpty())
                lines.append(row.result.errorText());
            const QString flags = flagNames(row.result.flags());
            if (!flags.isEmpty())
                lines.append(tr("Flags: %1").arg(flags));
            return lines.isEmpty() ? QVariant() : QVariant(lines.join(QLatin1Char('\n')));
        }
    } else if (role == Qt::TextAlignmentRole && (index.column() == ResultColumn || index.column() == VersionColumn)) {
        return int(Qt::AlignRight | Qt::AlignVCenter);
    }
    return QVariant();
}

QVariant ResultModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char *const titles[ColumnCount] = {
        QT_TR_NOOP("Test"), QT_TR_NOOP("Value"), QT_TR_NOOP("Result"), QT_TR_NOOP("Unit"),
        QT_TR_NOOP("Normal range"), QT_TR_NOOP("Version"), QT_TR_NOOP("Saved")
    };
    return section >= 0 && section < ColumnCount ? tr(titles[section]) : QVariant();
}
