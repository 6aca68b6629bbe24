#include "propertytreecheck.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTreeView>
#include <QtTest>

namespace {

// A derived kind that records what reaches its virtual operations and, like
// the front end's own kinds, restores a default value on reset.
class RecordingItem : public PropertyItem
{
public:
    RecordingItem(const QString &name, const QVariant &value, QStringList *journal = nullptr)
        : PropertyItem(name, value), defaultValue(value), journal(journal)
    {
        ++alive;
    }
    ~RecordingItem() override { --alive; }

    int type() const override { return 1001; }
    void setValue(const QVariant &value, bool notify) override
    {
        setValueCalls << qMakePair(value, notify);
        PropertyItem::setValue(value, notify);
    }
    void reset() override
    {
        if (journal)
            *journal << name();
        PropertyItem::setValue(defaultValue, false);
        PropertyItem::reset();
    }

    QList<QPair<QVariant, bool>> setValueCalls;
    QStringList changedChildren;
    static int alive;

protected:
    void childChanged(PropertyItem *child) override
    {
        changedChildren << child->name();
        PropertyItem::childChanged(child);
    }

private:
    const QVariant defaultValue;
    QStringList *const journal;
};

int RecordingItem::alive = 0;

// A kind whose value is the sum of its children's values.
class SumItem : public RecordingItem
{
public:
    using RecordingItem::RecordingItem;

protected:
    void childChanged(PropertyItem *child) override
    {
        int sum = 0;
        for (const PropertyItem *item : children())
            sum += item->value().toInt();
        setValue(sum, true);
        RecordingItem::childChanged(child);
    }
};

// Writes down every structural notification of the models it watches,
// together with the picture of each model at that moment.
class StructureLog : public QObject
{
public:
    void watch(const QString &label, PropertyItemModel *model)
    {
        models << qMakePair(label, model);
        auto note = [this, label, model](const char *what) {
            return [this, label, model, what](const QModelIndex &parent, int first, int last) {
                QStringList pictures;
                for (const auto &watched : qAsConst(models))
                    pictures << watched.first + QLatin1Char(':') + picture(*watched.second);
                entries << QStringLiteral("%1 %2 under '%3' %4-%5 | %6")
                                   .arg(label, QLatin1String(what), model->data(parent).toString())
                                   .arg(first).arg(last).arg(pictures.join(QLatin1String(" ")));
            };
        };
        connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, note("about to remove"));
        connect(model, &QAbstractItemModel::rowsRemoved, this, note("removed"));
        connect(model, &QAbstractItemModel::rowsAboutToBeInserted, this, note("about to insert"));
        connect(model, &QAbstractItemModel::rowsInserted, this, note("inserted"));
    }

    QStringList entries;

private:
    QList<QPair<QString, PropertyItemModel *>> models;
};

} // namespace

class tst_PropertyItem : public QObject
{
    Q_OBJECT
private slots:
    void newItem();
    void setData_data();
    void setData();
    void setValueAnnounces();
    void insertClamps_data();
    void insertClamps();
    void removeOfNonChildDoesNothing();
    void subtreeFollowsItsModel();
    void moveAnnouncesRemovalBeforeInsertion_data();
    void moveAnnouncesRemovalBeforeInsertion();
    void moveKeepsOtherPersistentIndexes();
    void rowsAmongManySiblings_data();
    void rowsAmongManySiblings();
    void randomWalk_data();
    void randomWalk();
    void refusesCycles_data();
    void refusesCycles();
    void deletion();
    void derivedChildChanged();
    void revertResetsEveryItemInTreeOrder();
};

