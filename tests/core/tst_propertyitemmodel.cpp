#include "propertytreecheck.h"
#include "waituntil.h"

#include <QAbstractItemDelegate>
#include <QApplication>
#include <QLineEdit>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QTranslator>
#include <QTreeView>
#include <QtTest>

namespace {

// Stands in for a loaded translation file: answers the header texts only in
// the model's own context, so a wrong context or source text shows.
class HeaderTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char *, int) const override
    {
        if (qstrcmp(context, "PropertyItemModel") != 0)
            return QString();
        const QString source = QString::fromUtf8(sourceText);
        if (source == QStringLiteral("名称"))
            return QStringLiteral("Name");
        if (source == QStringLiteral("值"))
            return QStringLiteral("Value");
        return QString();
    }
    bool isEmpty() const override { return false; }
};

// "top=1[child=2,fixed=3],other=4"; fixed is not editable and has a tool tip.
struct Sample
{
    Sample()
    {
        top = addItem(tested.model.rootItem(), "top", 1);
        child = addItem(top, "child", 2);
        fixed = addItem(top, "fixed", 3);
        fixed->setEditable(false);
        fixed->setData(QStringLiteral("read only"), Qt::ToolTipRole);
        other = addItem(tested.model.rootItem(), "other", 4);
    }
    PropertyItemModel &model() { return tested.model; }
    PropertyItem *item(const QString &name) const
    {
        const QHash<QString, PropertyItem *> items{{"top", top}, {"child", child}, {"fixed", fixed}, {"other", other}};
        return items.value(name);
    }

    TestedModel tested;
    PropertyItem *top;
    PropertyItem *child;
    PropertyItem *fixed;
    PropertyItem *other;
};

QWidget *openEditor(const QTreeView &view)
{
    const QList<QWidget *> editors = view.viewport()->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget *editor : editors) {
        if (editor->isVisible())
            return editor;
    }
    return nullptr;
}

} // namespace

class tst_PropertyItemModel : public QObject
{
    Q_OBJECT
private slots:
    void emptyModel();
    void headerData_data();
    void headerData();
    void translatedHeader();
    void indexOutOfRange_data();
    void indexOutOfRange();
    void parentAndItemLookups();
    void childrenUnderNameColumnOnly();
    void data_data();
    void data();
    void setData_data();
    void setData();
    void flags_data();
    void flags();
    void buddy();
    void editThroughView_data();
    void editThroughView();
    void readOnlyValueOpensNoEditor();
};

void tst_PropertyItemModel::emptyModel()
{
    TestedModel tested;
    PropertyItemModel &model = tested.model;
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.columnCount(), 2);
    QVERIFY(model.rootItem());
    QCOMPARE(model.rootItem()->model(), &model);
    QVERIFY(!model.rootItem()->parent());
    QCOMPARE(model.itemFromIndex(QModelIndex()), model.rootItem());
    QVERIFY(!model.nameIndexFromItem(model.rootItem()).isValid());
    QVERIFY(!model.valueIndexFromItem(nullptr).isValid());
    QVERIFY(!model.data(QModelIndex()).isValid());
    QCOMPARE(model.flags(QModelIndex()), Qt::NoItemFlags);
    QVERIFY(!model.setData(QModelIndex(), 1));

    // A flat list under the direct tester: rows in, edited, out.
    auto *item = new PropertyItem("item", 1);
    model.append(item);
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.columnCount(model.index(0, 0)), 2);
    QCOMPARE(model.columnCount(model.index(0, 1)), 2);
    QVERIFY(model.setData(model.index(0, 1), 2));
    model.rootItem()->insert(0, new PropertyItem("first", 0));
    QCOMPARE(picture(model), QStringLiteral("first=0,item=2"));
    model.rootItem()->remove(item);
    delete item;
    QCOMPARE(picture(model), QStringLiteral("first=0"));
}

void tst_PropertyItemModel::headerData_data()
{
    QTest::addColumn<int>("section");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("expected");

    const QVariant none;
    QTest::newRow("name") << 0 << int(Qt::Horizontal) << int(Qt::DisplayRole) << QVariant(QStringLiteral("名称"));
    QTest::newRow("value") << 1 << int(Qt::Horizontal) << int(Qt::DisplayRole) << QVariant(QStringLiteral("值"));
    QTest::newRow("above the columns") << 7 << int(Qt::Horizontal) << int(Qt::DisplayRole) << QVariant(QStringLiteral("值"));
    QTest::newRow("horizontal tool tip") << 0 << int(Qt::Horizontal) << int(Qt::ToolTipRole) << none;
    // QAbstractItemModel numbers vertical sections from 1.
    QTest::newRow("vertical") << 0 << int(Qt::Vertical) << int(Qt::DisplayRole) << QVariant(1);
}

