#include "serial.h"
#include "serial_p.h"

#include "ptypair.h"
#include "waituntil.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <cstring>
#include <thread>

#include <sys/ioctl.h>
#include <termios.h>

namespace {

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

int descriptor(const Serial &serial)
{
    return int(reinterpret_cast<qintptr>(serial.handle()));
}

// Opens the pair's port and makes the line binary, as every exchange needs.
bool openRaw(Serial &serial, const PtyPair &pty)
{
    serial.setFileName(pty.name());
    return serial.open() && serial.setSettings(9600, 8, Serial::NoParity, Serial::OneStop);
}

QByteArray everyByte()
{
    QByteArray data;
    for (int i = 0; i < 256; ++i)
        data.append(char(i));
    return data;
}

// Read time-outs as good as none (24 days), for reads that wait for what
// must come however loaded the machine: a line that never delivers is a hang,
// which CTest's time-out stops.
const int NoLimit = INT_MAX;

// The next line a process prints, waiting for it without a limit; empty when
// the process ends first.
QByteArray nextLine(QProcess &process)
{
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(-1))
            return QByteArray();
    }
    return process.readLine().trimmed();
}

// The line's rates as numbers, beyond what cfgetospeed can tell.
termios2 kernelLine(int fd)
{
    termios2 line;
    std::memset(&line, 0, sizeof line);
    ::ioctl(fd, TCGETS2, &line);
    return line;
}

} // namespace

Q_DECLARE_METATYPE(Serial::SerialError)

class tst_Serial : public QObject
{
    Q_OBJECT

private slots:
    void metaObject();
    void open_data();
    void open();
    void openMode_data();
    void openMode();
    void secondOpenWarns();
    void exclusiveWithinProcess();
    void exclusiveBetweenProcesses();
    void closeReleasesPort();
    void settings_data();
    void settings();
    void settingsKeepInputFlowAndModemLines_data();
    void settingsKeepInputFlowAndModemLines();
    void refusedFramings();
    void invalidSettings_data();
    void invalidSettings();
    void settingsOnClosedPort();
    void rawFromOpen_data();
    void rawFromOpen();
    void roundTrip_data();
    void roundTrip();
    void readTotalTimeout();
    void readIntervalTimeout();
    void readWaitsForWholeRequest();
    void writeTotalTimeout();
    void readAllTakesWhatArrived_data();
    void readAllTakesWhatArrived();
    void closedPortFails();
    void hangUp_data();
    void hangUp();
    void lockFile();
    void bytesAvailableAndClear();
    void bytesAvailableCountsDeviceBuffer();
    void enumDevicesFilters();
    void enumDevicesOnThisSystem();
    void pyserialPeer();
};

void tst_Serial::metaObject()
{
    Serial serial;
    QCOMPARE(serial.fileName(), QString());
    QCOMPARE(serial.handle(), reinterpret_cast<void *>(~quintptr(0)));
    QVERIFY(!serial.isOpen());
    QVERIFY(serial.isSequential());

    QCOMPARE(serial.qt_metacast("Serial"), static_cast<void *>(&serial));
    QCOMPARE(serial.qt_metacast("QMutex"), static_cast<void *>(static_cast<QMutex *>(&serial)));
    QCOMPARE(serial.qt_metacast("QIODevice"), static_cast<void *>(static_cast<QIODevice *>(&serial)));
    QCOMPARE(serial.qt_metacast("QThread"), nullptr);
    QVERIFY(static_cast<QMutex &>(serial).isRecursive());

    // Nothing of its own in the meta-object beyond the class name, which is
    // also the translation context.
    const QMetaObject *meta = serial.metaObject();
    QCOMPARE(meta->className(), "Serial");
    QCOMPARE(meta->methodCount(), QIODevice::staticMetaObject.methodCount());
    QCOMPARE(meta->propertyCount(), QIODevice::staticMetaObject.propertyCount());
    QCOMPARE(meta->enumeratorCount(), QIODevice::staticMetaObject.enumeratorCount());
}

void tst_Serial::open_data()
{
    QTest::addColumn<QString>("name"); // "@" stands for the pair's port
    QTest::addColumn<int>("error");    // 0: opens
    QTest::addColumn<Serial::SerialError>("code");

    QTest::newRow("bare name gets /dev/") << "@name" << 0 << Serial::NoError;
    QTest::newRow("absolute path unchanged") << "@path" << 0 << Serial::NoError;
    QTest::newRow("missing port") << "ttyNoSuchPort" << ENOENT << Serial::DeviceNotFoundError;
    QTest::newRow("missing absolute path") << "/nonexistent/ttyS0" << ENOENT << Serial::DeviceNotFoundError;
    QTest::newRow("not a terminal") << "null" << ENOTTY << Serial::OpenError;
    QTest::newRow("empty name") << "" << ENOENT << Serial::DeviceNotFoundError;
}

void tst_Serial::open()
{
    QFETCH(QString, name);
    QFETCH(int, error);
    QFETCH(Serial::SerialError, code);
    PtyPair pty;
    QVERIFY(pty.isValid());
    if (name == QLatin1String("@name"))
        name = pty.name();
    else if (name == QLatin1String("@path"))
        name = pty.path();

    Serial serial;
    serial.setFileName(name);
    QCOMPARE(serial.open(), error == 0);
    QCOMPARE(serial.error(), code);
    if (error != 0) {
        QCOMPARE(serial.errorString(), systemText(error));
        QVERIFY(!serial.isOpen());
        QCOMPARE(serial.handle(), reinterpret_cast<void *>(~quintptr(0)));
        return;
    }
    QCOMPARE(serial.fileName(), name);
    // The descriptor is the pair's terminal.
    QVERIFY(::isatty(descriptor(serial)));
    QCOMPARE(QString::fromLocal8Bit(::ttyname(descriptor(serial))), pty.path());
}