void tst_PropertyItem::newItem()
{
    const PropertyItem item;
    QCOMPARE(int(item.flags()), 0x23);
    QVERIFY(item.isEditable());
    QVERIFY(item.name().isEmpty());
    QVERIFY(!item.value().isValid());
    QCOMPARE(item.type(), 0);
    QVERIFY(!item.parent());
    QVERIFY(!item.model());
    QVERIFY(item.children().isEmpty());
    QVERIFY(!item.index().isValid());
    QVERIFY(!item.valueIndex().isValid());
    PropertyItem readOnly;
    readOnly.setEditable(false);
    QCOMPARE(readOnly.flags(), Qt::ItemIsSelectable | Qt::ItemIsEnabled);

    const PropertyItem named(QStringLiteral("Gain"), 3);
    QCOMPARE(named.name(), QStringLiteral("Gain"));
    QCOMPARE(named.value(), QVariant(3));
    QCOMPARE(named.data(Qt::EditRole), QVariant(3));
}

void tst_PropertyItem::setData_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("before"); // invalid: the role has no entry
    QTest::addColumn<QVariant>("after");
    QTest::addColumn<int>("changes");      // dataChanged signals
    QTest::addColumn<bool>("throughValue"); // went through setValue, parent told

    const QVariant none;
    QTest::newRow("edit role, equal") << int(Qt::EditRole) << QVariant(5) << QVariant(5) << 0 << false;
    QTest::newRow("edit role, new") << int(Qt::EditRole) << QVariant(5) << QVariant(7) << 1 << true;
    QTest::newRow("display role, new") << int(Qt::DisplayRole) << QVariant(5) << QVariant(QStringLiteral("x")) << 1 << true;
    QTest::newRow("display role, invalid stays") << int(Qt::DisplayRole) << none << none << 0 << false;
    QTest::newRow("display role, cleared") << int(Qt::DisplayRole) << QVariant(5) << none << 1 << true;
    QTest::newRow("tool tip, new") << int(Qt::ToolTipRole) << QVariant(QStringLiteral("a")) << QVariant(QStringLiteral("b")) << 1 << false;
    QTest::newRow("tool tip, equal") << int(Qt::ToolTipRole) << QVariant(QStringLiteral("a")) << QVariant(QStringLiteral("a")) << 0 << false;
    QTest::newRow("tool tip, removed") << int(Qt::ToolTipRole) << QVariant(QStringLiteral("a")) << none << 1 << false;
    QTest::newRow("tool tip, absent removed") << int(Qt::ToolTipRole) << none << none << 0 << false;
    QTest::newRow("user role, new") << int(Qt::UserRole + 4) << none << QVariant(1.5) << 1 << false;
    QTest::newRow("foreground, new") << int(Qt::ForegroundRole) << QVariant(QBrush(Qt::black))
                                     << QVariant(QBrush(Qt::red)) << 1 << false;
    QTest::newRow("font, removed") << int(Qt::FontRole) << QVariant(QFont(QStringLiteral("Sans")))
                                   << none << 1 << false;
}

void tst_PropertyItem::setData()
{
    QFETCH(int, role);
    QFETCH(QVariant, before);
    QFETCH(QVariant, after);
    QFETCH(int, changes);
    QFETCH(bool, throughValue);

    TestedModel tested;
    auto *parent = new RecordingItem(QStringLiteral("parent"), QVariant());
    auto *item = new RecordingItem(QStringLiteral("item"), QVariant());
    tested.model.append(parent);
    parent->append(item);
    if (before.isValid())
        item->setData(before, role);
    item->setValueCalls.clear();
    parent->changedChildren.clear();

    QSignalSpy spy(&tested.model, &QAbstractItemModel::dataChanged);
    item->setData(after, role);

    QCOMPARE(item->data(role), after);
    QCOMPARE(item->data(role).isValid(), after.isValid());
    QCOMPARE(spy.count(), changes);
    // The name cell shows every role but the display role: a view repaints
    // only the cells the signal covers.
    const bool valueOnly = role == Qt::DisplayRole || role == Qt::EditRole;
    for (const QList<QVariant> &signal : qAsConst(spy)) {
        QCOMPARE(signal.at(0).toModelIndex(), valueOnly ? item->valueIndex() : item->index());
        QCOMPARE(signal.at(1).toModelIndex(), item->valueIndex());
    }
    if (!valueOnly)
        QCOMPARE(tested.model.data(item->index(), role), after);
    if (throughValue) {
        QCOMPARE(item->setValueCalls.size(), 1);
        QCOMPARE(item->setValueCalls.first().first, after);
        QVERIFY(item->setValueCalls.first().second);
        QCOMPARE(parent->changedChildren, QStringList{QStringLiteral("item")});
    } else {
        QVERIFY(item->setValueCalls.isEmpty());
        QVERIFY(parent->changedChildren.isEmpty());
    }
    delete parent->children().value(0); // a shown child may be deleted directly
    QVERIFY(parent->children().isEmpty());
}

