// Cost of announcing value edits in a shown property tree, against two
// floors measured in the same run: the same edits on a tree that no model
// shows, and on a QStandardItemModel of the same shape (name and value
// columns under one shown parent row), the model a front end would
// otherwise pick. Every announcement needs the item's row; it must cost the
// same at 10 and at 10 000 siblings.
#include "propertyitem.h"
#include "propertyitemmodel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>
#include <QStandardItemModel>

#include <cstdio>

namespace {

qint64 editAll(PropertyItem *parent, int rounds)
{
    const QList<PropertyItem *> children = parent->children();
    QElapsedTimer timer;
    timer.start();
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < children.size(); ++i)
            children.at(i)->setData(round * children.size() + i, Qt::EditRole);
    }
    return timer.nsecsElapsed();
}

qint64 editAll(const QList<QStandardItem *> &values, int rounds)
{
    QElapsedTimer timer;
    timer.start();
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < values.size(); ++i)
            values.at(i)->setData(round * values.size() + i, Qt::EditRole);
    }
    return timer.nsecsElapsed();
}

void fill(PropertyItem *parent, int count)
{
    for (int i = 0; i < count; ++i)
        parent->append(new PropertyItem(QStringLiteral("p%1").arg(i), -1));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::printf("%8s %14s %14s %14s %8s %8s\n", "siblings", "floor ns/edit", "shown ns/edit",
                "QSIM ns/edit", "/floor", "/QSIM");
    double lastRatio = 0;
    for (const int count : {10, 100, 1000, 10000}) {
        const int rounds = qMax(1, 200000 / (count * 10));
        PropertyItem detached;
        fill(&detached, count);
        PropertyItemModel model;
        auto *shown = new PropertyItem(QStringLiteral("shown"), QVariant());
        model.append(shown);
        fill(shown, count);

        QStandardItemModel standard;
        standard.setColumnCount(2);
        auto *standardParent = new QStandardItem(QStringLiteral("shown"));
        standard.appendRow({standardParent, new QStandardItem()});
        QList<QStandardItem *> standardValues;
        for (int i = 0; i < count; ++i) {
            auto *value = new QStandardItem();
            value->setData(-1, Qt::EditRole);
            standardParent->appendRow({new QStandardItem(QStringLiteral("p%1").arg(i)), value});
            standardValues << value;
        }

        // Something listens, as a view would.
        qint64 announced = 0;
        QObject::connect(&model, &QAbstractItemModel::dataChanged, [&announced] { ++announced; });
        qint64 standardAnnounced = 0;
        QObject::connect(&standard, &QAbstractItemModel::dataChanged, [&standardAnnounced] { ++standardAnnounced; });

        const double edits = double(count) * rounds;
        const double floor = editAll(&detached, rounds) / edits;
        const double cost = editAll(shown, rounds) / edits;
        const double standardCost = editAll(standardValues, rounds) / edits;
        if (announced != qint64(edits) || standardAnnounced != qint64(edits))
            std::fprintf(stderr, "expected %.0f announcements, got %lld and %lld\n", edits, announced,
                         standardAnnounced);
        lastRatio = cost / standardCost;
        std::printf("%8d %14.1f %14.1f %14.1f %8.2f %8.2f\n", count, floor, cost, standardCost, cost / floor,
                    lastRatio);
    }
    std::printf("ratio to QStandardItemModel at 10000 siblings: %.2f  (goal: within 1.5)\n", lastRatio);
    return 0;
}
