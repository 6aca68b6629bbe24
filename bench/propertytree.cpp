// Cost of announcing value edits in a shown property tree. Each announcement
// finds the item's row by scanning its parent's children, so the cost per
// edit grows with the number of siblings; the floor is the same edits on a
// tree that no model shows.
#include "propertyitem.h"
#include "propertyitemmodel.h"

#include <QCoreApplication>
#include <QElapsedTimer>

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

void fill(PropertyItem *parent, int count)
{
    for (int i = 0; i < count; ++i)
        parent->append(new PropertyItem(QStringLiteral("p%1").arg(i), -1));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::printf("%8s %14s %14s %8s\n", "siblings", "floor ns/edit", "shown ns/edit", "ratio");
    for (const int count : {10, 100, 1000, 10000}) {
        const int rounds = qMax(1, 200000 / (count * 10));
        PropertyItem detached;
        fill(&detached, count);
        PropertyItemModel model;
        auto *shown = new PropertyItem(QStringLiteral("shown"), QVariant());
        model.append(shown);
        fill(shown, count);
        // Something listens, as a view would.
        qint64 announced = 0;
        QObject::connect(&model, &QAbstractItemModel::dataChanged, [&announced] { ++announced; });

        const double edits = double(count) * rounds;
        const double floor = editAll(&detached, rounds) / edits;
        const double cost = editAll(shown, rounds) / edits;
        if (announced != qint64(edits))
            std::fprintf(stderr, "expected %.0f announcements, got %lld\n", edits, announced);
        std::printf("%8d %14.1f %14.1f %8.1f\n", count, floor, cost, cost / floor);
    }
    return 0;
}