void tst_PropertyItem::setValueAnnounces()
{
    TestedModel tested;
    auto *top = new RecordingItem(QStringLiteral("top"), QVariant());
    auto *middle = new RecordingItem(QStringLiteral("middle"), QVariant());
    auto *leaf = new PropertyItem(QStringLiteral("leaf"), 1);
    tested.model.append(top);
    top->append(middle);
    middle->append(leaf);
    QSignalSpy spy(&tested.model, &QAbstractItemModel::dataChanged);

    leaf->setValue(1, false);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toModelIndex(), leaf->valueIndex());
    QVERIFY(middle->changedChildren.isEmpty());

    leaf->setValue(2, true);
    QCOMPARE(spy.count(), 2);
    QCOMPARE(leaf->value(), QVariant(2));
    QCOMPARE(middle->changedChildren, QStringList{QStringLiteral("leaf")});
    QCOMPARE(top->changedChildren, QStringList{QStringLiteral("middle")});

    // An invalid value is stored, not skipped.
    leaf->setValue(QVariant(), false);
    QVERIFY(!leaf->value().isValid());
    QCOMPARE(spy.count(), 3);

    // The root item has no cell to announce.
    tested.model.rootItem()->setValue(9, true);
    QCOMPARE(spy.count(), 3);

    // A detached item stores without announcing anywhere.
    PropertyItem detached;
    detached.setValue(4, true);
    QCOMPARE(detached.value(), QVariant(4));
    QCOMPARE(spy.count(), 3);
}

void tst_PropertyItem::insertClamps_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("row");
    QTest::newRow("negative") << -5 << 0;
    QTest::newRow("first") << 0 << 0;
    QTest::newRow("middle") << 2 << 2;
    QTest::newRow("end") << 3 << 3;
    QTest::newRow("past the end") << 100 << 3;
}

void tst_PropertyItem::insertClamps()
{
    QFETCH(int, position);
    QFETCH(int, row);

    TestedModel tested;
    for (const char *name : {"a", "b", "c"})
        addItem(tested.model.rootItem(), QLatin1String(name));
    QSignalSpy inserted(&tested.model, &QAbstractItemModel::rowsInserted);

    auto *item = new PropertyItem(QStringLiteral("new"), 0);
    tested.model.rootItem()->insert(position, item);

    QCOMPARE(tested.model.rootItem()->children().indexOf(item), row);
    QCOMPARE(tested.model.rootItem()->children().size(), 4);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted.at(0).at(1).toInt(), row);
    QCOMPARE(inserted.at(0).at(2).toInt(), row);
    QCOMPARE(item->index(), tested.model.index(row, 0));
}