void tst_PropertyItemModel::headerData()
{
    QFETCH(int, section);
    QFETCH(int, orientation);
    QFETCH(int, role);
    QFETCH(QVariant, expected);

    TestedModel tested;
    QCOMPARE(tested.model.headerData(section, Qt::Orientation(orientation), role), expected);
}

void tst_PropertyItemModel::translatedHeader()
{
    HeaderTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    TestedModel tested;
    const QVariant name = tested.model.headerData(0, Qt::Horizontal);
    const QVariant value = tested.model.headerData(1, Qt::Horizontal);
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(name, QVariant(QStringLiteral("Name")));
    QCOMPARE(value, QVariant(QStringLiteral("Value")));
}

void tst_PropertyItemModel::indexOutOfRange_data()
{
    QTest::addColumn<QString>("parent");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::newRow("third column") << "" << 0 << 2;
    QTest::newRow("negative row") << "" << -1 << 0;
    QTest::newRow("negative column") << "" << 0 << -1;
    QTest::newRow("row past the end") << "" << 2 << 0;
    QTest::newRow("nested third column") << "top" << 1 << 2;
    QTest::newRow("nested row past the end") << "top" << 2 << 1;
    QTest::newRow("under a leaf") << "other" << 0 << 0;
}

void tst_PropertyItemModel::indexOutOfRange()
{
    QFETCH(QString, parent);
    QFETCH(int, row);
    QFETCH(int, column);

    Sample sample;
    const QModelIndex parentIndex = parent.isEmpty() ? QModelIndex() : sample.item(parent)->index();
    QVERIFY(!sample.model().index(row, column, parentIndex).isValid());
    QVERIFY(!sample.model().hasIndex(row, column, parentIndex));
}

void tst_PropertyItemModel::parentAndItemLookups()
{
    Sample sample;
    PropertyItemModel &model = sample.model();

    const QModelIndex top = model.index(0, 0);
    QCOMPARE(model.itemFromIndex(top), sample.top);
    QVERIFY(!model.parent(top).isValid());
    QVERIFY(!model.parent(model.index(1, 1)).isValid());

    const QModelIndex fixedValue = model.index(1, 1, top);
    QCOMPARE(model.itemFromIndex(fixedValue), sample.fixed);
    QCOMPARE(model.parent(fixedValue), top);
    QCOMPARE(fixedValue, model.valueIndexFromItem(sample.fixed));
    QCOMPARE(sample.fixed->valueIndex(), fixedValue);
    QCOMPARE(sample.fixed->index(), model.index(1, 0, top));
    QCOMPARE(sample.fixed->index().internalPointer(), static_cast<void *>(sample.fixed));

    // Items this model does not show have no index in it.
    PropertyItem detached("detached", 0);
    QVERIFY(!model.nameIndexFromItem(&detached).isValid());
    TestedModel elsewhere;
    PropertyItem *foreign = addItem(elsewhere.model.rootItem(), "foreign");
    QVERIFY(!model.nameIndexFromItem(foreign).isValid());
    QVERIFY(!model.itemFromIndex(foreign->index()));
    QVERIFY(!model.data(foreign->index()).isValid());
    QVERIFY(!model.setData(foreign->valueIndex(), 5));
    QCOMPARE(model.flags(foreign->valueIndex()), Qt::NoItemFlags);
}