void tst_Serial::openMode_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("access"); // -1: refused

    QTest::newRow("open()") << -1 << int(O_RDWR);
    QTest::newRow("read-write") << int(QIODevice::ReadWrite) << int(O_RDWR);
    QTest::newRow("read-only") << int(QIODevice::ReadOnly | QIODevice::Unbuffered) << int(O_RDONLY);
    QTest::newRow("write-only") << int(QIODevice::WriteOnly) << int(O_WRONLY);
    QTest::newRow("neither") << int(QIODevice::Unbuffered) << -1;
}

void tst_Serial::openMode()
{
    QFETCH(int, mode);
    QFETCH(int, access);
    PtyPair pty;
    Serial serial;
    serial.setFileName(pty.name());
    const bool opened = mode < 0 ? serial.open() : serial.open(QIODevice::OpenMode(mode));
    QCOMPARE(opened, access >= 0);
    if (access < 0) {
        QCOMPARE(serial.errorString(), systemText(EINVAL));
        QCOMPARE(serial.error(), Serial::UnsupportedOperationError);
        QVERIFY(!serial.isOpen());
        return;
    }
    const QIODevice::OpenMode expected = mode < 0 ? QIODevice::ReadWrite | QIODevice::Unbuffered
                                                  : QIODevice::OpenMode(mode);
    QCOMPARE(serial.openMode(), expected);
    const int fd = descriptor(serial);
    QCOMPARE(::fcntl(fd, F_GETFL) & O_ACCMODE, access);
    // Not inherited by programs the process starts.
    QVERIFY(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
}

void tst_Serial::secondOpenWarns()
{
    PtyPair pty;
    Serial serial;
    QVERIFY(openRaw(serial, pty));
    void *const handle = serial.handle();

    QTest::ignoreMessage(QtWarningMsg,
                         qPrintable(QStringLiteral("Serial::open: Serial (%1) is already open").arg(pty.name())));
    QVERIFY(!serial.open());
    QCOMPARE(serial.error(), Serial::OpenError);
    QCOMPARE(serial.errorString(), QStringLiteral("Unknown error")); // as it was
    QCOMPARE(serial.handle(), handle);
    QVERIFY(serial.isOpen());
    QCOMPARE(serial.write("still here"), qint64(10));
    QCOMPARE(pty.readMaster(10), QByteArray("still here"));
    serial.clearError();
    QCOMPARE(serial.error(), Serial::NoError);
}

void tst_Serial::exclusiveWithinProcess()
{
    PtyPair pty;
    Serial first;
    first.setFileName(pty.path());
    QVERIFY(first.open());
    int exclusive = 0;
    QCOMPARE(::ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
    QCOMPARE(exclusive, 1);

    // The other spelling of the same port is the same port.
    Serial second;
    second.setFileName(pty.name());
    QVERIFY(!second.open());
    QCOMPARE(second.errorString(), systemText(EBUSY));
    QCOMPARE(second.error(), Serial::PermissionError);
    QVERIFY(!second.isOpen());

    first.close();
    QCOMPARE(::ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
    QCOMPARE(exclusive, 0);
    QVERIFY(second.open());
}

void tst_Serial::exclusiveBetweenProcesses()
{
    // Run as root (as the tests usually are) the terminal's exclusive mode
    // alone would let the other process in; this checks the whole guard.
    PtyPair pty;

    // The other process holds the port.
    QProcess holder;
    holder.start(QStringLiteral(SERIAL_PROBE_BIN), {pty.name(), QStringLiteral("hold")});
    QVERIFY(holder.waitForStarted(-1));
    QCOMPARE(nextLine(holder), QByteArray("open"));
    {
        Serial serial;
        serial.setFileName(pty.name());
        QVERIFY(!serial.open());
        QCOMPARE(serial.errorString(), systemText(EBUSY));
    }
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(-1));
    QCOMPARE(holder.exitCode(), 0);

    // This process holds it.
    Serial serial;
    serial.setFileName(pty.name());
    QVERIFY(serial.open());
    QProcess probe;
    probe.start(QStringLiteral(SERIAL_PROBE_BIN), {pty.path()});
    QVERIFY(probe.waitForFinished(-1));
    QCOMPARE(probe.exitCode(), 1);
    QCOMPARE(QString::fromLocal8Bit(probe.readAllStandardOutput().trimmed()),
             QStringLiteral("error: ") + systemText(EBUSY));

    serial.close();
    probe.start(QStringLiteral(SERIAL_PROBE_BIN), {pty.path()});
    QVERIFY(probe.waitForFinished(-1));
    QCOMPARE(probe.readAllStandardOutput().trimmed(), QByteArray("open"));
    QCOMPARE(probe.exitCode(), 0);
}

void tst_Serial::closeReleasesPort()
{
    PtyPair pty;
    auto *serial = new Serial;
    serial->setFileName(pty.name());
    QVERIFY(serial->open());
    const int fd = descriptor(*serial);

    // close() and reopen.
    serial->close();
    QVERIFY(!serial->isOpen());
    QCOMPARE(serial->handle(), reinterpret_cast<void *>(~quintptr(0)));
    QCOMPARE(::fcntl(fd, F_GETFD), -1);
    QVERIFY(serial->open());

    // The destructor closes an open port.
    const int reopened = descriptor(*serial);
    delete serial;
    QCOMPARE(::fcntl(reopened, F_GETFD), -1);
    QCOMPARE(errno, EBADF);
    Serial next;
    next.setFileName(pty.name());
    QVERIFY(next.open());
}

void tst_Serial::settings_data()
{
    QTest::addColumn<int>("baudRate");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<uint>("speed");      // the rate's code in c_cflag
    QTest::addColumn<uint>("cflagSet");   // bits that must be set
    QTest::addColumn<uint>("cflagClear"); // bits that must be clear

    // A pseudo-terminal takes eight bits without parity only (the other
    // framings are refused: refusedFramings).
    const uint all = PARENB | CSTOPB;
    QTest::newRow("9600 8N1") << 9600 << 8 << int(Serial::NoParity) << int(Serial::OneStop)
                              << uint(B9600) << uint(CS8) << all;
    QTest::newRow("115200 8N2") << 115200 << 8 << int(Serial::NoParity) << int(Serial::TwoStop)
                                << uint(B115200) << uint(CS8 | CSTOPB) << uint(PARENB);
    QTest::newRow("921600 8N1") << 921600 << 8 << int(Serial::NoParity) << int(Serial::OneStop)
                                << uint(B921600) << uint(CS8) << all;
    // Rates outside the classic table go to the driver as numbers.
    QTest::newRow("14400 8N1") << 14400 << 8 << int(Serial::NoParity) << int(Serial::OneStop)
                               << uint(SerialRateAsNumber) << uint(CS8) << all;
    QTest::newRow("256000 8N2") << 256000 << 8 << int(Serial::NoParity) << int(Serial::TwoStop)
                                << uint(SerialRateAsNumber) << uint(CS8 | CSTOPB) << uint(PARENB);
}

void tst_Serial::refusedFramings()
{
    // The driver writes back what it really set; every framing a
    // pseudo-terminal cannot make (any size but eight, any parity) is
    // refused with the setting named, and the line stays as it was.
    static const char *const parityNames[] = {"no parity", "odd parity", "even parity", "mark parity",
                                              "space parity"};
    PtyPair pty;
    Serial serial;
    serial.setFileName(pty.name());
    QVERIFY(serial.open());
    QVERIFY(serial.setSettings(256000, 8, Serial::NoParity, Serial::TwoStop));
    const termios2 before = kernelLine(pty.slave());
    int refused = 0;
    for (int bits = 5; bits <= 8; ++bits) {
        for (int parity = Serial::NoParity; parity <= Serial::SpaceParity; ++parity) {
            for (int stop = Serial::OneStop; stop <= Serial::TwoStop; ++stop) {
                if (!(stop == Serial::OneStop || (stop == Serial::OneAndHalfStop && bits == 5)
                      || (stop == Serial::TwoStop && bits != 5)))
                    continue; // refused before the driver sees it (invalidSettings)
                const QByteArray row = QByteArray::number(bits) + "/" + QByteArray::number(parity) + "/"
                        + QByteArray::number(stop);
                const bool takes = bits == 8 && parity == Serial::NoParity;
                const bool set = serial.setSettings(9600, bits, Serial::Parity(parity), Serial::StopBits(stop));
                QVERIFY2(set == takes, row.constData());
                if (takes) {
                    QVERIFY(serial.setSettings(256000, 8, Serial::NoParity, Serial::TwoStop));
                    continue;
                }
                ++refused;
                QCOMPARE(serial.error(), Serial::UnsupportedOperationError);
                const QString named = bits != 8 ? QStringLiteral("%1 data bits").arg(bits)
                                                : QLatin1String(parityNames[parity]);
                QVERIFY2(serial.errorString().contains(named), qPrintable(serial.errorString() + " / " + row));
                const termios2 after = kernelLine(pty.slave());
                QVERIFY2(std::memcmp(&before, &after, sizeof before) == 0, row.constData());
            }
        }
    }
    QCOMPARE(refused, 2 * 5 + 2 * 2 * 5 + 2 * 4); // 5 bits, 6 and 7 bits, 8 bits with parity
}

void tst_Serial::settings()
{
    QFETCH(int, baudRate);
    QFETCH(int, dataBits);
    QFETCH(int, parity);
    QFETCH(int, stopBits);
    QFETCH(uint, speed);
    QFETCH(uint, cflagSet);
    QFETCH(uint, cflagClear);
    PtyPair pty;
    Serial serial;
    serial.setFileName(pty.name());
    QVERIFY(serial.open());
    // From a rate outside the table, to see its code replaced.
    QVERIFY(serial.setSettings(128000, 8, Serial::NoParity, Serial::OneStop));
    QVERIFY(serial.setSettings(baudRate, dataBits, Serial::Parity(parity), Serial::StopBits(stopBits)));
    QCOMPARE(serial.error(), Serial::NoError);

    termios tio;
    QCOMPARE(::tcgetattr(pty.slave(), &tio), 0);
    QCOMPARE(uint(::cfgetospeed(&tio)), speed);
    QCOMPARE(uint(::cfgetispeed(&tio)), speed);
    const termios2 line = kernelLine(pty.slave());
    QCOMPARE(line.c_ospeed, speed_t(baudRate));
    QCOMPARE(line.c_ispeed, speed_t(baudRate));
    QCOMPARE(tio.c_cflag & cflagSet, tcflag_t(cflagSet));
    QCOMPARE(tio.c_cflag & cflagClear, tcflag_t(0));
    QVERIFY(tio.c_cflag & CREAD);
    // Binary and without output flow control.
    QCOMPARE(tio.c_iflag & (IXON | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK), tcflag_t(0));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), tcflag_t(0));
    QCOMPARE(tio.c_cflag & CRTSCTS, tcflag_t(0));
}