void tst_PropertyItem::removeOfNonChildDoesNothing()
{
    TestedModel tested;
    PropertyItem *a = addItem(tested.model.rootItem(), QStringLiteral("a"));
    PropertyItem *a1 = addItem(a, QStringLiteral("a1"));
    PropertyItem stranger(QStringLiteral("stranger"), 0);
    const QString before = picture(tested.model);
    QSignalSpy removing(&tested.model, &QAbstractItemModel::rowsAboutToBeRemoved);

    tested.model.rootItem()->remove(&stranger);
    tested.model.rootItem()->remove(a1); // a grandchild, not a child
    tested.model.rootItem()->remove(nullptr);

    QCOMPARE(removing.count(), 0);
    QCOMPARE(picture(tested.model), before);
    QCOMPARE(a1->parent(), a);
    QCOMPARE(a1->model(), &tested.model);
}

void tst_PropertyItem::subtreeFollowsItsModel()
{
    TestedModel first;
    TestedModel second;
    PropertyItem *home = addItem(first.model.rootItem(), QStringLiteral("home"));
    PropertyItem *away = addItem(second.model.rootItem(), QStringLiteral("away"));

    // Built detached, the subtree is linked without a model.
    auto *branch = new PropertyItem(QStringLiteral("branch"), 1);
    PropertyItem *twig = addItem(branch, QStringLiteral("twig"), 2);
    PropertyItem *leaf = addItem(twig, QStringLiteral("leaf"), 3);
    const QList<PropertyItem *> subtree{branch, twig, leaf};
    for (const PropertyItem *item : subtree)
        QVERIFY(!item->model());
    QVERIFY(!leaf->index().isValid());

    home->append(branch);
    for (const PropertyItem *item : subtree)
        QCOMPARE(item->model(), &first.model);
    QCOMPARE(first.model.itemFromIndex(leaf->valueIndex()), leaf);
    QCOMPARE(picture(first.model), QStringLiteral("home=[branch=1[twig=2[leaf=3]]]"));

    home->remove(branch);
    QVERIFY(!branch->parent());
    for (const PropertyItem *item : subtree)
        QVERIFY(!item->model());
    QCOMPARE(twig->parent(), branch);
    QCOMPARE(picture(first.model), QStringLiteral("home="));

    away->append(branch);
    for (const PropertyItem *item : subtree)
        QCOMPARE(item->model(), &second.model);
    QCOMPARE(leaf->index(), second.model.index(0, 0, twig->index()));
    QCOMPARE(picture(second.model), QStringLiteral("away=[branch=1[twig=2[leaf=3]]]"));

    // Edits deep in the moved subtree reach the new model only.
    QSignalSpy firstChanges(&first.model, &QAbstractItemModel::dataChanged);
    QSignalSpy secondChanges(&second.model, &QAbstractItemModel::dataChanged);
    leaf->setValue(4, true);
    QCOMPARE(firstChanges.count(), 0);
    QCOMPARE(secondChanges.count(), 1);
}

void tst_PropertyItem::moveAnnouncesRemovalBeforeInsertion_data()
{
    QTest::addColumn<QString>("mover");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("position");
    QTest::addColumn<QStringList>("expected");

    // Two models: A holds "p=[c=[g=],d=],q=" and B holds "r=".
    const QString start = QStringLiteral("A:p=[c=[g=],d=],q= B:r=");
    QTest::newRow("to another parent")
            << "c" << "q" << 0
            << QStringList{
                   "A about to remove under 'p' 0-0 | " + start,
                   "A removed under 'p' 0-0 | A:p=[d=],q= B:r=",
                   "A about to insert under 'q' 0-0 | A:p=[d=],q= B:r=",
                   "A inserted under 'q' 0-0 | A:p=[d=],q=[c=[g=]] B:r=",
               };
    QTest::newRow("to another model")
            << "c" << "r" << 0
            << QStringList{
                   "A about to remove under 'p' 0-0 | " + start,
                   "A removed under 'p' 0-0 | A:p=[d=],q= B:r=",
                   "B about to insert under 'r' 0-0 | A:p=[d=],q= B:r=",
                   "B inserted under 'r' 0-0 | A:p=[d=],q= B:r=[c=[g=]]",
               };
    // The new parent's own row moves up when the top-level row leaves.
    QTest::newRow("new parent's row shifts")
            << "p" << "q" << 0
            << QStringList{
                   "A about to remove under '' 0-0 | " + start,
                   "A removed under '' 0-0 | A:q= B:r=",
                   "A about to insert under 'q' 0-0 | A:q= B:r=",
                   "A inserted under 'q' 0-0 | A:q=[p=[c=[g=],d=]] B:r=",
               };
    QTest::newRow("up to the top level")
            << "g" << "" << 1
            << QStringList{
                   "A about to remove under 'c' 0-0 | " + start,
                   "A removed under 'c' 0-0 | A:p=[c=,d=],q= B:r=",
                   "A about to insert under '' 1-1 | A:p=[c=,d=],q= B:r=",
                   "A inserted under '' 1-1 | A:p=[c=,d=],g=,q= B:r=",
               };
    // Adding an existing child again moves it instead of listing it twice.
    QTest::newRow("within its parent")
            << "c" << "p" << 5
            << QStringList{
                   "A about to remove under 'p' 0-0 | " + start,
                   "A removed under 'p' 0-0 | A:p=[d=],q= B:r=",
                   "A about to insert under 'p' 1-1 | A:p=[d=],q= B:r=",
                   "A inserted under 'p' 1-1 | A:p=[d=,c=[g=]],q= B:r=",
               };
}

