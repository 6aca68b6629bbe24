#include "propertyitem.h"

#include "propertyitemmodel.h"

#include <QMap>

#include <utility>

class PropertyItemPrivate
{
public:
    QString name;
    // Keyed by item-data role; the value is the display-role entry.
    QMap<int, QVariant> roles;
    PropertyItem *parent = nullptr;
    PropertyItemModel *model = nullptr;
    Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemIsEnabled;
    QList<PropertyItem *> children;
    // Where this item was last seen in its parent's list: every change the
    // item announces needs its row, and a scan of the siblings for it would
    // make each edit cost as much as the parent has children.
    int row = -1;
    // A model's root item is never linked under another item.
    bool root = false;
};

namespace {

// Views edit through the edit role; the item keeps one value for both.
int storedRole(int role)
{
    return role == Qt::EditRole ? int(Qt::DisplayRole) : role;
}

} // namespace

PropertyItem::PropertyItem()
    : d(new PropertyItemPrivate)
{
}

PropertyItem::PropertyItem(const QString &name, const QVariant &value)
    : PropertyItem()
{
    d->name = name;
    PropertyItem::setValue(value, false);
}

PropertyItem::PropertyItem(PropertyItemModel *model)
    : PropertyItem()
{
    d->model = model;
    d->root = true;
}

PropertyItem::~PropertyItem()
{
    // A parent that still listed this item would later hand a dangling
    // pointer to its model's views.
    if (d->parent)
        d->parent->remove(this);

    // The children go silently: they are unhooked first so none of them
    // reaches back into this half-destroyed item or into a model.
    const QList<PropertyItem *> children = std::exchange(d->children, {});
    for (PropertyItem *child : children) {
        child->d->parent = nullptr;
        child->d->model = nullptr;
        delete child;
    }
}

int PropertyItem::type() const
{
    return 0;
}

QString PropertyItem::name() const
{
    return d->name;
}

void PropertyItem::setName(const QString &name)
{
    d->name = name;
}

QVariant PropertyItem::value() const
{
    return d->roles.value(Qt::DisplayRole);
}

void PropertyItem::setValue(const QVariant &value, bool notify)
{
    // An invalid value is stored as such: it is the value, not a missing role.
    d->roles.insert(Qt::DisplayRole, value);
    emitDataChanged();
    if (notify)
        notifyParent();
}

void PropertyItem::reset()
{
    // Over a copy: a derived reset may restructure its parent's children.
    const QList<PropertyItem *> children = d->children;
    for (PropertyItem *child : children)
        child->reset();
}

QVariant PropertyItem::data(int role) const
{
    return d->roles.value(storedRole(role));
}

void PropertyItem::setData(const QVariant &value, int role)
{
    role = storedRole(role);
    if (d->roles.value(role) == value)
        return;
    if (role == Qt::DisplayRole) {
        // Through the virtual setter, so a derived kind sees every edit.
        setValue(value, true);
        return;
    }
    if (value.isValid())
        d->roles.insert(role, value);
    else
        d->roles.remove(role);
    emitDataChanged(role);
}

Qt::ItemFlags PropertyItem::flags() const
{
    return d->flags;
}

void PropertyItem::setFlags(Qt::ItemFlags flags)
{
    d->flags = flags;
}

void PropertyItem::changeFlags(Qt::ItemFlags flags, bool on)
{
    if (on)
        d->flags |= flags;
    else
        d->flags &= ~flags;
}

void PropertyItem::setEditable(bool editable)
{
    changeFlags(Qt::ItemIsEditable, editable);
}

bool PropertyItem::isEditable() const
{
    return d->flags.testFlag(Qt::ItemIsEditable);
}

PropertyItem *PropertyItem::parent() const
{
    return d->parent;
}

QList<PropertyItem *> PropertyItem::children() const
{
    return d->children;
}

PropertyItemModel *PropertyItem::model() const
{
    return d->model;
}

void PropertyItem::append(PropertyItem *child)
{
    // The end as it is once the child has left an earlier place here.
    insert(d->children.size(), child);
}