void tst_Serial::settingsKeepInputFlowAndModemLines_data()
{
    QTest::addColumn<bool>("on");
    QTest::newRow("were on") << true;
    QTest::newRow("were off") << false;
}

void tst_Serial::settingsKeepInputFlowAndModemLines()
{
    QFETCH(bool, on);
    PtyPair pty;
    termios tio;
    QCOMPARE(::tcgetattr(pty.slave(), &tio), 0);
    // Everything a port may come with: output flow control, line editing...
    tio.c_iflag |= IXON | ICRNL | BRKINT | ISTRIP;
    tio.c_oflag |= OPOST | ONLCR;
    tio.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    tio.c_cflag |= CRTSCTS;
    // ...and what must survive, either way.
    const tcflag_t keepI = IXOFF | INPCK;
    const tcflag_t keepC = CLOCAL | HUPCL;
    if (on) {
        tio.c_iflag |= keepI;
        tio.c_cflag |= keepC;
    } else {
        tio.c_iflag &= ~keepI;
        tio.c_cflag &= ~keepC;
    }
    QCOMPARE(::tcsetattr(pty.slave(), TCSANOW, &tio), 0);

    Serial serial;
    QVERIFY(openRaw(serial, pty));
    QCOMPARE(::tcgetattr(pty.slave(), &tio), 0);
    QCOMPARE(tio.c_iflag & keepI, on ? keepI : tcflag_t(0));
    QCOMPARE(tio.c_cflag & keepC, on ? keepC : tcflag_t(0));
    QCOMPARE(tio.c_iflag & (IXON | ICRNL | BRKINT | ISTRIP), tcflag_t(0));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
    QCOMPARE(tio.c_cflag & CRTSCTS, tcflag_t(0));
}