void tst_PropertyItem::moveAnnouncesRemovalBeforeInsertion()
{
    QFETCH(QString, mover);
    QFETCH(QString, target);
    QFETCH(int, position);
    QFETCH(QStringList, expected);

    TestedModel a;
    TestedModel b;
    QHash<QString, PropertyItem *> items;
    items[QString()] = a.model.rootItem();
    items["p"] = addItem(a.model.rootItem(), "p");
    items["c"] = addItem(items["p"], "c");
    items["g"] = addItem(items["c"], "g");
    items["d"] = addItem(items["p"], "d");
    items["q"] = addItem(a.model.rootItem(), "q");
    items["r"] = addItem(b.model.rootItem(), "r");

    StructureLog log;
    log.watch("A", &a.model);
    log.watch("B", &b.model);
    // A view keeps persistent indexes and a layout of its own through the move.
    QTreeView view;
    view.setModel(&a.model);
    view.expandAll();

    items[target]->insert(position, items[mover]);

    QCOMPARE(log.entries, expected);
    PropertyItem *moved = items[mover];
    QCOMPARE(moved->parent(), items[target]);
    QCOMPARE(moved->model(), items[target]->model());
    QCOMPARE(moved->model()->itemFromIndex(moved->index()), moved);
    for (PropertyItem *item : items) {
        if (item == items[QString()])
            continue;
        QCOMPARE(item->parent()->children().count(item), 1);
        QCOMPARE(item->model(), item->parent()->model());
    }
}

void tst_PropertyItem::moveKeepsOtherPersistentIndexes()
{
    TestedModel tested;
    PropertyItem *p = addItem(tested.model.rootItem(), "p");
    PropertyItem *c = addItem(p, "c", 1);
    PropertyItem *d = addItem(p, "d", 2);
    PropertyItem *e = addItem(p, "e", 3);
    PropertyItem *q = addItem(tested.model.rootItem(), "q");
    const QPersistentModelIndex movedName(c->index());
    const QPersistentModelIndex siblingValue(e->valueIndex());
    const QPersistentModelIndex otherParent(q->index());

    q->append(c);

    // The moved row's old place is gone; the rows around it follow their items.
    QVERIFY(!movedName.isValid());
    QCOMPARE(QModelIndex(siblingValue), e->valueIndex());
    QCOMPARE(siblingValue.row(), 1);
    QCOMPARE(siblingValue.data(), QVariant(3));
    QCOMPARE(QModelIndex(otherParent), q->index());
    QCOMPARE(d->index().row(), 0);
    QCOMPARE(c->index(), tested.model.index(0, 0, q->index()));
}

