#ifndef PROPERTYITEM_H
#define PROPERTYITEM_H

#include "core_global.h"

#include <QList>
#include <QModelIndex>
#include <QString>
#include <QVariant>

#include <memory>

class PropertyItemModel;
class PropertyItemPrivate;

// One node of a tree of named values shown by PropertyItemModel: column 0 is
// the name, column 1 the value (the display-role entry of the item's data).
// An item owns its children and announces its own changes to the model of
// its tree, so the model keeps no copy of the tree. Derived kinds change
// behaviour through type, setValue, reset, data, setData and childChanged.
class CORE_EXPORT PropertyItem
{
public:
    PropertyItem();
    PropertyItem(const QString &name, const QVariant &value);
    // Deletes the subtree. An item still linked to a parent is unlinked from
    // it first (with the model's row removal), so no dangling child is left.
    virtual ~PropertyItem();

    virtual int type() const;

    QString name() const;
    void setName(const QString &name);

    QVariant value() const;
    virtual void setValue(const QVariant &value, bool notify);
    virtual void reset();

    // The edit role is the display role: it is never stored on its own.
    virtual QVariant data(int role) const;
    virtual void setData(const QVariant &value, int role);

    Qt::ItemFlags flags() const;
    void setFlags(Qt::ItemFlags flags);
    void changeFlags(Qt::ItemFlags flags, bool on);
    void setEditable(bool editable);
    bool isEditable() const;

    PropertyItem *parent() const;
    QList<PropertyItem *> children() const;
    PropertyItemModel *model() const;

    // Taking an item that still has another parent unlinks it from there
    // first, so observers see a removal followed by an insertion.
    void append(PropertyItem *child);
    void insert(int position, PropertyItem *child);
    // Unlinks without deleting: the caller owns the child afterwards.
    void remove(PropertyItem *child);

    QModelIndex index() const;
    QModelIndex valueIndex() const;

protected:
    // Announces a change of the value: the value cell.
    void emitDataChanged();
    // Announces a change of one role: the cells that show it. The name cell
    // shows every role but the display role (colours, font, tool tip...).
    void emitDataChanged(int role);
    void notifyParent();
    virtual void childChanged(PropertyItem *child);
    void setParentAndModel(PropertyItem *parent, PropertyItemModel *model);

private:
    explicit PropertyItem(PropertyItemModel *model);
    Q_DISABLE_COPY(PropertyItem)

    bool canAdopt(const PropertyItem *child) const;
    // The model's look-ups: this item's position among its parent's
    // children (-1 without a parent), found at constant cost.
    int row() const;
    int childCount() const;
    PropertyItem *childAt(int row) const;

    friend class PropertyItemModel;
    const std::unique_ptr<PropertyItemPrivate> d;
};

#endif // PROPERTYITEM_H