void tst_Serial::invalidSettings_data()
{
    QTest::addColumn<int>("baudRate");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");

    // No line runs at these; zero would hang it up.
    QTest::newRow("zero baud rate") << 0 << 8 << int(Serial::NoParity) << int(Serial::OneStop);
    QTest::newRow("negative baud rate") << -9600 << 8 << int(Serial::NoParity) << int(Serial::OneStop);
    QTest::newRow("4 data bits") << 9600 << 4 << int(Serial::NoParity) << int(Serial::OneStop);
    QTest::newRow("9 data bits") << 9600 << 9 << int(Serial::NoParity) << int(Serial::OneStop);
    QTest::newRow("parity code 5") << 9600 << 8 << 5 << int(Serial::OneStop);
    QTest::newRow("stop code 3") << 9600 << 8 << int(Serial::NoParity) << 3;
    QTest::newRow("1.5 stop with 8 bits") << 9600 << 8 << int(Serial::NoParity) << int(Serial::OneAndHalfStop);
    QTest::newRow("2 stop with 5 bits") << 9600 << 5 << int(Serial::NoParity) << int(Serial::TwoStop);
}

void tst_Serial::invalidSettings()
{
    QFETCH(int, baudRate);
    QFETCH(int, dataBits);
    QFETCH(int, parity);
    QFETCH(int, stopBits);
    PtyPair pty;
    Serial serial;
    serial.setFileName(pty.name());
    QVERIFY(serial.open());
    QVERIFY(serial.setSettings(256000, 8, Serial::NoParity, Serial::OneStop));
    const termios2 before = kernelLine(pty.slave());

    QVERIFY(!serial.setSettings(baudRate, dataBits, Serial::Parity(parity), Serial::StopBits(stopBits)));
    QCOMPARE(serial.errorString(), systemText(EINVAL));
    QCOMPARE(serial.error(), Serial::UnsupportedOperationError);
    const termios2 after = kernelLine(pty.slave());
    QCOMPARE(std::memcmp(&before, &after, sizeof before), 0);
}

void tst_Serial::settingsOnClosedPort()
{
    Serial serial;
    QTest::ignoreMessage(QtWarningMsg, "Serial::setSettings: File is not open");
    QVERIFY(!serial.setSettings(9600, 8, Serial::NoParity, Serial::OneStop));
    QCOMPARE(serial.error(), Serial::NotOpenError);
}

void tst_Serial::rawFromOpen_data()
{
    QTest::addColumn<bool>("noWait");
    QTest::newRow("left with line editing and echo") << false;
    QTest::newRow("left with min 0 time 0") << true;
}