namespace {

// Under the tester, and without: the tester reads every row after every
// change, which would freshen each item's remembered row and hide a stale one.
void watchedOrNot()
{
    QTest::addColumn<bool>("watched");
    QTest::newRow("under the tester") << true;
    QTest::newRow("unwatched") << false;
}

} // namespace

void tst_PropertyItem::rowsAmongManySiblings_data()
{
    watchedOrNot();
}

void tst_PropertyItem::rowsAmongManySiblings()
{
    // An item's row after a remove and a move in the middle of a long list
    // (rows remembered, not searched for): the announcements and the
    // indexes name the rows the items are at.
    QFETCH(bool, watched);
    PropertyItemModel model;
    std::unique_ptr<QAbstractItemModelTester> tester(watched ? new QAbstractItemModelTester(&model) : nullptr);
    // Filled before it is shown: the tester walks the whole model after
    // every change, which would make 10 000 insertions one by one quadratic.
    auto *big = new PropertyItem(QStringLiteral("big"), QVariant());
    QVector<PropertyItem *> items;
    for (int i = 0; i < 10000; ++i)
        items << addItem(big, QString::number(i), i);
    model.append(big);
    const QPersistentModelIndex last(items.last()->valueIndex());
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    big->remove(items.at(5000));
    delete items.takeAt(5000);
    QCOMPARE(last.row(), 9998);
    items.last()->setValue(-1, false);
    QCOMPARE(changed.takeFirst().at(0).toModelIndex().row(), 9998);

    // Re-inserting a child is a move: out of row 2500, into row 7500.
    PropertyItem *moved = items.takeAt(2500);
    big->insert(7500, moved);
    items.insert(7500, moved);
    moved->setValue(-2, false);
    QCOMPARE(changed.takeFirst().at(0).toModelIndex().row(), 7500);
    items.at(2500)->setValue(-3, false);
    QCOMPARE(changed.takeFirst().at(0).toModelIndex().row(), 2500);
    for (int i = 0; i < items.size(); ++i)
        QCOMPARE(items.at(i)->index().row(), i);
    QCOMPARE(QModelIndex(last), items.last()->valueIndex());
    QCOMPARE(model.rowCount(big->index()), 9999);
    QCOMPARE(model.itemFromIndex(model.index(7500, 0, big->index())), moved);
}

void tst_PropertyItem::randomWalk_data()
{
    watchedOrNot();
}

void tst_PropertyItem::randomWalk()
{
    // Inserts, removes, moves between parents and edits in a seeded random
    // order under the model tester, against a plain list of who is where:
    // every item's index names its row after each step.
    QFETCH(bool, watched);
    PropertyItemModel model;
    std::unique_ptr<QAbstractItemModelTester> tester(watched ? new QAbstractItemModelTester(&model) : nullptr);
    PropertyItem *root = model.rootItem();
    QVector<PropertyItem *> parents{root, addItem(root, "a"), addItem(root, "b")};
    // Every key is there from the start: a reference into the hash stays good.
    QHash<PropertyItem *, QList<PropertyItem *>> expected{
        {root, {parents.at(1), parents.at(2)}}, {parents.at(1), {}}, {parents.at(2), {}}};
    QList<PropertyItem *> loose;
    QRandomGenerator random(34);
    for (int step = 0; step < 2002; ++step) {
        PropertyItem *parent = parents.at(random.bounded(parents.size()));
        QList<PropertyItem *> &children = expected[parent];
        const int action = random.bounded(4);
        if (action == 0 || children.isEmpty()) {
            PropertyItem *child = !loose.isEmpty() && random.bounded(2) ? loose.takeLast()
                                                                        : new PropertyItem(QString::number(step), step);
            const int position = random.bounded(children.size() + 1);
            parent->insert(position, child);
            children.insert(position, child);
        } else if (action == 1 && children.size() > 2) {
            PropertyItem *child = children.at(random.bounded(children.size()));
            if (parents.contains(child))
                continue;
            parent->remove(child);
            children.removeOne(child);
            loose << child;
        } else if (action == 2) {
            // To the other end of the same list, or under another parent.
            PropertyItem *child = children.at(random.bounded(children.size()));
            PropertyItem *target = parents.at(random.bounded(parents.size()));
            if (parents.contains(child))
                continue;
            const int position = random.bounded(expected[target].size() + 1);
            target->insert(position, child);
            children.removeOne(child);
            expected[target].insert(qMin(position, expected[target].size()), child);
        } else {
            PropertyItem *child = children.at(random.bounded(children.size()));
            QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
            child->setData(step, Qt::EditRole);
            QCOMPARE(changed.count(), 1);
            QCOMPARE(changed.at(0).at(0).toModelIndex().row(), children.indexOf(child));
        }
        // Through the items' own rows only (the model's index() would
        // freshen them), and not after every step, so that rows go stale
        // over several changes before an edit or this check needs them.
        if (step % 7 != 6)
            continue;
        for (PropertyItem *p : qAsConst(parents)) {
            const QList<PropertyItem *> &list = expected[p];
            QCOMPARE(p->children(), list);
            for (int row = 0; row < list.size(); ++row)
                QCOMPARE(list.at(row)->valueIndex().row(), row);
        }
    }
    qDeleteAll(loose);
}

