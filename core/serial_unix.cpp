// The port through the terminal interface: a descriptor opened non-blocking,
// termios for the line, poll for the driver-style time-outs.

#include "serial_p.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// strerror_r comes in two flavours; each overload takes one of them.
[[maybe_unused]] const char *errorText(int result, const char *buffer)
{
    return result == 0 ? buffer : "Unknown error";
}

[[maybe_unused]] const char *errorText(const char *result, const char *)
{
    return result;
}

struct Speed
{
    int baudRate;
    speed_t code;
};

const Speed speeds[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200},
    {300, B300}, {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400},
    {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

#ifdef CMSPAR
const tcflag_t StickParity = CMSPAR;
#else
const tcflag_t StickParity = 0;
#endif

struct ParityBits
{
    Serial::Parity parity;
    tcflag_t bits;
};

// Mark and space parity need the stick-parity bit; without it they are refused.
const ParityBits parities[] = {
    {Serial::NoParity, 0},
    {Serial::OddParity, PARENB | PARODD},
    {Serial::EvenParity, PARENB},
    {Serial::MarkParity, StickParity ? PARENB | StickParity | PARODD : 0},
    {Serial::SpaceParity, StickParity ? PARENB | StickParity : 0},
};

// Output flow control on the clear-to-send and data-set-ready lines. Where
// the system has only one bit for both directions of hardware handshake,
// switching it off is the only way to stop output waiting for CTS.
#ifdef CCTS_OFLOW
const tcflag_t OutputHardwareFlow = CCTS_OFLOW;
#else
const tcflag_t OutputHardwareFlow = CRTSCTS;
#endif
#ifdef CDSR_OFLOW
const tcflag_t OutputDsrFlow = CDSR_OFLOW;
#else
const tcflag_t OutputDsrFlow = 0;
#endif

// Milliseconds left, or -1 for no limit, in poll's terms.
int remainingMs(const QDeadlineTimer &deadline)
{
    if (deadline.isForever())
        return -1;
    return int(qMin<qint64>(deadline.remainingTime(), INT_MAX));
}

} // namespace

QString SerialPrivate::devicePath(const QString &name)
{
    return name.startsWith(QLatin1Char('/')) ? name : QLatin1String("/dev/") + name;
}

QStringList SerialPrivate::systemPorts()
{
    return serialPortsUnder(QStringLiteral("/sys/class/tty"));
}

QStringList serialPortsUnder(const QString &ttyClassDir)
{
    QStringList ports;
    const QDir dir(ttyClassDir);
    const QStringList entries = dir.entryList(QDir::Dirs | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString &name : entries) {
        const QString entry = dir.filePath(name);
        // Virtual consoles and pseudo-terminals have no device behind them.
        if (!QFileInfo::exists(entry + QLatin1String("/device")))
            continue;
        // The legacy ports the kernel always registers report UART type 0
        // (unknown) when no chip answers at their address.
        QFile type(entry + QLatin1String("/type"));
        if (type.open(QIODevice::ReadOnly) && type.readAll().trimmed() == "0")
            continue;
        ports.append(name);
    }
    return ports;
}

QString SerialPrivate::systemErrorText(int systemError)
{
    char buffer[256] = {};
    return QString::fromLocal8Bit(errorText(strerror_r(systemError, buffer, sizeof buffer), buffer));
}

bool SerialPrivate::openPort(const QString &path, QIODevice::OpenMode mode)
{
    int flags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    switch (mode & QIODevice::ReadWrite) {
    case QIODevice::ReadWrite:
        flags |= O_RDWR;
        break;
    case QIODevice::ReadOnly:
        flags |= O_RDONLY;
        break;
    case QIODevice::WriteOnly:
        flags |= O_WRONLY;
        break;
    default:
        setError(EINVAL);
        return false;
    }

    const QByteArray nativePath = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(nativePath.constData(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        setError(errno);
        return false;
    }

    // Exclusive use: the terminal's exclusive mode turns away every later
    // open except by root; the lock turns away every other Serial, root or
    // not, and reads as "busy" like the terminal's refusal.
    if (::flock(fd, LOCK_EX | LOCK_NB) < 0 || ::ioctl(fd, TIOCEXCL) < 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        setError(error);
        return false;
    }

    handle = fd;
    timeouts = Timeouts();
    return true;
}

void SerialPrivate::closePort()
{
    const int fd = int(handle);
    // A pseudo-terminal outlives its descriptors while the other side is
    // open, and so would its exclusive mode.
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    handle = -1;
}

bool SerialPrivate::applySettings(int baudRate, int dataBits, Serial::Parity parity, Serial::StopBits stopBits)
{
    const int fd = int(handle);
    termios tio;
    std::memset(&tio, 0, sizeof tio);
    if (::tcgetattr(fd, &tio) < 0) {
        setError(errno);
        return false;
    }

    const Speed *speed = std::find_if(std::begin(speeds), std::end(speeds),
                                      [baudRate](const Speed &s) { return s.baudRate == baudRate; });
    const ParityBits *parityBits = std::find_if(std::begin(parities), std::end(parities),
                                                [parity](const ParityBits &p) { return p.parity == parity; });
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    const bool sizeOk = dataBits >= 5 && dataBits <= 8;
    // Two stop-bit times with five data bits is how the UART makes one and a
    // half; two stop bits with five data bits it cannot make at all.
    const bool stopOk = stopBits == Serial::OneStop
            || (stopBits == Serial::OneAndHalfStop && dataBits == 5)
            || (stopBits == Serial::TwoStop && dataBits != 5);
    if (speed == std::end(speeds) || parityBits == std::end(parities)
            || (parity != Serial::NoParity && parityBits->bits == 0) || !sizeOk || !stopOk) {
        setError(EINVAL);
        return false;
    }

    ::cfsetispeed(&tio, speed->code);
    ::cfsetospeed(&tio, speed->code);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | StickParity | CSTOPB | OutputHardwareFlow | OutputDsrFlow);
    tio.c_cflag |= sizes[dataBits - 5] | parityBits->bits | CREAD;
    if (stopBits != Serial::OneStop)
        tio.c_cflag |= CSTOPB;

    // Binary: bytes pass unchanged, nothing is echoed, no character is a
    // signal or an editing key. IXON is XON/XOFF control of our output;
    // IXOFF (of our input), parity checking and the modem-control bits
    // (CLOCAL, HUPCL) stay as they were.
    tio.c_iflag &= ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
#ifdef IUCLC
    tio.c_iflag &= ~IUCLC;
#endif
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    // Reads never wait inside the driver; the time-outs are kept with poll.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    if (::tcsetattr(fd, TCSANOW, &tio) < 0) {
        setError(errno);
        return false;
    }
    return true;
}