void tst_PropertyItemModel::childrenUnderNameColumnOnly()
{
    // A row's children hang under its name cell; its value cell has none,
    // so views and proxies find each child under one parent only.
    Sample sample;
    PropertyItemModel &model = sample.model();
    const QModelIndex topValue = sample.top->valueIndex();
    QCOMPARE(model.rowCount(sample.top->index()), 2);
    QCOMPARE(model.rowCount(topValue), 0);
    QVERIFY(!model.hasChildren(topValue));
    QVERIFY(!model.index(0, 0, topValue).isValid());
    QVERIFY(!model.index(1, 1, topValue).isValid());
    QCOMPARE(model.index(1, 1, sample.top->index()), sample.fixed->valueIndex());
    QCOMPARE(model.parent(sample.fixed->valueIndex()), sample.top->index());

    // Behind a sorting proxy, as a search box over the settings tree puts it.
    QSortFilterProxyModel proxy;
    QAbstractItemModelTester proxyTester(&proxy);
    proxy.setSourceModel(&model);
    proxy.setRecursiveFilteringEnabled(true);
    proxy.setFilterFixedString(QStringLiteral("fixed"));
    QCOMPARE(picture(proxy), QStringLiteral("top=1[fixed=3]"));
    const QModelIndex top = proxy.index(0, 0);
    QCOMPARE(proxy.rowCount(top.siblingAtColumn(1)), 0);
}

void tst_PropertyItemModel::data_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("expected");

    const QVariant none;
    const QVariant tip(QStringLiteral("read only"));
    QTest::newRow("name") << 0 << int(Qt::DisplayRole) << QVariant(QStringLiteral("fixed"));
    QTest::newRow("name for editing") << 0 << int(Qt::EditRole) << QVariant(QStringLiteral("fixed"));
    QTest::newRow("value") << 1 << int(Qt::DisplayRole) << QVariant(3);
    QTest::newRow("value for editing") << 1 << int(Qt::EditRole) << QVariant(3);
    QTest::newRow("tool tip on the value") << 1 << int(Qt::ToolTipRole) << tip;
    QTest::newRow("tool tip on the name") << 0 << int(Qt::ToolTipRole) << tip;
    QTest::newRow("absent role") << 1 << int(Qt::DecorationRole) << none;
    QTest::newRow("absent role on the name") << 0 << int(Qt::ForegroundRole) << none;
}

void tst_PropertyItemModel::data()
{
    QFETCH(int, column);
    QFETCH(int, role);
    QFETCH(QVariant, expected);

    Sample sample;
    const QVariant actual = sample.model().data(sample.model().index(1, column, sample.top->index()), role);
    QCOMPARE(actual, expected);
    QCOMPARE(actual.isValid(), expected.isValid());
}

void tst_PropertyItemModel::setData_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("input");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("changes");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("name");

    QTest::newRow("name column") << 0 << int(Qt::EditRole) << QVariant(QStringLiteral("renamed")) << false << 0 << QVariant(2) << "child";
    QTest::newRow("new value") << 1 << int(Qt::EditRole) << QVariant(8) << true << 1 << QVariant(8) << "child";
    QTest::newRow("equal value") << 1 << int(Qt::EditRole) << QVariant(2) << true << 0 << QVariant(2) << "child";
    QTest::newRow("other role") << 1 << int(Qt::ToolTipRole) << QVariant(QStringLiteral("tip")) << true << 1 << QVariant(2) << "child";
}

void tst_PropertyItemModel::setData()
{
    QFETCH(int, column);
    QFETCH(int, role);
    QFETCH(QVariant, input);
    QFETCH(bool, accepted);
    QFETCH(int, changes);
    QFETCH(QVariant, value);
    QFETCH(QString, name);

    Sample sample;
    QSignalSpy spy(&sample.model(), &QAbstractItemModel::dataChanged);
    const QModelIndex target = sample.model().index(0, column, sample.top->index());

    QCOMPARE(sample.model().setData(target, input, role), accepted);

    QCOMPARE(spy.count(), changes);
    QCOMPARE(sample.child->value(), value);
    QCOMPARE(sample.child->name(), name);
    if (role != Qt::EditRole && role != Qt::DisplayRole)
        QCOMPARE(sample.child->data(role), accepted ? input : QVariant());
}

void tst_PropertyItemModel::flags_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("expected");

    const int selectableEnabled = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    QTest::newRow("editable name") << "child" << 0 << selectableEnabled;
    QTest::newRow("editable value") << "child" << 1 << 0x23;
    QTest::newRow("read-only name") << "fixed" << 0 << selectableEnabled;
    QTest::newRow("read-only value") << "fixed" << 1 << selectableEnabled;
    QTest::newRow("checkable value") << "other" << 1 << (0x23 | Qt::ItemIsUserCheckable);
    QTest::newRow("checkable name") << "other" << 0 << (selectableEnabled | Qt::ItemIsUserCheckable);
}

