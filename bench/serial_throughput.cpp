// Bytes per second through a pseudo-terminal pair with, on the port side:
// the bare descriptor (the floor every device layer sits on), Serial, and
// pyserial doing the same exchange. The far end runs in this process: it
// drains what the port side writes, then sends as much back.

#include "serial.h"

#include "ptypair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <cstdio>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

const qint64 Volume = 8 * 1024 * 1024;
const int Chunk = 4096;
// Rounds by default; more (the first argument) steady the figures on a busy machine.
const int DefaultRounds = 5;

// The far end: take Volume bytes, then give Volume bytes.
void farEnd(int master)
{
    char buffer[Chunk];
    qint64 done = 0;
    while (done < Volume) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0) {
            done += n;
        } else {
            pollfd p = {master, POLLIN, 0};
            ::poll(&p, 1, 1000);
        }
    }
    for (int i = 0; i < Chunk; ++i)
        buffer[i] = char(i);
    done = 0;
    while (done < Volume) {
        const ssize_t n = ::write(master, buffer, size_t(qMin<qint64>(Chunk, Volume - done)));
        if (n > 0) {
            done += n;
        } else {
            pollfd p = {master, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        }
    }
}

// One exchange; portSide returns its own time in seconds, or < 0 on failure.
double once(const std::function<double(const PtyPair &)> &portSide)
{
    PtyPair pty;
    if (!pty.isValid())
        return -1;
    std::thread far(farEnd, pty.master());
    const double seconds = portSide(pty);
    far.join();
    return seconds;
}

double bareDescriptor(const PtyPair &pty)
{
    const int fd = ::open(pty.path().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    termios tio;
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    char buffer[Chunk];
    for (int i = 0; i < Chunk; ++i)
        buffer[i] = char(i);
    QElapsedTimer timer;
    timer.start();
    qint64 done = 0;
    while (done < Volume) {
        const ssize_t n = ::write(fd, buffer, size_t(qMin<qint64>(Chunk, Volume - done)));
        if (n <= 0)
            return -1;
        done += n;
    }
    done = 0;
    while (done < Volume) {
        const ssize_t n = ::read(fd, buffer, size_t(qMin<qint64>(Chunk, Volume - done)));
        if (n <= 0)
            return -1;
        done += n;
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    ::close(fd);
    return seconds;
}

double serialDevice(const PtyPair &pty)
{
    Serial serial;
    serial.setFileName(pty.name());
    if (!serial.open() || !serial.setSettings(115200, 8, Serial::NoParity, Serial::OneStop)
            || !serial.setTimeouts(100, 5000, 30000))
        return -1;
    char buffer[Chunk];
    for (int i = 0; i < Chunk; ++i)
        buffer[i] = char(i);
    QElapsedTimer timer;
    timer.start();
    qint64 done = 0;
    while (done < Volume) {
        const qint64 n = serial.write(buffer, qMin<qint64>(Chunk, Volume - done));
        if (n <= 0)
            return -1;
        done += n;
    }
    done = 0;
    while (done < Volume) {
        const qint64 n = serial.read(buffer, qMin<qint64>(Chunk, Volume - done));
        if (n <= 0)
            return -1;
        done += n;
    }
    return timer.nsecsElapsed() / 1e9;
}

double pyserial(const PtyPair &pty)
{
    QProcess python;
    python.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    python.start(QStringLiteral(SYSTEM_PYTHON), {QStringLiteral(SERIAL_BENCH_PY), pty.path(),
                                                 QString::number(Volume), QString::number(Chunk)});
    if (!python.waitForFinished(300000) || python.exitCode() != 0)
        return -1;
    bool ok = false;
    const double seconds = python.readAllStandardOutput().trimmed().toDouble(&ok);
    return ok ? seconds : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : DefaultRounds;
    // The contenders take turns, so a busy moment of the machine does not
    // fall on one of them only; each keeps its best round.
    const std::function<double(const PtyPair &)> contenders[] = {bareDescriptor, serialDevice, pyserial};
    double best[3] = {-1, -1, -1};
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < 3; ++i) {
            const double seconds = once(contenders[i]);
            if (seconds < 0) {
                std::fprintf(stderr, "serial throughput: contender %d failed\n", i);
                return 1;
            }
            if (best[i] < 0 || seconds < best[i])
                best[i] = seconds;
        }
    }
    const double floor = best[0];
    const double ours = best[1];
    const double theirs = best[2];
    const double bytes = 2.0 * Volume;
    std::printf("serial throughput, %lld bytes each way in %d-byte transfers, best of %d\n",
                static_cast<long long>(Volume), Chunk, rounds);
    std::printf("  bare descriptor (floor) %8.1f MB/s\n", bytes / floor / 1e6);
    std::printf("  Serial                  %8.1f MB/s  %.2f x floor\n", bytes / ours / 1e6, floor / ours);
    std::printf("  pyserial                %8.1f MB/s  %.2f x floor\n", bytes / theirs / 1e6, floor / theirs);
    std::printf("  Serial / pyserial       %8.2f\n", theirs / ours);
    return 0;
}