void tst_Serial::rawFromOpen()
{
    // What another program may have left on the port: a new terminal's line
    // editing, echo, CR/LF translation and XON/XOFF, or reads that never
    // wait; and a line setting that must stay until setSettings.
    QFETCH(bool, noWait);
    PtyPair pty;
    termios tio;
    QCOMPARE(::tcgetattr(pty.slave(), &tio), 0);
    tio.c_iflag |= ICRNL | IXON | IXOFF;
    tio.c_oflag |= OPOST | ONLCR;
    tio.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    if (noWait) {
        tio.c_lflag &= ~ICANON;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
    }
    tio.c_cflag |= CSTOPB | CRTSCTS;
    ::cfsetispeed(&tio, B1200);
    ::cfsetospeed(&tio, B1200);
    QCOMPARE(::tcsetattr(pty.slave(), TCSANOW, &tio), 0);

    Serial serial;
    serial.setFileName(pty.name());
    QVERIFY(serial.open());
    QVERIFY(serial.setTimeouts(0, NoLimit, NoLimit));

    // Every byte value in, arriving while the read waits (most likely: the
    // result is the same when it comes first)...
    const QByteArray data = everyByte();
    std::thread writer([&] {
        QThread::msleep(50);
        pty.writeMaster(data);
    });
    QByteArray read;
    while (read.size() < data.size()) {
        const QByteArray chunk = serial.read(data.size() - read.size());
        if (chunk.isEmpty())
            break;
        read.append(chunk);
    }
    writer.join();
    QCOMPARE(read, data);
    // ...and out, with nothing echoed ahead of it.
    QCOMPARE(serial.write(data), qint64(data.size()));
    QCOMPARE(pty.readMaster(data.size()), data);

    QCOMPARE(::tcgetattr(pty.slave(), &tio), 0);
    QCOMPARE(::cfgetospeed(&tio), speed_t(B1200));
    QCOMPARE(tio.c_cflag & (CSTOPB | CRTSCTS), tcflag_t(CSTOPB | CRTSCTS));
    QCOMPARE(tio.c_iflag & IXOFF, tcflag_t(IXOFF));
}

void tst_Serial::roundTrip_data()
{
    QTest::addColumn<QByteArray>("data");
    // Line ends, signal, end-of-file and flow-control characters among them.
    QTest::newRow("every byte value") << everyByte();
    QByteArray large;
    for (int i = 0; i < 40000; ++i)
        large.append(char((i * 7) ^ (i >> 8)));
    QTest::newRow("40000 bytes") << large;
}

void tst_Serial::roundTrip()
{
    QFETCH(QByteArray, data);
    PtyPair pty;
    Serial serial;
    QVERIFY(openRaw(serial, pty));
    QVERIFY(serial.setTimeouts(200, NoLimit, NoLimit));

    // Port to far end, with the far end reading as it comes.
    QByteArray received;
    std::thread reader([&] { received = pty.readMaster(data.size()); });
    const qint64 written = serial.write(data);
    reader.join();
    QCOMPARE(written, qint64(data.size()));
    QCOMPARE(received, data);

    // Far end to port.
    QByteArray read;
    std::thread writer([&] { pty.writeMaster(data); });
    while (read.size() < data.size()) {
        const QByteArray chunk = serial.read(data.size() - read.size());
        if (chunk.isEmpty())
            break;
        read.append(chunk);
    }
    writer.join();
    QCOMPARE(read, data);
}

void tst_Serial::readTotalTimeout()
{
    PtyPair pty;
    Serial serial;
    QVERIFY(openRaw(serial, pty));
    QVERIFY(serial.setTimeouts(50, 500, 500));

    // Nothing arrives: the read ends after 10 x 1 + 500 ms, not before (a
    // loaded machine only makes it later; one that never ends is a hang),
    // with no error.
    QElapsedTimer timer;
    timer.start();
    char buffer[10];
    QCOMPARE(serial.read(buffer, sizeof buffer), qint64(0));
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= 400, qPrintable(QString::number(elapsed)));
    QCOMPARE(serial.errorString(), QStringLiteral("Unknown error"));
    QCOMPARE(serial.error(), Serial::NoError);
    // The line still works: what comes afterwards is read.
    QVERIFY(pty.writeMaster("late"));
    QCOMPARE(serial.read(4), QByteArray("late"));
}

void tst_Serial::readIntervalTimeout()
{
    PtyPair pty;
    Serial serial;
    QVERIFY(openRaw(serial, pty));
    QVERIFY(serial.setTimeouts(50, NoLimit, 500));
    QVERIFY(pty.writeMaster("abc"));

    // Three bytes, then a pause longer than the interval: the read ends with
    // what came. Only the interval can end it; waiting for the total would
    // be a hang.
    QCOMPARE(serial.read(100), QByteArray("abc"));
}

void tst_Serial::readWaitsForWholeRequest()
{
    PtyPair pty;
    Serial serial;
    QVERIFY(openRaw(serial, pty));
    // Pauses shorter than the interval do not end the read; the request
    // complete ends it without waiting for the total (waiting for it would
    // be a hang).
    QVERIFY(serial.setTimeouts(2000, NoLimit, 500));
    // A loaded machine may stretch the far end's pause of 100 ms past the
    // interval, which rightly ends the read early: then the exchange is
    // tried again. A read that ends at every pause never gets the whole
    // request, and the test hangs.
    for (;;) {
        std::thread writer([&] {
            pty.writeMaster("12345");
            QThread::msleep(100);
            pty.writeMaster("67890");
        });
        const QByteArray whole("1234567890");
        QByteArray read = serial.read(10);
        writer.join();
        if (read == whole)
            break;
        QVERIFY2(!read.isEmpty() && whole.startsWith(read), read.constData());
        qInfo("the pause outlasted the interval; again");
        while (read.size() < whole.size()) {
            const QByteArray rest = serial.read(whole.size() - read.size());
            QVERIFY(!rest.isEmpty());
            read += rest;
        }
        QCOMPARE(read, whole);
    }
}

