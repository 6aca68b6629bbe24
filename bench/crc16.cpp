// Throughput of crc16 on 1 MiB against Python's binascii.crc_hqx (the same
// CRC, also one table step a byte, in C) on the same buffer. The two take
// turns over several rounds, so load on the machine hits both alike.
#include "tamglobal.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>

#include <cstdio>

namespace {

constexpr int Size = 1 << 20;
// Passes per turn. Each pass is timed alone and the fastest counts: on a
// shared machine the other passes only measure the neighbours.
constexpr int Passes = 40;

// Seconds of the fastest pass of our crc16.
double ours(const QByteArray &buffer, quint16 *crc)
{
    double best = 1e9;
    for (int pass = 0; pass < Passes; ++pass) {
        QElapsedTimer timer;
        timer.start();
        *crc = crc16(buffer.constData(), buffer.size());
        best = qMin(best, timer.nsecsElapsed() * 1e-9);
    }
    return best;
}

// Seconds of the fastest pass of binascii.crc_hqx and its result, or a
// negative time.
double python(const QByteArray &buffer, quint16 *crc)
{
    QProcess process;
    process.start(QStringLiteral("python3"), {QStringLiteral("-c"), QStringLiteral(
            "import binascii, sys, timeit\n"
            "data = sys.stdin.buffer.read()\n"
            "best = min(timeit.repeat(lambda: binascii.crc_hqx(data, 0xFFFF), number=1, repeat=%1))\n"
            "print(binascii.crc_hqx(data, 0xFFFF), best)\n").arg(Passes)});
    if (!process.waitForStarted())
        return -1;
    process.write(buffer);
    process.closeWriteChannel();
    if (!process.waitForFinished(120000) || process.exitCode() != 0)
        return -1;
    const QList<QByteArray> fields = process.readAllStandardOutput().trimmed().split(' ');
    if (fields.size() != 2)
        return -1;
    *crc = quint16(fields.at(0).toUInt());
    return fields.at(1).toDouble();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QByteArray buffer(Size, Qt::Uninitialized);
    QRandomGenerator random(20261208);
    for (char &byte : buffer)
        byte = char(random.bounded(256));

    double bestOurs = 1e9, bestPython = 1e9;
    quint16 crcOurs = 0, crcPython = 0;
    for (int round = 0; round < 10; ++round) {
        bestOurs = qMin(bestOurs, ours(buffer, &crcOurs));
        const double seconds = python(buffer, &crcPython);
        if (seconds < 0) {
            std::fprintf(stderr, "python3 with binascii is needed as the floor\n");
            return 1;
        }
        bestPython = qMin(bestPython, seconds);
    }
    if (crcOurs != crcPython) {
        std::fprintf(stderr, "results differ: %04x against %04x\n", crcOurs, crcPython);
        return 1;
    }
    const double mib = double(Size) / (1 << 20);
    std::printf("crc16 of 1 MiB (crc %04x)\n", crcOurs);
    std::printf("%-20s %10s %10s\n", "", "ms/pass", "MiB/s");
    std::printf("%-20s %10.3f %10.1f\n", "binascii.crc_hqx", bestPython * 1e3, mib / bestPython);
    std::printf("%-20s %10.3f %10.1f\n", "crc16", bestOurs * 1e3, mib / bestOurs);
    std::printf("speed ratio crc16 / binascii: %.2f\n", bestPython / bestOurs);
    return 0;
}
