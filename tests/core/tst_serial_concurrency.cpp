#include "serial.h"

#include "ptypair.h"

#include <QtTest>

#include <atomic>
#include <climits>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

// Clients that share a port lock the device itself around an exchange.
class tst_SerialConcurrency : public QObject
{
    Q_OBJECT

private slots:
    void lockIsRecursiveAndExclusive();
    void lockedExchangesDoNotInterleave();
    void closeStopsCallInFlight_data();
    void closeStopsCallInFlight();
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

void tst_SerialConcurrency::closeStopsCallInFlight_data()
{
    QTest::addColumn<bool>("writing");
    QTest::addColumn<bool>("timeouts");
    QTest::newRow("read, no time-outs") << false << false;
    QTest::newRow("read, time-outs") << false << true;
    QTest::newRow("write waiting for room, no time-outs") << true << false;
    QTest::newRow("write waiting for room, time-outs") << true << true;
}

void tst_SerialConcurrency::closeStopsCallInFlight()
{
    // A worker blocked on the port; another thread closes it, as a GUI stops
    // a stuck reader. The call ends with nothing and NotOpenError; the old
    // descriptor number, taken over by a pipe at once, sees no byte of it;
    // and the port opens again at once. A call that never ends is a hang.
    QFETCH(bool, writing);
    QFETCH(bool, timeouts);
    PtyPair pty;
    QVERIFY(pty.isValid());
    Serial serial;
    serial.setFileName(pty.name());
    QVERIFY(serial.open());
    QVERIFY(serial.setSettings(115200, 8, Serial::NoParity, Serial::OneStop));
    if (timeouts)
        QVERIFY(serial.setTimeouts(0, 600000, 600000));
    if (writing) {
        // Fill the line towards the far end, which never reads.
        ::fcntl(pty.slave(), F_SETFL, ::fcntl(pty.slave(), F_GETFL) | O_NONBLOCK);
        const QByteArray block(1024, 'x');
        for (int round = 0; round < 20; ++round) {
            while (::write(pty.slave(), block.constData(), size_t(block.size())) > 0) {
            }
            QThread::msleep(20);
        }
    }

    const QByteArray payload(64, 'p');
    std::atomic<qint64> result{-2};
    std::thread worker([&] {
        char buffer[64];
        result = writing ? serial.write(payload) : serial.read(buffer, sizeof buffer);
    });
    // Most likely blocked by now; a close that comes first tests the same.
    QThread::msleep(100);
    const int old = int(reinterpret_cast<qintptr>(serial.handle()));
    serial.close();

    int decoy[2];
    QCOMPARE(::pipe(decoy), 0);
    const int taken = writing ? decoy[1] : decoy[0];
    QCOMPARE(::dup2(taken, old), old);
    if (!writing)
        QCOMPARE(::write(decoy[1], "decoy", 5), ssize_t(5));
    worker.join();
    QCOMPARE(result.load(), qint64(0));
    QCOMPARE(serial.error(), Serial::NotOpenError);

    // Nothing went through the old number: the decoy bytes wait unread, and
    // no byte of the write reached the pipe.
    ::fcntl(decoy[0], F_SETFL, O_NONBLOCK);
    char seen[128];
    const ssize_t inPipe = ::read(decoy[0], seen, sizeof seen);
    QCOMPARE(inPipe, writing ? ssize_t(-1) : ssize_t(5));
    ::close(old);
    ::close(decoy[0]);
    ::close(decoy[1]);

    Serial next;
    next.setFileName(pty.name());
    QVERIFY2(next.open(), qPrintable(next.errorString()));
    next.close();
    QVERIFY(serial.open());
}

QTEST_GUILESS_MAIN(tst_SerialConcurrency)
#include "tst_serial_concurrency.moc"