void tst_Serial::writeTotalTimeout()
{
    PtyPair pty;
    Serial serial;
    QVERIFY(openRaw(serial, pty));
    QVERIFY(serial.setTimeouts(0, 0, 200));

    // Fill the line towards the far end, which never reads, until the kernel
    // has moved all it can into the far end's queue. The kernel moves it in
    // its own time, later on a loaded machine: should the write below still
    // find room for all of it, the line is filled further and it tries again.
    ::fcntl(pty.slave(), F_SETFL, ::fcntl(pty.slave(), F_GETFL) | O_NONBLOCK);
    const QByteArray block(1024, 'x');
    QElapsedTimer timer;
    for (;;) {
        for (int round = 0; round < 100; ++round) {
            qint64 went = 0;
            ssize_t n;
            while ((n = ::write(pty.slave(), block.constData(), size_t(block.size()))) > 0)
                went += n;
            QCOMPARE(errno, EAGAIN);
            if (went == 0 && round > 0)
                break;
            QThread::msleep(50);
        }
        timer.start();
        if (serial.write(QByteArray(100, 'y')) < 100)
            break;
    }

    // It gave up after 100 x 1 + 200 ms, not before (later on a loaded
    // machine; never would be a hang), with what went and without an error.
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= 250, qPrintable(QString::number(elapsed)));
    QCOMPARE(serial.errorString(), QStringLiteral("Unknown error"));
}

void tst_Serial::readAllTakesWhatArrived_data()
{
    QTest::addColumn<bool>("buffered");
    QTest::newRow("unbuffered") << false;
    QTest::newRow("buffered") << true;
}

void tst_Serial::readAllTakesWhatArrived()
{
    // Totals as good as none: waiting for bytes nobody asked for (a 16 KiB
    // chunk) is a hang.
    QFETCH(bool, buffered);
    PtyPair pty;
    Serial serial;
    serial.setFileName(pty.name());
    QVERIFY(buffered ? serial.open(QIODevice::ReadWrite) : serial.open());
    QVERIFY(serial.setTimeouts(0, NoLimit, NoLimit));
    QCOMPARE(serial.readAll(), QByteArray());

    QVERIFY(pty.writeMaster("12345"));
    waitUntil([&] { return serial.bytesAvailable() >= 5; });
    if (buffered) {
        // A byte asked for is a byte waited for, not a buffer's worth.
        QCOMPARE(serial.read(1), QByteArray("1"));
        QCOMPARE(serial.bytesAvailable(), qint64(4));
        QCOMPARE(serial.readAll(), QByteArray("2345"));
        // Through QIODevice's own the same, once the buffer holds it all.
        QVERIFY(pty.writeMaster("678"));
        QCOMPARE(serial.read(1), QByteArray("6"));
        QCOMPARE(serial.QIODevice::read(2), QByteArray("78"));
    } else {
        QCOMPARE(serial.readAll(), QByteArray("12345"));
    }
    QCOMPARE(serial.readAll(), QByteArray());
    QCOMPARE(serial.error(), Serial::NoError);
}

void tst_Serial::closedPortFails()
{
    // Each failure through the system, with its text.
    char buffer[4];
    Serial reading;
    QCOMPARE(reading.readData(buffer, sizeof buffer), qint64(0));
    QCOMPARE(reading.errorString(), systemText(EBADF));
    QCOMPARE(reading.error(), Serial::NotOpenError);
    Serial writing;
    QCOMPARE(writing.writeData("abcd", 4), qint64(0));
    QCOMPARE(writing.errorString(), systemText(EBADF));
    QCOMPARE(writing.error(), Serial::NotOpenError);
    Serial timing;
    QVERIFY(!timing.setTimeouts(50, 500, 500));
    QCOMPARE(timing.errorString(), systemText(EBADF));
    QCOMPARE(timing.error(), Serial::NotOpenError);

    Serial serial;
    QCOMPARE(serial.bytesAvailable(), qint64(0));
    serial.clearInputBuffer();
    serial.close();
    QVERIFY(!serial.isOpen());
}

void tst_Serial::hangUp_data()
{
    QTest::addColumn<bool>("duringRead");
    QTest::newRow("during a blocking read") << true;
    QTest::newRow("between reads") << false;
}

void tst_Serial::hangUp()
{
    // The far end goes away, as an instrument switched off or unplugged does.
    QFETCH(bool, duringRead);
    PtyPair pty;
    Serial serial;
    QVERIFY(openRaw(serial, pty));
    // With no time-outs the first read waits until the far end has gone,
    // however late a loaded machine lets it go.
    std::thread farEnd;
    if (duringRead)
        farEnd = std::thread([&] {
            QThread::msleep(20);
            pty.closeMaster();
        });
    else
        pty.closeMaster();

    char buffer[10];
    QCOMPARE(serial.read(buffer, sizeof buffer), qint64(0));
    if (farEnd.joinable())
        farEnd.join();
    QCOMPARE(serial.error(), Serial::ResourceError);
    QVERIFY2(serial.errorString().contains(QLatin1String("hung up")), qPrintable(serial.errorString()));

    // A client polling the dead port is told so on every read, at the pace
    // of its time-out: one call a second here, not tens of thousands.
    QVERIFY(serial.setTimeouts(50, 1000, 1000));
    QElapsedTimer second;
    second.start();
    int calls = 0;
    while (!second.hasExpired(1000)) {
        serial.clearError();
        QCOMPARE(serial.read(buffer, sizeof buffer), qint64(0));
        QCOMPARE(serial.error(), Serial::ResourceError);
        ++calls;
    }
    QVERIFY2(calls <= 20, qPrintable(QString::number(calls)));

    QCOMPARE(serial.write("x", 1), qint64(0));
    QCOMPARE(serial.error(), Serial::ResourceError);
}

