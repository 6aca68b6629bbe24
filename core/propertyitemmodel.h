#ifndef PROPERTYITEMMODEL_H
#define PROPERTYITEMMODEL_H

#include "core_global.h"

#include <QAbstractItemModel>

#include <memory>

class PropertyItem;
class PropertyItemModelPrivate;

// Two-column tree model (name, value) over a tree of PropertyItem. Every
// index carries its item; the items announce their own changes. A row's
// children hang under its name cell (column 0) only: rowCount() of a value
// cell is 0 and index() under it invalid, as Qt's views, proxies and
// QAbstractItemModelTester expect.
class CORE_EXPORT PropertyItemModel : public QAbstractItemModel
{
    Q_OBJECT
public:
    explicit PropertyItemModel(QObject *parent = nullptr);
    // Deletes the root item and with it every item of the tree.
    ~PropertyItemModel() override;

    PropertyItem *rootItem() const;
    void append(PropertyItem *item);

    PropertyItem *itemFromIndex(const QModelIndex &index) const;
    QModelIndex nameIndexFromItem(const PropertyItem *item) const;
    QModelIndex valueIndexFromItem(const PropertyItem *item) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &index) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QModelIndex buddy(const QModelIndex &index) const override;

public Q_SLOTS:
    // Resets every item of the tree through the root item.
    void revert() override;

private:
    QModelIndex indexFromItem(const PropertyItem *item, int column) const;

    friend class PropertyItem;
    const std::unique_ptr<PropertyItemModelPrivate> d;
};

#endif // PROPERTYITEMMODEL_H