void tst_PropertyItemModel::flags()
{
    QFETCH(QString, item);
    QFETCH(int, column);
    QFETCH(int, expected);

    Sample sample;
    sample.other->changeFlags(Qt::ItemIsUserCheckable, true);
    PropertyItem *target = sample.item(item);
    const QModelIndex index = column == 0 ? target->index() : target->valueIndex();
    QCOMPARE(int(sample.model().flags(index)), expected);
}

void tst_PropertyItemModel::buddy()
{
    Sample sample;
    PropertyItemModel &model = sample.model();
    QCOMPARE(model.buddy(sample.other->index()), sample.other->valueIndex());
    QCOMPARE(model.buddy(sample.fixed->index()), sample.fixed->valueIndex());
    QCOMPARE(model.buddy(sample.fixed->index()).parent(), sample.top->index());
    QCOMPARE(model.buddy(sample.child->valueIndex()), sample.child->valueIndex());
    QVERIFY(!model.buddy(QModelIndex()).isValid());
}

void tst_PropertyItemModel::editThroughView_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<int>("column"); // where the edit starts
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("text value") << "text" << 1 << "citrate" << QVariant(QStringLiteral("citrate"));
    QTest::newRow("started on the name") << "text" << 0 << "heparin" << QVariant(QStringLiteral("heparin"));
    QTest::newRow("number in a spin box") << "count" << 1 << "42" << QVariant(42);
    QTest::newRow("nested number") << "nested" << 1 << "17" << QVariant(17);
}

void tst_PropertyItemModel::editThroughView()
{
    QFETCH(QString, item);
    QFETCH(int, column);
    QFETCH(QString, typed);
    QFETCH(QVariant, expected);

    TestedModel tested;
    QTreeView view;
    view.setModel(&tested.model);
    QHash<QString, PropertyItem *> items;
    items["text"] = addItem(tested.model.rootItem(), "reagent", QStringLiteral("saline"));
    items["count"] = addItem(tested.model.rootItem(), "repeats", 3);
    items["nested"] = addItem(items["count"], "inner", 5);
    view.expandAll();
    view.show();
    waitUntil([&] { return QTest::qWaitForWindowExposed(&view); });

    PropertyItem *target = items[item];
    const QString name = target->name();
    QSignalSpy changes(&tested.model, &QAbstractItemModel::dataChanged);
    view.edit(column == 0 ? target->index() : target->valueIndex());
    QWidget *editor = openEditor(view);
    QVERIFY(editor);
    // The editor sits on the value cell, whichever cell the edit began on.
    QVERIFY(view.visualRect(target->valueIndex()).contains(editor->geometry().center()));

    if (auto *spin = qobject_cast<QSpinBox *>(editor)) {
        QCOMPARE(spin->value(), target->value().toInt());
        spin->setValue(typed.toInt());
    } else {
        auto *line = qobject_cast<QLineEdit *>(editor);
        QVERIFY(line);
        QCOMPARE(line->text(), target->value().toString());
        line->setText(typed);
    }
    // Return in the editor: the delegate commits and closes it, queued.
    QTest::keyClick(editor, Qt::Key_Return);

    // The commit comes before the editor closes.
    waitUntil([&] { return !openEditor(view); });
    QCOMPARE(target->value(), expected);
    QCOMPARE(target->value().userType(), expected.userType());
    QCOMPARE(target->name(), name);
    QCOMPARE(changes.count(), 1);
    QCOMPARE(changes.at(0).at(0).toModelIndex(), target->valueIndex());
    QCOMPARE(view.model()->data(target->valueIndex()), expected);
}

void tst_PropertyItemModel::readOnlyValueOpensNoEditor()
{
    Sample sample;
    QTreeView view;
    view.setModel(&sample.model());
    view.expandAll();
    view.show();
    waitUntil([&] { return QTest::qWaitForWindowExposed(&view); });

    QTest::ignoreMessage(QtWarningMsg, "edit: editing failed");
    view.edit(sample.fixed->valueIndex());
    QTest::ignoreMessage(QtWarningMsg, "edit: editing failed");
    view.edit(sample.fixed->index());
    QVERIFY(!openEditor(view));
    QCOMPARE(sample.fixed->value(), QVariant(3));

    // The editable neighbour still opens, which shows the look-up works.
    view.edit(sample.child->index());
    QVERIFY(openEditor(view));
}

QTEST_MAIN(tst_PropertyItemModel)
#include "tst_propertyitemmodel.moc"
