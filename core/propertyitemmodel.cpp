#include "propertyitemmodel.h"

#include "propertyitem.h"

class PropertyItemModelPrivate
{
public:
    PropertyItem *root = nullptr;
};

PropertyItemModel::PropertyItemModel(QObject *parent)
    : QAbstractItemModel(parent)
    , d(new PropertyItemModelPrivate)
{
    d->root = new PropertyItem(this);
}

PropertyItemModel::~PropertyItemModel()
{
    delete d->root;
}

PropertyItem *PropertyItemModel::rootItem() const
{
    return d->root;
}

void PropertyItemModel::append(PropertyItem *item)
{
    d->root->append(item);
}

PropertyItem *PropertyItemModel::itemFromIndex(const QModelIndex &index) const
{
    if (!index.isValid())
        return d->root;
    // Another model's pointer is not an item of this tree.
    if (index.model() != this)
        return nullptr;
    return static_cast<PropertyItem *>(index.internalPointer());
}

QModelIndex PropertyItemModel::nameIndexFromItem(const PropertyItem *item) const
{
    return indexFromItem(item, 0);
}

QModelIndex PropertyItemModel::valueIndexFromItem(const PropertyItem *item) const
{
    return indexFromItem(item, 1);
}

QModelIndex PropertyItemModel::indexFromItem(const PropertyItem *item, int column) const
{
    if (!item || item == d->root || !item->parent() || item->model() != this)
        return QModelIndex();
    const int row = item->row();
    if (row < 0)
        return QModelIndex();
    return createIndex(row, column, const_cast<PropertyItem *>(item));
}

QModelIndex PropertyItemModel::index(int row, int column, const QModelIndex &parent) const
{
    // Children hang under a row's name cell only, as Qt's views and proxies
    // expect of a tree.
    if (parent.column() > 0)
        return QModelIndex();
    const PropertyItem *item = itemFromIndex(parent);
    // Unsigned comparisons turn negative rows and columns away as well.
    if (!item || uint(row) >= uint(item->childCount()) || uint(column) > 1u)
        return QModelIndex();
    return createIndex(row, column, item->childAt(row));
}

QModelIndex PropertyItemModel::parent(const QModelIndex &index) const
{
    const PropertyItem *item = itemFromIndex(index);
    if (!item || item == d->root)
        return QModelIndex();
    return nameIndexFromItem(item->parent());
}

int PropertyItemModel::rowCount(const QModelIndex &parent) const
{
    if (parent.column() > 0)
        return 0;
    const PropertyItem *item = itemFromIndex(parent);
    return item ? item->childCount() : 0;
}

int PropertyItemModel::columnCount(const QModelIndex &) const
{
    return 2;
}

QVariant PropertyItemModel::data(const QModelIndex &index, int role) const
{
    if (role == Qt::EditRole)
        role = Qt::DisplayRole;
    if (!index.isValid())
        return QVariant();
    const PropertyItem *item = itemFromIndex(index);
    if (!item)
        return QVariant();
    if (role == Qt::DisplayRole && index.column() == 0)
        return item->name();
    // Column 0 carries the item's decoration, tool tip and colours as well.
    return item->data(role);
}

bool PropertyItemModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (index.column() != 1)
        return false;
    PropertyItem *item = itemFromIndex(index);
    if (!item || item == d->root)
        return false;
    // The item skips equal values; the edit itself was accepted either way.
    item->setData(value, role);
    return true;
}

QVariant PropertyItemModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return section == 0 ? tr("名称") : tr("值");
    return QAbstractItemModel::headerData(section, orientation, role);
}

Qt::ItemFlags PropertyItemModel::flags(const QModelIndex &index) const
{
    const PropertyItem *item = itemFromIndex(index);
    if (!item || item == d->root)
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = item->flags();
    // Names are never edited; the value column follows the item.
    if (index.column() == 0)
        flags &= ~Qt::ItemIsEditable;
    return flags;
}

QModelIndex PropertyItemModel::buddy(const QModelIndex &index) const
{
    // An edit started on a name edits the value of that row.
    if (index.isValid() && index.column() == 0)
        return this->index(index.row(), 1, parent(index));
    return index;
}

void PropertyItemModel::revert()
{
    d->root->reset();
}