void tst_Serial::lockFile()
{
    PtyPair pty;
    const QString lockPath = QStringLiteral("/var/lock/LCK..") + pty.name().replace(QLatin1Char('/'), QLatin1Char('_'));
    const auto lockContent = [&] {
        QFile file(lockPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray ours = QByteArray::number(QCoreApplication::applicationPid()).rightJustified(10) + '\n';

    // A program that keeps to the convention holds the port.
    QProcess holder;
    holder.start(QStringLiteral("sleep"), {QStringLiteral("infinity")});
    QVERIFY(holder.waitForStarted(-1));
    const QByteArray pid = QByteArray::number(holder.processId());
    const QByteArray theirs = pid.rightJustified(10) + '\n';
    // Every way other programs write the number, and files that name no
    // process: all mean "held", and none is removed.
    const QByteArray formats[] = {pid.rightJustified(10) + "\r\n", pid + '\n', "     " + pid + " minicom root\n",
                                  pid, "", "minicom\n", "-1\n", theirs};
    Serial serial;
    serial.setFileName(pty.name());
    for (const QByteArray &format : formats) {
        {
            QFile file(lockPath);
            QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(file.errorString()));
            file.write(format);
        }
        QVERIFY2(!serial.open(), format.constData());
        QCOMPARE(serial.errorString(), systemText(EBUSY));
        QCOMPARE(serial.error(), Serial::PermissionError);
        QCOMPARE(lockContent(), format);
    }
    // One that cannot be read at all (for root too) is held the same way.
    QVERIFY(QFile::remove(lockPath));
    QVERIFY(QDir().mkdir(lockPath));
    QVERIFY(!serial.open());
    QCOMPARE(serial.error(), Serial::PermissionError);
    QVERIFY(QDir().rmdir(lockPath));
    {
        QFile file(lockPath);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        file.write(theirs);
    }

    // Killed, it leaves the file behind; the next opener takes it over, and
    // removes it on close.
    holder.kill();
    QVERIFY(holder.waitForFinished(-1));
    QVERIFY2(serial.open(), qPrintable(serial.errorString()));
    QCOMPARE(lockContent(), ours);
    serial.close();
    QVERIFY(!QFile::exists(lockPath));

    // The same with a Serial in another process.
    QProcess probe;
    probe.start(QStringLiteral(SERIAL_PROBE_BIN), {pty.path(), QStringLiteral("hold")});
    QVERIFY(probe.waitForStarted(-1));
    QCOMPARE(nextLine(probe), QByteArray("open"));
    QCOMPARE(lockContent(), QByteArray::number(probe.processId()).rightJustified(10) + '\n');
    probe.kill();
    QVERIFY(probe.waitForFinished(-1));
    QVERIFY(QFile::exists(lockPath));
    QVERIFY2(serial.open(), qPrintable(serial.errorString()));
    QCOMPARE(lockContent(), ours);
}

void tst_Serial::bytesAvailableAndClear()
{
    PtyPair pty;
    Serial serial;
    QVERIFY(openRaw(serial, pty));
    QVERIFY(serial.setTimeouts(50, 500, 500));
    QCOMPARE(serial.bytesAvailable(), qint64(0));

    QVERIFY(pty.writeMaster("discard me"));
    waitUntil([&] { return serial.bytesAvailable() >= 10; });
    QCOMPARE(serial.bytesAvailable(), qint64(10));
    serial.clearInputBuffer();
    QCOMPARE(serial.bytesAvailable(), qint64(0));

    // What arrives afterwards is kept, and only that is read.
    QVERIFY(pty.writeMaster("ok"));
    waitUntil([&] { return serial.bytesAvailable() >= 2; });
    QCOMPARE(serial.bytesAvailable(), qint64(2));
    QCOMPARE(serial.read(10), QByteArray("ok"));
    QCOMPARE(serial.bytesAvailable(), qint64(0));
}

void tst_Serial::bytesAvailableCountsDeviceBuffer()
{
    // Buffered mode: QIODevice reads ahead into its own buffer, which the
    // count includes and clearing the port's queue does not touch.
    PtyPair pty;
    Serial serial;
    serial.setFileName(pty.name());
    QVERIFY(serial.open(QIODevice::ReadWrite));
    QVERIFY(serial.setSettings(9600, 8, Serial::NoParity, Serial::OneStop));
    QVERIFY(serial.setTimeouts(50, 500, 500));

    QVERIFY(pty.writeMaster("0123456789"));
    waitUntil([&] { return serial.bytesAvailable() >= 10; });
    QCOMPARE(serial.bytesAvailable(), qint64(10));
    char first;
    QVERIFY(serial.getChar(&first));
    QCOMPARE(first, '0');
    QCOMPARE(serial.bytesAvailable(), qint64(9));

    QVERIFY(pty.writeMaster("abc"));
    waitUntil([&] { return serial.bytesAvailable() >= 12; });
    QCOMPARE(serial.bytesAvailable(), qint64(12));
    serial.clearInputBuffer();
    QCOMPARE(serial.bytesAvailable(), qint64(9));
    // (Asking for more would make QIODevice read a whole chunk of 16 KiB from
    // the port, which waits out that many milliseconds when nothing comes.)
    QCOMPARE(serial.read(9), QByteArray("123456789"));
}

void tst_Serial::enumDevicesFilters()
{
    // A directory laid out like the kernel's list of terminals.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto entry = [&](const QString &name, bool device, const QByteArray &type) {
        QDir root(dir.path());
        QVERIFY(root.mkpath(name));
        if (device)
            QVERIFY(root.mkpath(name + QLatin1String("/device")));
        if (!type.isNull()) {
            QFile file(root.filePath(name + QLatin1String("/type")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(type);
        }
    };
    entry(QStringLiteral("ttyS0"), true, "4\n");        // a 16550A
    entry(QStringLiteral("ttyS1"), true, "0\n");        // legacy port, no chip
    entry(QStringLiteral("ttyS10"), true, "0");
    entry(QStringLiteral("ttyUSB0"), true, QByteArray()); // no UART type at all
    entry(QStringLiteral("ttyACM3"), true, QByteArray());
    entry(QStringLiteral("tty1"), false, QByteArray());   // virtual console
    entry(QStringLiteral("ptmx"), false, QByteArray());
    entry(QStringLiteral("console"), false, QByteArray());

    const QStringList ports = serialPortsUnder(dir.path());
    QCOMPARE(QSet<QString>(ports.begin(), ports.end()),
             (QSet<QString>{QStringLiteral("ttyS0"), QStringLiteral("ttyUSB0"), QStringLiteral("ttyACM3")}));
    QCOMPARE(ports.size(), 3);
    // In the directory's own order, not sorted.
    QCOMPARE(ports, QDir(dir.path()).entryList(ports, QDir::Dirs, QDir::Unsorted));

    QVERIFY(serialPortsUnder(dir.path() + QLatin1String("/missing")).isEmpty());
}

void tst_Serial::enumDevicesOnThisSystem()
{
    PtyPair pty;
    const QStringList ports = Serial::EnumDevices();
    QCOMPARE(QSet<QString>(ports.begin(), ports.end()).size(), ports.size());
    for (const QString &port : ports) {
        QVERIFY2(!port.contains(QLatin1Char('/')), qPrintable(port));
        QVERIFY2(QFileInfo::exists(QLatin1String("/sys/class/tty/") + port + QLatin1String("/device")),
                 qPrintable(port));
    }
    QVERIFY(!ports.contains(pty.name()));
    QVERIFY(!ports.contains(QStringLiteral("ptmx")));
    QVERIFY(!ports.contains(QStringLiteral("tty0")));
}

void tst_Serial::pyserialPeer()
{
    // socat joins two pseudo-terminals; pyserial works one end at 9600 8N1.
    // Our end starts as the kernel makes it (echo, line editing) and is
    // reached through a link, which shares the port's lock file.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString ours = dir.filePath(QStringLiteral("ours"));
    const QString theirs = dir.filePath(QStringLiteral("theirs"));
    QProcess socat;
    socat.start(QStringLiteral("socat"), {QStringLiteral("pty,link=") + ours,
                                          QStringLiteral("pty,raw,echo=0,link=") + theirs});
    QVERIFY2(socat.waitForStarted(-1), "socat is needed (scripts/packages.txt)");
    const auto linked = [&] { return QFileInfo::exists(ours) && QFileInfo::exists(theirs); };
    waitUntil([&] { return linked() || socat.state() == QProcess::NotRunning; });
    QVERIFY2(linked(), socat.readAllStandardError().constData());

    Serial serial;
    serial.setFileName(ours);
    QVERIFY2(serial.open(), qPrintable(serial.errorString()));
    QVERIFY(serial.setSettings(9600, 8, Serial::NoParity, Serial::OneStop));
    QVERIFY(serial.setTimeouts(500, NoLimit, NoLimit));

    QByteArray request;
    for (int i = 0; i < 3000; ++i)
        request.append(char((i * 31 + 7) & 0xff));
    QProcess peer;
    peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    peer.start(QStringLiteral(SYSTEM_PYTHON),
               {QStringLiteral(SERIAL_PEER_PY), theirs, QString::number(request.size())});
    QVERIFY(peer.waitForStarted(-1));

    const auto readAll = [&](int count) {
        QByteArray data;
        while (data.size() < count) {
            const QByteArray chunk = serial.read(count - data.size());
            if (chunk.isEmpty())
                break;
            data.append(chunk);
        }
        return data;
    };
    const QByteArray forwards = everyByte();
    QByteArray greeting = forwards;
    std::reverse_copy(forwards.cbegin(), forwards.cend(), std::back_inserter(greeting));
    QCOMPARE(readAll(greeting.size()), greeting);

    QCOMPARE(serial.write(request), qint64(request.size()));
    QByteArray expected = request;
    for (char &c : expected)
        c = char(c ^ 0x5a);
    QCOMPARE(readAll(expected.size()), expected);

    QVERIFY(peer.waitForFinished(-1));
    QCOMPARE(peer.exitStatus(), QProcess::NormalExit);
    QCOMPARE(peer.exitCode(), 0);
    socat.terminate();
    QVERIFY(socat.waitForFinished(-1));
}

QTEST_GUILESS_MAIN(tst_Serial)
#include "tst_serial.moc"