void tst_PropertyItem::refusesCycles_data()
{
    QTest::addColumn<QString>("child");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("message");
    QTest::newRow("itself") << "c" << "c" << "cannot add \"c\" to its own subtree";
    QTest::newRow("its parent") << "p" << "c" << "cannot add \"p\" to its own subtree";
    QTest::newRow("its grandparent") << "p" << "g" << "cannot add \"p\" to its own subtree";
    QTest::newRow("null") << "" << "c" << "cannot add a null child to \"c\"";
    QTest::newRow("a model's root") << "root" << "g" << "a model's root item cannot be added to \"g\"";
}

void tst_PropertyItem::refusesCycles()
{
    QFETCH(QString, child);
    QFETCH(QString, target);
    QFETCH(QString, message);

    TestedModel tested;
    TestedModel other;
    QHash<QString, PropertyItem *> items;
    items[QString()] = nullptr;
    items["root"] = other.model.rootItem();
    items["p"] = addItem(tested.model.rootItem(), "p");
    items["c"] = addItem(items["p"], "c");
    items["g"] = addItem(items["c"], "g");
    const QString before = picture(tested.model);
    QSignalSpy removing(&tested.model, &QAbstractItemModel::rowsAboutToBeRemoved);
    QSignalSpy inserting(&tested.model, &QAbstractItemModel::rowsAboutToBeInserted);

    QTest::ignoreMessage(QtWarningMsg, qPrintable("PropertyItem: " + message));
    items[target]->append(items[child]);

    QCOMPARE(picture(tested.model), before);
    QCOMPARE(removing.count() + inserting.count(), 0);
    QCOMPARE(items["c"]->parent(), items["p"]);
    QCOMPARE(items["g"]->parent(), items["c"]);
    QCOMPARE(other.model.rootItem()->model(), &other.model);
    QVERIFY(!other.model.rootItem()->parent());
}

