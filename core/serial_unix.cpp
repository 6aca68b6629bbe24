// The port through the terminal interface: a descriptor opened non-blocking,
// termios for the line, poll for the driver-style time-outs, and the lock file
// in /var/lock that other serial programs look for.

#include "serial_p.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

// A binary line: no line editing, echo, signal keys or character translation
// either way, and XON/XOFF bytes pass as data. Reads wait for one byte at
// least (the time-outs are kept with poll), so a read gives 0 bytes only on a
// line that has hung up. Speed, character size, parity, stop bits, hardware
// flow control and XON/XOFF control of our input (IXOFF) stay.
void makeBinary(tcflag_t &iflag, tcflag_t &oflag, tcflag_t &cflag, tcflag_t &lflag, cc_t *cc)
{
    iflag &= ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
#ifdef IUCLC
    iflag &= ~IUCLC;
#endif
    oflag &= ~OPOST;
    lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    cflag |= CREAD;
    cc[VMIN] = 1;
    cc[VTIME] = 0;
}

// For termios and the kernel's termios2 alike.
template <typename Tio>
void makeBinary(Tio &tio)
{
    makeBinary(tio.c_iflag, tio.c_oflag, tio.c_cflag, tio.c_lflag, tio.c_cc);
}

// The line settings of setSettings, rate aside. Output flow control goes off;
// parity checking (INPCK) and the modem-control bits (CLOCAL, HUPCL) stay.
template <typename Tio>
void setLine(Tio &tio, int dataBits, tcflag_t parityBits, Serial::StopBits stopBits)
{
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    makeBinary(tio);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | StickParity | CSTOPB | OutputHardwareFlow | OutputDsrFlow);
    tio.c_cflag |= sizes[dataBits - 5] | parityBits;
    if (stopBits != Serial::OneStop)
        tio.c_cflag |= CSTOPB;
}

// The conventional place and name: /var/lock/LCK..ttyUSB0; a port below
// /dev/ is named by its path there, slashes turned into underscores
// (LCK..pts_3), as other serial stacks do.
const char LockDirectory[] = "/var/lock";

QByteArray lockFilePath(const QByteArray &devicePath)
{
    QByteArray name = devicePath.startsWith("/dev/") ? devicePath.mid(5) : devicePath.mid(1);
    name.replace('/', '_');
    return QByteArray(LockDirectory) + "/LCK.." + name;
}

// The process a lock file names: the number it starts with, as the
// programs that write them read it back (fscanf's "%d"): ten columns in the
// classic format, left-aligned by some, followed by a program and user name,
// a CR LF or Qt's further lines. -1 when there is no file; 0 when it cannot
// be read or names no process: someone holds the port, and nobody can tell
// it is stale.
pid_t lockOwner(const QByteArray &path)
{
    // Non-blocking: a FIFO in its place must not hang the open.
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? -1 : 0;
    char text[64] = {};
    ssize_t n;
    do {
        n = ::read(fd, text, sizeof text - 1);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0)
        return 0;
    char *end = nullptr;
    errno = 0;
    const long pid = std::strtol(text, &end, 10);
    return end != text && errno == 0 && pid > 0 && pid <= INT_MAX ? pid_t(pid) : 0;
}