void PropertyItem::insert(int position, PropertyItem *child)
{
    if (!canAdopt(child))
        return;

    // Leave the old place, with its own announced removal, before the
    // insertion here opens: a removal nested in an open insertion would show
    // observers the child under two parents, and the model's bookkeeping of
    // persistent indexes does not expect one change inside another. Taking
    // it out first also turns re-adding an existing child into a move
    // instead of a second entry that would be deleted twice.
    if (child->d->parent)
        child->d->parent->remove(child);

    position = qBound(0, position, d->children.size());
    if (d->model)
        d->model->beginInsertRows(index(), position, position);
    d->children.insert(position, child);
    child->d->row = position;
    child->setParentAndModel(this, d->model);
    if (d->model)
        d->model->endInsertRows();
}

void PropertyItem::remove(PropertyItem *child)
{
    const int row = child && child->d->parent == this ? child->row() : -1;
    if (row < 0)
        return;
    if (d->model)
        d->model->beginRemoveRows(index(), row, row);
    d->children.removeAt(row);
    child->d->row = -1;
    child->setParentAndModel(nullptr, nullptr);
    if (d->model)
        d->model->endRemoveRows();
}

QModelIndex PropertyItem::index() const
{
    return d->model ? d->model->nameIndexFromItem(this) : QModelIndex();
}

QModelIndex PropertyItem::valueIndex() const
{
    return d->model ? d->model->valueIndexFromItem(this) : QModelIndex();
}

void PropertyItem::emitDataChanged()
{
    if (!d->model)
        return;
    // The root item has no index; a change signal without a cell means nothing.
    const QModelIndex cell = valueIndex();
    if (cell.isValid())
        emit d->model->dataChanged(cell, cell);
}

void PropertyItem::emitDataChanged(int role)
{
    if (storedRole(role) == Qt::DisplayRole) {
        emitDataChanged();
        return;
    }
    if (!d->model)
        return;
    const QModelIndex first = index();
    if (first.isValid())
        emit d->model->dataChanged(first, valueIndex());
}

void PropertyItem::notifyParent()
{
    if (d->parent)
        d->parent->childChanged(this);
}

void PropertyItem::childChanged(PropertyItem *child)
{
    Q_UNUSED(child)
    notifyParent();
}

void PropertyItem::setParentAndModel(PropertyItem *parent, PropertyItemModel *model)
{
    if (d->parent && d->parent != parent)
        d->parent->remove(this);
    if (d->model != model) {
        const QList<PropertyItem *> children = d->children;
        for (PropertyItem *child : children)
            child->setParentAndModel(this, model);
    }
    d->parent = parent;
    d->model = model;
}

bool PropertyItem::canAdopt(const PropertyItem *child) const
{
    if (!child) {
        qWarning("PropertyItem: cannot add a null child to \"%s\"", qUtf8Printable(d->name));
        return false;
    }
    if (child->d->root) {
        qWarning("PropertyItem: a model's root item cannot be added to \"%s\"", qUtf8Printable(d->name));
        return false;
    }
    for (const PropertyItem *ancestor = this; ancestor; ancestor = ancestor->d->parent) {
        if (ancestor == child) {
            qWarning("PropertyItem: cannot add \"%s\" to its own subtree", qUtf8Printable(child->d->name));
            return false;
        }
    }
    return true;
}

int PropertyItem::row() const
{
    if (!d->parent)
        return -1;
    const QList<PropertyItem *> &siblings = d->parent->d->children;
    const int count = siblings.size();
    if (count == 0)
        return -1;
    // Siblings inserted or removed before this item since it was last seen
    // have shifted it by as many places: look outward from there, nearest
    // first, as QStandardItem does. An edit after a few structural changes
    // finds the item in a step or two, whatever the number of siblings.
    const int last = qBound(0, d->row, count - 1);
    for (int distance = 0; distance < count; ++distance) {
        const int after = last + distance;
        const int before = last - distance;
        if (after >= count && before < 0)
            break;
        if (after < count && siblings.at(after) == this) {
            d->row = after;
            return after;
        }
        if (before >= 0 && siblings.at(before) == this) {
            d->row = before;
            return before;
        }
    }
    return -1;
}

int PropertyItem::childCount() const
{
    return d->children.size();
}

PropertyItem *PropertyItem::childAt(int row) const
{
    PropertyItem *child = d->children.at(row);
    // A view asks for rows near those it showed: remember where it found it.
    child->d->row = row;
    return child;
}