void tst_PropertyItem::deletion()
{
    RecordingItem::alive = 0;
    {
        TestedModel tested;
        auto *kept = new RecordingItem("kept", 0);
        tested.model.append(kept);
        auto *branch = new RecordingItem("branch", 1);
        kept->append(branch);
        branch->append(new RecordingItem("twig", 2));
        branch->children().first()->append(new RecordingItem("leaf", 3));
        tested.model.append(new RecordingItem("last", 4));
        QCOMPARE(RecordingItem::alive, 5);

        // A removed item is the caller's; deleting it touches no model.
        kept->remove(branch);
        QSignalSpy removing(&tested.model, &QAbstractItemModel::rowsAboutToBeRemoved);
        QSignalSpy changes(&tested.model, &QAbstractItemModel::dataChanged);
        delete branch;
        QCOMPARE(RecordingItem::alive, 2);
        QCOMPARE(removing.count() + changes.count(), 0);

        // An item deleted while shown leaves its parent and the model's rows.
        kept->append(new RecordingItem("again", 5));
        kept->children().first()->append(new RecordingItem("below", 6));
        const QPersistentModelIndex last(tested.model.index(1, 1));
        QCOMPARE(RecordingItem::alive, 4);
        delete kept;
        QCOMPARE(RecordingItem::alive, 1);
        QCOMPARE(removing.count(), 1);
        QCOMPARE(picture(tested.model), QStringLiteral("last=4"));
        QCOMPARE(last.row(), 0);
        QCOMPARE(last.data(), QVariant(4));

        tested.model.append(new RecordingItem("more", 7));
        QCOMPARE(RecordingItem::alive, 2);
    }
    // The model takes its whole tree with it.
    QCOMPARE(RecordingItem::alive, 0);
}

void tst_PropertyItem::derivedChildChanged()
{
    TestedModel tested;
    auto *top = new RecordingItem("top", QVariant());
    auto *sum = new SumItem("sum", 0);
    tested.model.append(top);
    top->append(sum);
    PropertyItem *x = addItem(sum, "x", 1);
    addItem(sum, "y", 2);
    QSignalSpy changes(&tested.model, &QAbstractItemModel::dataChanged);

    QVERIFY(tested.model.setData(x->valueIndex(), 10, Qt::EditRole));

    QCOMPARE(sum->value(), QVariant(12));
    QCOMPARE(tested.model.index(0, 1, top->index()).data(), QVariant(12));
    QCOMPARE(changes.count(), 2);
    QCOMPARE(changes.at(0).at(0).toModelIndex(), x->valueIndex());
    QCOMPARE(changes.at(1).at(0).toModelIndex(), sum->valueIndex());
    // The sum told its own parent twice: through its setValue and its base.
    QCOMPARE(top->changedChildren, (QStringList{"sum", "sum"}));
    QCOMPARE(sum->changedChildren, QStringList{"x"});
}

void tst_PropertyItem::revertResetsEveryItemInTreeOrder()
{
    QStringList journal;
    TestedModel tested;
    auto make = [&journal](const QString &name, int value) {
        return new RecordingItem(name, value, &journal);
    };
    RecordingItem *a = make("a", 1);
    tested.model.append(a);
    a->append(make("a1", 2));
    a->children().at(0)->append(make("a1x", 3));
    // A plain item in the middle passes the reset on to its children.
    PropertyItem *plain = addItem(a, "plain", 4);
    plain->append(make("p1", 5));
    tested.model.append(make("b", 6));

    const QString pristine = picture(tested.model);
    QCOMPARE(pristine, QStringLiteral("a=1[a1=2[a1x=3],plain=4[p1=5]],b=6"));
    for (int row = 0; row < 2; ++row)
        tested.model.setData(tested.model.index(row, 1), 99);
    tested.model.setData(tested.model.index(0, 1, tested.model.index(0, 0)), 99);
    plain->children().at(0)->setValue(99, true);
    plain->setValue(98, true);
    QSignalSpy changes(&tested.model, &QAbstractItemModel::dataChanged);

    tested.model.revert();

    QCOMPARE(journal, (QStringList{"a", "a1", "a1x", "p1", "b"}));
    QCOMPARE(changes.count(), 5);
    QCOMPARE(picture(tested.model), QStringLiteral("a=1[a1=2[a1x=3],plain=98[p1=5]],b=6"));
}

QTEST_MAIN(tst_PropertyItem)
#include "tst_propertyitem.moc"