bool processAlive(pid_t pid)
{
    // A lock with this process's number is left from an earlier process:
    // every port this one holds is behind its own flock as well.
    if (pid <= 0 || pid == ::getpid())
        return false;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// Removes a lock file whose process is gone, unless a live holder keeps a
// flock on it (Qt's lock files, ours). Returns 0 or the reason it stays.
int removeStaleLock(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return errno == ENOENT ? 0 : errno;
    int error = 0;
    struct stat held;
    struct stat named;
    if (::flock(fd, LOCK_EX | LOCK_NB) < 0)
        error = EBUSY;
    else if (::fstat(fd, &held) == 0 && ::stat(path.constData(), &named) == 0
             && held.st_ino == named.st_ino && held.st_dev == named.st_dev && ::unlink(path.constData()) < 0)
        error = errno;
    ::close(fd);
    return error == ENOENT ? 0 : error;
}

// Whether the line has hung up (carrier lost, device gone, far end closed).
bool hungUp(int fd)
{
    pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

void warnNoLockFiles(int error)
{
    static QBasicAtomicInt warned = Q_BASIC_ATOMIC_INITIALIZER(0);
    if (warned.testAndSetRelaxed(0, 1))
        qWarning("Serial::open: cannot write lock files in %s (%s); ports are opened without them",
                 LockDirectory, SerialPrivate::systemErrorText(error).toLocal8Bit().constData());
}

void warnStaleLock(const QByteArray &path, int error)
{
    qWarning("Serial::open: cannot remove the stale lock file %s (%s); the port is opened without one",
             path.constData(), SerialPrivate::systemErrorText(error).toLocal8Bit().constData());
}

// The first setting the driver did not take as asked (it writes back what it
// really set), or -1.
template <typename Tio>
int refusedSetting(const Tio &asked, const Tio &now)
{
    const tcflag_t parityBits = (asked.c_cflag & PARENB) ? PARENB | PARODD | StickParity : PARENB;
    const tcflag_t changed = asked.c_cflag ^ now.c_cflag;
    if (changed & CSIZE)
        return SerialPrivate::SizeSetting;
    if (changed & parityBits)
        return SerialPrivate::ParitySetting;
    if (changed & CSTOPB)
        return SerialPrivate::StopSetting;
    if (changed & (OutputHardwareFlow | OutputDsrFlow))
        return SerialPrivate::FlowSetting;
    return -1;
}

// Ends a wait on the port early when close() comes: a byte in the wake-up
// pipe. Returns poll's result; wake is set when close() came.
int pollPort(int fd, short events, int wakeFd, int timeout, short &revents, bool &wake)
{
    pollfd p[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    const int ready = ::poll(p, wakeFd >= 0 ? 2 : 1, timeout);
    revents = p[0].revents;
    wake = wakeFd >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR));
    return ready;
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

Serial::SerialError SerialPrivate::errorCode(int systemError, bool opening)
{
    switch (systemError) {
    case 0:
        return Serial::NoError;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return opening ? Serial::DeviceNotFoundError : Serial::ResourceError;
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
        return Serial::PermissionError;
    case EBADF:
        return Serial::NotOpenError;
    case EIO:
    case EPIPE:
        return Serial::ResourceError;
    case EINVAL:
    case EOPNOTSUPP:
    case ENOSYS:
        return Serial::UnsupportedOperationError;
    case ETIMEDOUT:
        return Serial::TimeoutError;
    default:
        return opening ? Serial::OpenError : Serial::UnknownError;
    }
}

bool SerialPrivate::openPort(const QString &path, QIODevice::OpenMode mode)
{
    if (path.isEmpty()) {
        setSystemError(ENOENT, true);
        return false;
    }
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
        setSystemError(EINVAL, true);
        return false;
    }

    const QByteArray nativePath = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(nativePath.constData(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        setSystemError(errno, true);
        return false;
    }

    // Exclusive use, in three layers that all read as "busy": a flock turns
    // away every other Serial, root or not; the lock file every program that
    // keeps to the convention; the terminal's exclusive mode every later open
    // except by root.
    termios saved;
    int error = 0;
    if (::flock(fd, LOCK_EX | LOCK_NB) < 0)
        error = errno == EWOULDBLOCK ? EBUSY : errno;
    else if (::tcgetattr(fd, &saved) < 0)
        error = errno;
    if (error == 0) {
        // Both spellings of a port, and links to it, share one lock file.
        char *const real = ::realpath(nativePath.constData(), nullptr);
        error = lockOpen(real ? QByteArray(real) : nativePath);
        std::free(real);
    }
    if (error == 0) {
        termios tio = saved;
        makeBinary(tio);
        if (::tcsetattr(fd, TCSANOW, &tio) < 0 || ::ioctl(fd, TIOCEXCL) < 0) {
            error = errno;
            ::tcsetattr(fd, TCSANOW, &saved);
        }
    }
    int wake[2] = {-1, -1};
    if (error == 0 && ::pipe2(wake, O_CLOEXEC | O_NONBLOCK) < 0) {
        error = errno;
        ::ioctl(fd, TIOCNXCL);
        ::tcsetattr(fd, TCSANOW, &saved);
    }
    if (error != 0) {
        lockRelease();
        ::close(fd);
        setSystemError(error, true);
        return false;
    }

    QMutexLocker locker(&guard);
    wakeRead = wake[0];
    wakeWrite = wake[1];
    handle = fd;
    timeouts = Timeouts();
    return true;
}

void SerialPrivate::wakeCalls()
{
    // Never read: it stays readable, for every call that is still to poll.
    const char byte = 0;
    if (::write(wakeWrite, &byte, 1) < 0) {
        // Full cannot happen with one byte; anything else leaves the calls
        // to their time-outs.
    }
}

void SerialPrivate::closePort()
{
    const int fd = int(handle);
    ::close(wakeRead);
    ::close(wakeWrite);
    wakeRead = wakeWrite = -1;
    // Free for others only once the lock file is gone: the port itself stays
    // ours until the descriptor closes.
    lockRelease();
    // A pseudo-terminal outlives its descriptors while the other side is
    // open, and so would its exclusive mode.
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    handle = -1;
}

int SerialPrivate::lockOpen(const QByteArray &devicePath)
{
    const QByteArray path = lockFilePath(devicePath);
    // Ours is written in full under a name of its own and then linked into
    // place, so nobody ever reads it half written.
    QByteArray temporary = path;
    temporary.insert(path.lastIndexOf('/') + 1, '.');
    temporary += ".XXXXXX";
    int fd = -1;
    const auto giveUp = [&](int error) {
        if (fd >= 0) {
            ::unlink(temporary.constData());
            ::close(fd);
        }
        if (error == EBUSY)
            return EBUSY;
        // Nowhere to write one: go on with the port's own locks.
        if (error != 0)
            warnNoLockFiles(error);
        return 0;
    };

    for (int attempt = 0; attempt < 3; ++attempt) {
        // A live holder wins, whether or not we could write a lock ourselves;
        // so does one we cannot tell: a lock is only ever removed as stale
        // when it names a process that is gone.
        const pid_t owner = lockOwner(path);
        if (owner == 0 || (owner > 0 && processAlive(owner)))
            return giveUp(EBUSY);
        if (owner > 0) {
            if (const int error = removeStaleLock(path)) {
                if (error == EBUSY)
                    return giveUp(EBUSY);
                warnStaleLock(path, error);
                return giveUp(0);
            }
        }
        if (fd < 0) {
            fd = ::mkostemp(temporary.data(), O_CLOEXEC);
            if (fd < 0)
                return giveUp(errno);
            // Held while the port is open: Qt's lock files count a file
            // without their program name as stale unless it is locked.
            ::flock(fd, LOCK_EX | LOCK_NB);
            char line[16];
            const int length = std::snprintf(line, sizeof line, "%10d\n", int(::getpid()));
            if (::fchmod(fd, 0644) < 0 || ::write(fd, line, size_t(length)) != length)
                return giveUp(errno);
        }
        if (::link(temporary.constData(), path.constData()) == 0) {
            ::unlink(temporary.constData());
            lockHandle = fd;
            lockPath = path;
            return 0;
        }
        if (errno != EEXIST)
            return giveUp(errno);
    }
    return giveUp(EBUSY);
}

void SerialPrivate::lockRelease()
{
    if (lockHandle < 0)
        return;
    // Only our own: someone may have taken the name over meanwhile.
    struct stat held;
    struct stat named;
    if (::fstat(lockHandle, &held) == 0 && ::stat(lockPath.constData(), &named) == 0
            && held.st_ino == named.st_ino && held.st_dev == named.st_dev)
        ::unlink(lockPath.constData());
    ::close(lockHandle);
    lockHandle = -1;
    lockPath.clear();
}

namespace {

// One call's use of the port, between enter() and leave(): the descriptor,
// or -1 when the port is closed or closing.
class PortUse
{
public:
    explicit PortUse(const SerialPrivate *d) : m_d(d), fd(int(d->enter())) {}
    ~PortUse()
    {
        if (fd >= 0)
            m_d->leave();
    }
    Q_DISABLE_COPY(PortUse)

private:
    const SerialPrivate *const m_d;

public:
    const int fd;
};

} // namespace

bool SerialPrivate::applySettings(int baudRate, int dataBits, Serial::Parity parity, Serial::StopBits stopBits)
{
    const Speed *speed = std::find_if(std::begin(speeds), std::end(speeds),
                                      [baudRate](const Speed &s) { return s.baudRate == baudRate; });
    const ParityBits *parityBits = std::find_if(std::begin(parities), std::end(parities),
                                                [parity](const ParityBits &p) { return p.parity == parity; });
    const bool sizeOk = dataBits >= 5 && dataBits <= 8;
    // Two stop-bit times with five data bits is how the UART makes one and a
    // half; two stop bits with five data bits it cannot make at all.
    const bool stopOk = stopBits == Serial::OneStop
            || (stopBits == Serial::OneAndHalfStop && dataBits == 5)
            || (stopBits == Serial::TwoStop && dataBits != 5);
#ifdef SERIAL_ANY_RATE
    // Any rate is the driver's to take or refuse; zero would hang up.
    const bool rateOk = baudRate > 0;
#else
    const bool rateOk = speed != std::end(speeds);
#endif
    if (!rateOk || parityBits == std::end(parities)
            || (parity != Serial::NoParity && parityBits->bits == 0) || !sizeOk || !stopOk) {
        setSystemError(EINVAL);
        return false;
    }

    const PortUse use(this);
    const int fd = use.fd;
    if (fd < 0) {
        setSystemError(EBADF);
        return false;
    }
#ifdef SERIAL_ANY_RATE
    termios2 before;
    std::memset(&before, 0, sizeof before);
    if (::ioctl(fd, TCGETS2, &before) < 0) {
        setSystemError(errno);
        return false;
    }
    termios2 tio = before;
    setLine(tio, dataBits, parityBits->bits, stopBits);
    // The classic code where there is one, so that programs that know only
    // those read the rate; the number otherwise. Input at the output rate.
    const tcflag_t rateCodes = CBAUD | (CBAUD << SerialInputRateShift);
    tio.c_cflag = (tio.c_cflag & ~rateCodes) | (speed != std::end(speeds) ? speed->code : SerialRateAsNumber);
    tio.c_ispeed = speed_t(baudRate);
    tio.c_ospeed = speed_t(baudRate);
    if (::ioctl(fd, TCSETS2, &tio) < 0) {
        setSystemError(errno);
        return false;
    }
    // A driver that cannot make a setting makes another (the nearest rate,
    // eight bits without parity) and writes back what it made; that is a
    // refusal, and the port goes back.
    termios2 now;
    std::memset(&now, 0, sizeof now);
    if (::ioctl(fd, TCGETS2, &now) < 0) {
        const int error = errno;
        ::ioctl(fd, TCSETS2, &before);
        setSystemError(error);
        return false;
    }
    const int refused = now.c_ospeed != speed_t(baudRate) || now.c_ispeed != speed_t(baudRate) ? int(RateSetting) : refusedSetting(tio, now);
    if (refused >= 0) {
        ::ioctl(fd, TCSETS2, &before);
        setRefusedError(settingText(Setting(refused), baudRate, dataBits, parity, stopBits));
        return false;
    }
    return true;
#else
    termios before;
    std::memset(&before, 0, sizeof before);
    if (::tcgetattr(fd, &before) < 0) {
        setSystemError(errno);
        return false;
    }
    termios tio = before;
    setLine(tio, dataBits, parityBits->bits, stopBits);
    ::cfsetispeed(&tio, speed->code);
    ::cfsetospeed(&tio, speed->code);
    if (::tcsetattr(fd, TCSANOW, &tio) < 0) {
        setSystemError(errno);
        return false;
    }
    termios now;
    std::memset(&now, 0, sizeof now);
    if (::tcgetattr(fd, &now) < 0) {
        const int error = errno;
        ::tcsetattr(fd, TCSANOW, &before);
        setSystemError(error);
        return false;
    }
    const int refused = ::cfgetospeed(&now) != speed->code || ::cfgetispeed(&now) != speed->code ? int(RateSetting) : refusedSetting(tio, now);
    if (refused >= 0) {
        ::tcsetattr(fd, TCSANOW, &before);
        setRefusedError(settingText(Setting(refused), baudRate, dataBits, parity, stopBits));
        return false;
    }
    return true;
#endif
}

bool SerialPrivate::applyTimeouts(const Timeouts &newTimeouts)
{
    // The time-outs belong to the open port, as they do in the driver.
    const PortUse use(this);
    if (use.fd < 0) {
        setSystemError(EBADF);
        return false;
    }
    timeouts = newTimeouts;
    return true;
}

void SerialPrivate::flushInput()
{
    const PortUse use(this);
    if (::tcflush(use.fd, TCIFLUSH) < 0)
        setSystemError(errno);
}

qint64 SerialPrivate::readPort(char *data, qint64 maxSize)
{
    const PortUse use(this);
    const int fd = use.fd;
    if (fd < 0) {
        setSystemError(EBADF);
        return 0;
    }
    const qint64 want = qBound<qint64>(0, maxSize, INT_MAX);
    const Timeouts t = timeouts;
    if (want == 0)
        return 0;

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
        // The line waits for a byte at least, so no byte means a hang-up; a
        // pseudo-terminal whose far end closed says EIO until it hangs up.
        const int error = n < 0 ? errno : 0;
        if (n == 0 || (error == EIO && hungUp(fd)))
            return hangUp(got, total);
        if (error == EINTR)
            continue;
        if (error != EAGAIN && error != EWOULDBLOCK) {
            setSystemError(error);
            return got;
        }

        int wait = remainingMs(total);
        if (useInterval && got > 0) {
            const qint64 left = qMax<qint64>(0, qint64(t.readInterval) - sinceLastByte.elapsed());
            wait = wait < 0 ? int(qMin<qint64>(left, INT_MAX)) : int(qMin<qint64>(left, wait));
        }
        if (wait == 0)
            return got;

        short revents = 0;
        bool closed = false;
        const int ready = pollPort(fd, POLLIN, wakeRead, wait, revents, closed);
        if (closed) {
            setClosedError();
            return got;
        }
        if (ready < 0 && errno != EINTR) {
            setSystemError(errno);
            return got;
        }
        if (ready > 0 && !(revents & POLLIN) && (revents & (POLLERR | POLLHUP | POLLNVAL))) {
            if (revents & POLLHUP)
                return hangUp(got, total);
            setSystemError(revents & POLLNVAL ? EBADF : EIO);
            return got;
        }
    }
}

qint64 SerialPrivate::hangUp(qint64 got, const QDeadlineTimer &deadline)
{
    // Nothing will come any more. A caller that polls the port in a loop
    // learns it at the pace of its time-out, as from a silent line, instead
    // of spinning; what arrived before the hang-up is handed over at once.
    // close() ends the wait.
    if (got == 0 && !deadline.isForever()) {
        while (!deadline.hasExpired()) {
            short revents = 0;
            bool closed = false;
            pollPort(-1, 0, wakeRead, remainingMs(deadline), revents, closed);
            if (closed) {
                setClosedError();
                return 0;
            }
        }
    }
    setHangUpError();
    return got;
}

qint64 SerialPrivate::writePort(const char *data, qint64 size)
{
    const PortUse use(this);
    const int fd = use.fd;
    if (fd < 0) {
        setSystemError(EBADF);
        return 0;
    }
    const qint64 want = qBound<qint64>(0, size, INT_MAX);
    const Timeouts t = timeouts;
    QDeadlineTimer total(QDeadlineTimer::Forever);
    if (t.writeTotalMultiplier != 0 || t.writeTotalConstant != 0)
        total.setRemainingTime(qint64(t.writeTotalMultiplier) * want + qint64(t.writeTotalConstant));

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
            setSystemError(errno);
            return written;
        }
        if (want == 0)
            return 0;

        const int wait = remainingMs(total);
        if (wait == 0)
            return written;
        short revents = 0;
        bool closed = false;
        const int ready = pollPort(fd, POLLOUT, wakeRead, wait, revents, closed);
        if (closed) {
            setClosedError();
            return written;
        }
        if (ready < 0 && errno != EINTR) {
            setSystemError(errno);
            return written;
        }
        if (ready > 0 && !(revents & POLLOUT) && (revents & (POLLERR | POLLHUP | POLLNVAL))) {
            setSystemError(revents & POLLNVAL ? EBADF : EIO);
            return written;
        }
    }
}

qint64 SerialPrivate::queueSize() const
{
    const PortUse use(this);
    int queued = 0;
    if (use.fd < 0 || ::ioctl(use.fd, FIONREAD, &queued) < 0)
        return 0;
    return queued;
}
