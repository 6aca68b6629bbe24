#ifndef PROPERTYTREECHECK_H
#define PROPERTYTREECHECK_H

// Test helpers for the property tree: Qt's model tester on every model a
// test builds, and a textual picture of a tree as a model's observers see it.

#include "propertyitem.h"
#include "propertyitemmodel.h"

#include <QAbstractItemModelTester>
#include <QStringList>

#include <memory>

// A model under Qt's model tester, in its default mode, from its
// construction on.
class TestedModel
{
public:
    TestedModel()
        : tester(new QAbstractItemModelTester(&model))
    {
    }

    PropertyItemModel model;

private:
    std::unique_ptr<QAbstractItemModelTester> tester;
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
