#ifndef PROPERTYTREECHECK_H
#define PROPERTYTREECHECK_H

// Test helpers for the property tree: Qt's model tester on every model a
// test builds, and a textual picture of a tree as a model's observers see it.

#include "propertyitem.h"
#include "propertyitemmodel.h"

#include <QAbstractItemModelTester>
#include <QIdentityProxyModel>
#include <QStringList>

#include <memory>

// The property model reports a row's children under both of its columns,
// which the tester rejects for nested trees. Seen through this proxy the
// children hang under column 0 only; everything else passes unchanged.
class NameColumnChildrenProxy : public QIdentityProxyModel
{
public:
    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override
    {
        if (parent.column() > 0)
            return QModelIndex();
        return QIdentityProxyModel::index(row, column, parent);
    }
    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.column() > 0 ? 0 : QIdentityProxyModel::rowCount(parent);
    }
    bool hasChildren(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.column() > 0 ? false : QIdentityProxyModel::hasChildren(parent);
    }
};

// A model under the tester (fatal mode) from its construction on: through
// the proxy always, and directly as well for tests that keep the tree flat.
class TestedModel
{
public:
    TestedModel()
    {
        proxy.setSourceModel(&model);
        proxied.reset(new QAbstractItemModelTester(&proxy, QAbstractItemModelTester::FailureReportingMode::Fatal));
    }
    void testDirectly()
    {
        direct.reset(new QAbstractItemModelTester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal));
    }

    PropertyItemModel model;
    NameColumnChildrenProxy proxy;

private:
    std::unique_ptr<QAbstractItemModelTester> proxied;
    std::unique_ptr<QAbstractItemModelTester> direct;
};

// "name=value[child=value,...]" for every row, read through the model's
// interface only, as a view would.
inline QString picture(const QAbstractItemModel &model, const QModelIndex &parent = QModelIndex())
{
    QStringList rows;
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex name = model.index(row, 0, parent);
        QString text = name.data().toString() + QLatin1Char('=')
                + model.index(row, 1, parent).data().toString();
        if (model.rowCount(name) > 0)
            text += QLatin1Char('[') + picture(model, name) + QLatin1Char(']');
        rows << text;
    }
    return rows.join(QLatin1Char(','));
}

inline PropertyItem *addItem(PropertyItem *parent, const QString &name, const QVariant &value = QVariant())
{
    auto *item = new PropertyItem(name, value);
    parent->append(item);
    return item;
}

#endif // PROPERTYTREECHECK_H