bool SerialPrivate::applyTimeouts(const Timeouts &newTimeouts)
{
    // The time-outs belong to the open port, as they do in the driver.
    if (::fcntl(int(handle), F_GETFD) < 0) {
        setError(errno);
        return false;
    }
    timeouts = newTimeouts;
    return true;
}

void SerialPrivate::flushInput()
{
    if (::tcflush(int(handle), TCIFLUSH) < 0)
        setError(errno);
}

qint64 SerialPrivate::readPort(char *data, qint64 maxSize)
{
    const int fd = int(handle);
    const qint64 want = qBound<qint64>(0, maxSize, INT_MAX);
    const Timeouts &t = timeouts;

    // With no totals the read waits for the whole request; an interval of -1
    // (all bits set) is as good as none.
    QDeadlineTimer total(QDeadlineTimer::Forever);
    if (t.readTotalMultiplier != 0 || t.readTotalConstant != 0)
        total.setRemainingTime(qint64(t.readTotalMultiplier) * want + qint64(t.readTotalConstant));
    const bool useInterval = t.readInterval != 0;

    qint64 got = 0;
    QElapsedTimer sinceLastByte;
    for (;;) {
        const ssize_t n = ::read(fd, data + got, size_t(want - got));
        if (n > 0) {
            got += n;
            if (got == want)
                return got;
            sinceLastByte.start();
            continue;
        }
        if (n == 0) // hung up: nothing more will come
            return got;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            setError(errno);
            return got;
        }
        if (want == 0)
            return got;

        int wait = remainingMs(total);
        if (useInterval && got > 0) {
            const qint64 left = qMax<qint64>(0, qint64(t.readInterval) - sinceLastByte.elapsed());
            wait = wait < 0 ? int(qMin<qint64>(left, INT_MAX)) : int(qMin<qint64>(left, wait));
        }
        if (wait == 0)
            return got;

        pollfd p = {fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno != EINTR) {
            setError(errno);
            return got;
        }
        if (ready > 0 && !(p.revents & POLLIN) && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            setError(p.revents & POLLNVAL ? EBADF : EIO);
            return got;
        }
    }
}

qint64 SerialPrivate::writePort(const char *data, qint64 size)
{
    const int fd = int(handle);
    const qint64 want = qBound<qint64>(0, size, INT_MAX);
    QDeadlineTimer total(QDeadlineTimer::Forever);
    if (timeouts.writeTotalMultiplier != 0 || timeouts.writeTotalConstant != 0)
        total.setRemainingTime(qint64(timeouts.writeTotalMultiplier) * want + qint64(timeouts.writeTotalConstant));

    qint64 written = 0;
    for (;;) {
        const ssize_t n = ::write(fd, data + written, size_t(want - written));
        if (n > 0) {
            written += n;
            if (written == want)
                return written;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            setError(errno);
            return written;
        }
        if (want == 0)
            return 0;

        const int wait = remainingMs(total);
        if (wait == 0)
            return written;
        pollfd p = {fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno != EINTR) {
            setError(errno);
            return written;
        }
        if (ready > 0 && !(p.revents & POLLOUT) && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            setError(p.revents & POLLNVAL ? EBADF : EIO);
            return written;
        }
    }
}

qint64 SerialPrivate::queueSize() const
{
    int queued = 0;
    if (::ioctl(int(handle), FIONREAD, &queued) < 0)
        return 0;
    return queued;
}
