// Cost of a settings lookup of a cached key, against its floor: the same hash
// lookup and variant copy under a read lock, with nothing of the store around
// it. Prints ns per lookup, single-threaded and with two threads at once.
#include "profile.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QReadWriteLock>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int lookups = 2000000;
constexpr int repeats = 7;

// The floor, kept out of line like Profile::value so both pay one call.
struct Floor {
    QHash<QString, QVariant> values;
    mutable QReadWriteLock lock;
};

Q_NEVER_INLINE QVariant floorValue(const Floor &floor, const QString &key, const QVariant &def)
{
    QReadLocker locker(&floor.lock);
    const auto it = floor.values.constFind(key);
    return it != floor.values.constEnd() && it->isValid() ? *it : def;
}

// Nanoseconds per lookup seen by each of `threads` threads running at once;
// the best of several runs, so a busy machine shows as little as possible.
template <typename Lookup>
double nsPerLookup(const Lookup &lookup, const QString &key, int threads)
{
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        std::atomic<int> ready(0);
        std::atomic<bool> go(false);
        std::vector<double> ns(threads);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                ++ready;
                while (!go.load())
                    std::this_thread::yield();
                QElapsedTimer timer;
                timer.start();
                int sink = 0;
                for (int i = 0; i < lookups; ++i)
                    sink += lookup(key);
                ns[t] = double(timer.nsecsElapsed()) / lookups;
                if (sink == -1)
                    std::puts("");
            });
        }
        while (ready.load() < threads)
            std::this_thread::yield();
        go = true;
        for (auto &thread : pool)
            thread.join();
        best = std::min(best, *std::max_element(ns.begin(), ns.end()));
    }
    return best;
}

bool makeFiles()
{
    for (const char *file : {"profile.db", "data.db", "qc.db", "syslog.db"}) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("setup"));
        db.setDatabaseName(QString::fromLatin1(file));
        if (!db.open())
            return false;
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("create table profile(name text unique, value)")))
            return false;
        // A settings table of realistic size: a few hundred rows.
        for (int i = 0; i < 300; ++i) {
            q.prepare(QStringLiteral("insert into profile values(?, ?)"));
            q.addBindValue(QStringLiteral("schedule/test/item%1").arg(i));
            q.addBindValue(i);
            if (!q.exec())
                return false;
        }
        q.exec(QStringLiteral("insert into profile values('statim_sample_prefix', 'S')"));
        q.exec(QStringLiteral("insert into profile values('max_qc_file', 31)"));
        q = QSqlQuery();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("setup"));
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()) || !makeFiles()) {
        std::fprintf(stderr, "cannot prepare the data directory\n");
        return 1;
    }
    Profile profile(QStringLiteral("profile.db"), nullptr);

    Floor floor;
    for (const QString &key : profile.keys())
        floor.values.insert(key, profile.value(key));

    const QVariant def;
    const auto viaProfile = [&](const QString &key) { return profile.value(key, def).userType(); };
    const auto viaFloor = [&](const QString &key) { return floorValue(floor, key, def).userType(); };

    std::printf("value() of a cached key, %d lookups per thread, best of %d runs\n", lookups, repeats);
    std::printf("%-34s %12s %12s %8s\n", "case", "floor ns", "Profile ns", "ratio");
    bool withinGoal = true;
    for (const char *key : {"statim_sample_prefix", "max_qc_file"}) {
        for (int threads : {1, 2}) {
            const QString k = QString::fromLatin1(key);
            const double f = nsPerLookup(viaFloor, k, threads);
            const double p = nsPerLookup(viaProfile, k, threads);
            const double ratio = p / f;
            withinGoal = withinGoal && ratio <= 1.5;
            std::printf("%-22s %d thread%s   %12.1f %12.1f %7.2fx\n", key, threads,
                        threads == 1 ? " " : "s", f, p, ratio);
        }
    }
    std::printf("goal (within 1.5x of the floor): %s\n", withinGoal ? "met" : "NOT met");
    QDir::setCurrent(QDir::rootPath());
    return 0;
}
