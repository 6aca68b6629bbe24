#include "serial.h"

#include "ptypair.h"

#include <QtTest>

#include <atomic>
#include <climits>
#include <thread>
#include <vector>

// Clients that share a port lock the device itself around an exchange.
class tst_SerialConcurrency : public QObject
{
    Q_OBJECT

private slots:
    void lockIsRecursiveAndExclusive();
    void lockedExchangesDoNotInterleave();
};

void tst_SerialConcurrency::lockIsRecursiveAndExclusive()
{
    Serial serial;
    serial.lock();
    QVERIFY(serial.tryLock()); // the holder may lock again
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = serial.tryLock(); }).join();
    QVERIFY(!otherGotIt);

    serial.unlock();
    std::thread([&] { otherGotIt = serial.tryLock(); }).join();
    QVERIFY(!otherGotIt); // still held once

    serial.unlock();
    std::thread([&] {
        otherGotIt = serial.tryLock();
        if (otherGotIt)
            serial.unlock();
    }).join();
    QVERIFY(otherGotIt);
}

void tst_SerialConcurrency::lockedExchangesDoNotInterleave()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    Serial serial;
    serial.setFileName(pty.name());
    QVERIFY(serial.open());
    QVERIFY(serial.setSettings(115200, 8, Serial::NoParity, Serial::OneStop));
    // Totals as good as none (24 days): a loaded machine may keep the far
    // end's reader away for long while the writers wait for room.
    QVERIFY(serial.setTimeouts(100, INT_MAX, INT_MAX));

    // Each message goes out in several writes; the lock keeps them together.
    const int threads = 4;
    const int messages = 50;
    const int messageSize = 4 * 8; // four pieces "<t><m:3><piece><pad:3>"
    std::atomic<int> failures{0};
    QByteArray received;
    std::thread reader([&] { received = pty.readMaster(threads * messages * messageSize); });
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            for (int m = 0; m < messages; ++m) {
                QMutexLocker locker(&serial);
                for (int piece = 0; piece < 4; ++piece) {
                    const QByteArray chunk = QByteArray::number(t) + QByteArray::number(m).rightJustified(3, '0')
                            + QByteArray::number(piece) + "...";
                    if (serial.write(chunk) != chunk.size())
                        ++failures;
                    std::this_thread::yield();
                }
            }
        });
    }
    for (std::thread &writer : writers)
        writer.join();
    reader.join();
    QCOMPARE(failures.load(), 0);
    QCOMPARE(received.size(), threads * messages * messageSize);

    // Each message's four pieces lie together, in order.
    QVector<int> next(threads, 0);
    for (int at = 0; at < received.size(); at += messageSize) {
        const int t = received.at(at) - '0';
        QVERIFY(t >= 0 && t < threads);
        for (int piece = 0; piece < 4; ++piece) {
            const QByteArray chunk = received.mid(at + piece * 8, 8);
            const QByteArray expected = QByteArray::number(t) + QByteArray::number(next[t]).rightJustified(3, '0')
                    + QByteArray::number(piece) + "...";
            QCOMPARE(chunk, expected);
        }
        ++next[t];
    }
    QCOMPARE(next, QVector<int>(threads, messages));
}

QTEST_GUILESS_MAIN(tst_SerialConcurrency)
#include "tst_serial_concurrency.moc"
