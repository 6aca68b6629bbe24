// The Win32 port backend end to end, on two COM ports joined by a null-modem
// link (under Wine: COM1 and COM2 mapped to a socat pseudo-terminal pair).
// WS_SERIAL_PAIR names them, "COM1,COM2"; without it the port tests skip.

#include "serial.h"
#include "serial_p.h"
#include "waituntil.h"

#include <QtTest>

#include <atomic>
#include <cstring>
#include <thread>

#include <windows.h>

namespace {

QStringList pairNames()
{
    return QString::fromLocal8Bit(qgetenv("WS_SERIAL_PAIR")).split(QLatin1Char(','), Qt::SkipEmptyParts);
}

HANDLE winHandle(const Serial &serial)
{
    return reinterpret_cast<HANDLE>(serial.handle());
}

DCB portState(const Serial &serial)
{
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(winHandle(serial), &dcb))
        qWarning("GetCommState failed: %lu", GetLastError());
    return dcb;
}

// The system's own text for an error code.
QString systemText(DWORD error)
{
    wchar_t buffer[512] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                        0, buffer, DWORD(sizeof buffer / sizeof buffer[0]), nullptr);
    return QString::fromWCharArray(buffer, int(length)).trimmed();
}

// Reads until `size` bytes came or a read brings nothing (its time-out).
QByteArray readUpTo(Serial &serial, int size)
{
    QByteArray got;
    while (got.size() < size) {
        const QByteArray part = serial.read(size - got.size());
        if (part.isEmpty())
            break;
        got += part;
    }
    return got;
}

// Wine emulates the driver on a pseudo-terminal, with two limits: it does
// not refuse a second open of a port (no share check on devices), and the
// kernel's pseudo-terminal keeps only eight data bits without parity.
bool underWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

const char testKey[] = "Software\\WorkstationTests\\SERIALCOMM";

} // namespace

class tst_SerialWin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void open_data();
    void open();
    void exclusive();
    void settings_data();
    void settings();
    void settingsKeepInputFlow();
    void settingsOnClosedPort();
    void binaryFromOpen();
    void closeStopsRead();
    void roundTrip();
    void timeouts();
    void closedPortFails();
    void purge();
    void enumeration();

private:
    void openPair(Serial &a, Serial &b);
    QString m_a;
    QString m_b;
};

void tst_SerialWin::initTestCase()
{
    const QStringList names = pairNames();
    if (names.size() == 2) {
        m_a = names.at(0);
        m_b = names.at(1);
    }
}

void tst_SerialWin::openPair(Serial &a, Serial &b)
{
    a.setFileName(m_a);
    b.setFileName(m_b);
    QVERIFY2(a.open(), qPrintable(a.errorString()));
    QVERIFY2(b.open(), qPrintable(b.errorString()));
    QVERIFY(a.setSettings(9600, 8, Serial::NoParity, Serial::OneStop));
    QVERIFY(b.setSettings(9600, 8, Serial::NoParity, Serial::OneStop));
    // Bounded reads on both sides: no verdict waits for ever.
    QVERIFY(a.setTimeouts(0, 2000, 2000));
    QVERIFY(b.setTimeouts(0, 2000, 2000));
}

#define NEED_PAIR() \
    if (m_a.isEmpty()) \
        QSKIP("WS_SERIAL_PAIR names no pair of linked COM ports")

void tst_SerialWin::open_data()
{
    QTest::addColumn<QString>("name"); // "@" stands for the pair's first port
    QTest::addColumn<bool>("opens");

    QTest::newRow("bare name") << "@" << true;
    QTest::newRow("device path") << "\\\\.\\@" << true;
    QTest::newRow("missing port") << "COM97" << false;
    QTest::newRow("empty name") << "" << false;
}

void tst_SerialWin::open()
{
    NEED_PAIR();
    QFETCH(QString, name);
    QFETCH(bool, opens);
    name.replace(QLatin1Char('@'), m_a);

    Serial serial;
    serial.setFileName(name);
    QCOMPARE(serial.open(), opens);
    QCOMPARE(serial.error(), opens ? Serial::NoError : Serial::DeviceNotFoundError);
    if (!opens) {
        QCOMPARE(serial.errorString(), systemText(ERROR_FILE_NOT_FOUND));
        QVERIFY(!serial.isOpen());
        QCOMPARE(serial.handle(), reinterpret_cast<void *>(~quintptr(0)));
        return;
    }
    QCOMPARE(serial.openMode(), QIODevice::ReadWrite | QIODevice::Unbuffered);
    QCOMPARE(GetFileType(winHandle(serial)), DWORD(FILE_TYPE_CHAR));
    // Not inherited by programs the process starts.
    DWORD flags = 0;
    QVERIFY(GetHandleInformation(winHandle(serial), &flags));
    QCOMPARE(flags & HANDLE_FLAG_INHERIT, DWORD(0));
    serial.close();
    QCOMPARE(serial.handle(), reinterpret_cast<void *>(~quintptr(0)));
}

void tst_SerialWin::exclusive()
{
    NEED_PAIR();
    Serial first, second, peer;
    openPair(first, peer);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Serial::open: Serial (%1) is already open").arg(m_a)));
    QVERIFY(!first.open());
    QCOMPARE(first.error(), Serial::OpenError);
    QVERIFY(first.isOpen());

    second.setFileName(m_a);
    if (underWine())
        QSKIP("Wine does not refuse a second open of a serial port (share mode 0 is not checked on devices)");
    QVERIFY(!second.open());
    // Serial drivers answer "access denied" for a port in use; other
    // devices a sharing violation: the same refusal.
    QVERIFY2(second.errorString() == systemText(ERROR_ACCESS_DENIED)
                     || second.errorString() == systemText(ERROR_SHARING_VIOLATION),
             qPrintable(second.errorString()));
    QCOMPARE(second.error(), Serial::PermissionError);
    QVERIFY(!second.isOpen());

    // The holder still works, and once it lets go the port opens again.
    QCOMPARE(first.write("still here"), qint64(10));
    QCOMPARE(readUpTo(peer, 10), QByteArray("still here"));
    first.close();
    QVERIFY2(second.open(), qPrintable(second.errorString()));
}

void tst_SerialWin::settings_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stop");

    QTest::newRow("9600 8N1") << 9600 << 8 << int(Serial::NoParity) << int(Serial::OneStop);
    QTest::newRow("19200 7E1") << 19200 << 7 << int(Serial::EvenParity) << int(Serial::OneStop);
    QTest::newRow("115200 8O2") << 115200 << 8 << int(Serial::OddParity) << int(Serial::TwoStop);
    QTest::newRow("2400 8M1") << 2400 << 8 << int(Serial::MarkParity) << int(Serial::OneStop);
}

void tst_SerialWin::settings()
{
    NEED_PAIR();
    QFETCH(int, baud);
    QFETCH(int, bits);
    QFETCH(int, parity);
    QFETCH(int, stop);
    Serial serial;
    serial.setFileName(m_a);
    QVERIFY(serial.open());

    // Start from a port whose output waits on every handshake.
    DCB dcb = portState(serial);
    dcb.fOutxCtsFlow = TRUE;
    dcb.fOutX = TRUE;
    QVERIFY(SetCommState(winHandle(serial), &dcb));

    // What the driver cannot make it refuses, with the port as it was.
    if (underWine() && !(bits == 8 && parity == Serial::NoParity)) {
        const DCB before = portState(serial);
        QVERIFY(!serial.setSettings(baud, bits, Serial::Parity(parity), Serial::StopBits(stop)));
        QCOMPARE(serial.error(), Serial::UnsupportedOperationError);
        QVERIFY2(serial.errorString().contains(bits != 8 ? QStringLiteral("%1 data bits").arg(bits)
                                                         : QStringLiteral("parity")),
                 qPrintable(serial.errorString()));
        const DCB after = portState(serial);
        QCOMPARE(std::memcmp(&before, &after, sizeof before), 0);
        return;
    }
    QVERIFY2(serial.setSettings(baud, bits, Serial::Parity(parity), Serial::StopBits(stop)),
             qPrintable(serial.errorString()));
    dcb = portState(serial);
    QCOMPARE(int(dcb.BaudRate), baud);
    QCOMPARE(int(dcb.StopBits), stop);
    QCOMPARE(int(dcb.ByteSize), bits);
    QCOMPARE(int(dcb.Parity), parity);
    QCOMPARE(int(dcb.fBinary), 1);
    QCOMPARE(int(dcb.fOutxCtsFlow), 0);
    QCOMPARE(int(dcb.fOutxDsrFlow), 0);
    QCOMPARE(int(dcb.fDsrSensitivity), 0);
    QCOMPARE(int(dcb.fOutX), 0);
}

void tst_SerialWin::settingsKeepInputFlow()
{
    NEED_PAIR();
    Serial serial;
    serial.setFileName(m_a);
    QVERIFY(serial.open());
    for (const BOOL inX : {TRUE, FALSE}) {
        DCB dcb = portState(serial);
        dcb.fInX = inX;
        QVERIFY(SetCommState(winHandle(serial), &dcb));
        QVERIFY(serial.setSettings(9600, 8, Serial::NoParity, Serial::OneStop));
        QCOMPARE(int(portState(serial).fInX), int(inX));
    }
}

void tst_SerialWin::settingsOnClosedPort()
{
    Serial serial;
    QTest::ignoreMessage(QtWarningMsg, "Serial::setSettings: File is not open");
    QVERIFY(!serial.setSettings(9600, 8, Serial::NoParity, Serial::OneStop));
    QCOMPARE(serial.error(), Serial::NotOpenError);
}

void tst_SerialWin::binaryFromOpen()
{
    NEED_PAIR();
    // A first program leaves the port dropping NUL bytes, failing every
    // transfer after a line error, replacing bytes with parity errors, with
    // XON/XOFF either way and time-outs of its own.
    const std::wstring path = (QStringLiteral("\\\\.\\") + m_a).toStdWString();
    const HANDLE first = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                     nullptr);
    QVERIFY(first != INVALID_HANDLE_VALUE);
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    QVERIFY(GetCommState(first, &dcb));
    dcb.BaudRate = 4800;
    dcb.fNull = TRUE;
    dcb.fAbortOnError = TRUE;
    dcb.fErrorChar = TRUE;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    QVERIFY(SetCommState(first, &dcb));
    COMMTIMEOUTS left = {5, 5, 5, 5, 5};
    QVERIFY(SetCommTimeouts(first, &left));
    CloseHandle(first);

    Serial a, b;
    a.setFileName(m_a);
    QVERIFY2(a.open(), qPrintable(a.errorString()));
    dcb = portState(a);
    QCOMPARE(int(dcb.fBinary), 1);
    QCOMPARE(int(dcb.fNull), 0);
    QCOMPARE(int(dcb.fAbortOnError), 0);
    QCOMPARE(int(dcb.fErrorChar), 0);
    QCOMPARE(int(dcb.fOutX), 0);
    QCOMPARE(int(dcb.fInX), 0);
    QCOMPARE(int(dcb.BaudRate), 4800); // the line's own settings stay
    COMMTIMEOUTS timeouts;
    QVERIFY(GetCommTimeouts(winHandle(a), &timeouts));
    QCOMPARE(int(timeouts.ReadIntervalTimeout | timeouts.ReadTotalTimeoutConstant
                 | timeouts.ReadTotalTimeoutMultiplier | timeouts.WriteTotalTimeoutConstant
                 | timeouts.WriteTotalTimeoutMultiplier),
             0);

    // NUL and XON/XOFF bytes of a frame arrive, before any setSettings.
    b.setFileName(m_b);
    QVERIFY(b.open());
    QVERIFY(b.setSettings(4800, 8, Serial::NoParity, Serial::OneStop));
    QVERIFY(a.setTimeouts(0, 2000, 2000));
    const QByteArray frame("\0\x02\0\x11\x13\0\x03", 7);
    QCOMPARE(b.write(frame), qint64(frame.size()));
    QCOMPARE(readUpTo(a, frame.size()), frame);
}

void tst_SerialWin::closeStopsRead()
{
    NEED_PAIR();
    // A worker waits on a silent line without time-outs; another thread
    // closes the port. A read that never ends is a hang.
    Serial a, b;
    openPair(a, b);
    // Opened again: a port opens with no time-outs (setTimeouts always
    // allows n ms for n bytes).
    a.close();
    QVERIFY(a.open());
    std::atomic<qint64> result{-2};
    std::thread worker([&] {
        char buffer[16];
        result = a.read(buffer, sizeof buffer);
    });
    QThread::msleep(100);
    a.close();
    worker.join();
    QCOMPARE(result.load(), qint64(0));
    QVERIFY2(a.error() == Serial::NotOpenError, qPrintable(a.errorString()));
    // The port is free at once, and works.
    QVERIFY2(a.open(), qPrintable(a.errorString()));
    QVERIFY(a.setTimeouts(0, 2000, 2000));
    QCOMPARE(b.write("again"), qint64(5));
    QCOMPARE(readUpTo(a, 5), QByteArray("again"));
}

void tst_SerialWin::roundTrip()
{
    NEED_PAIR();
    Serial a, b;
    openPair(a, b);
    // Every byte value, line ends and flow-control characters among them.
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    QCOMPARE(a.write(all), qint64(all.size()));
    QCOMPARE(readUpTo(b, all.size()), all);
    QCOMPARE(b.write("reply"), qint64(5));
    QCOMPARE(readUpTo(a, 5), QByteArray("reply"));
}

void tst_SerialWin::timeouts()
{
    NEED_PAIR();
    Serial a, b;
    openPair(a, b);
    // Nothing sent: the total ends the read with nothing.
    QVERIFY(a.setTimeouts(0, 100, 0));
    QCOMPARE(a.read(10), QByteArray());
    QVERIFY2(a.error() == Serial::NoError, qPrintable(a.errorString()));
    QVERIFY2(a.errorString().isEmpty() || a.errorString() == QLatin1String("Unknown error"),
             qPrintable(a.errorString()));

    // Fewer bytes than asked: the read returns what came.
    QVERIFY(a.setTimeouts(50, 500, 500));
    QCOMPARE(b.write("abc"), qint64(3));
    QCOMPARE(readUpTo(a, 10), QByteArray("abc"));
}

void tst_SerialWin::closedPortFails()
{
    Serial serial;
    QVERIFY(!serial.setTimeouts(0, 100, 100));
    QCOMPARE(serial.errorString(), systemText(ERROR_INVALID_HANDLE));
    QCOMPARE(serial.error(), Serial::NotOpenError);
    serial.clearError();
    char byte = 0;
    QCOMPARE(serial.readData(&byte, 1), qint64(0));
    QCOMPARE(serial.error(), Serial::NotOpenError);
    serial.clearError();
    QCOMPARE(serial.writeData("x", 1), qint64(0));
    QCOMPARE(serial.error(), Serial::NotOpenError);
    QCOMPARE(serial.bytesAvailable(), qint64(0));
}

void tst_SerialWin::purge()
{
    NEED_PAIR();
    Serial a, b;
    openPair(a, b);
    QCOMPARE(b.write("12345"), qint64(5));
    waitUntil([&] { return a.bytesAvailable() >= 5; });
    QCOMPARE(a.bytesAvailable(), qint64(5));
    a.clearInputBuffer();
    QCOMPARE(a.bytesAvailable(), qint64(0));
    // What comes after the purge is delivered, and only that.
    QCOMPARE(b.write("6"), qint64(1));
    QCOMPARE(readUpTo(a, 5), QByteArray("6"));
}

void tst_SerialWin::enumeration()
{
    HKEY key = nullptr;
    const std::wstring path = QString::fromLatin1(testKey).toStdWString();
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        QSKIP("no write access to HKEY_LOCAL_MACHINE");
    const auto setString = [key](const wchar_t *name, const wchar_t *value) {
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                       DWORD((wcslen(value) + 1) * sizeof(wchar_t)));
    };
    setString(L"\\Device\\Serial0", L"COM3");
    setString(L"\\Device\\VCP0", L"COM12");
    setString(L"\\Device\\Serial1", L"COM3");         // the same port twice
    const DWORD number = 5;
    RegSetValueExW(key, L"\\Device\\Odd", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), sizeof number);
    setString(L"\\Device\\Serial2", L"com3");         // names compare case-sensitively
    RegCloseKey(key);

    QStringList listed = serialPortsInKey(QLatin1String(testKey));
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    // In the key's order, which is the system's (Wine sorts by value name).
    listed.sort();
    QCOMPARE(listed, QStringList({"COM12", "COM3", "com3"}));
    QCOMPARE(serialPortsInKey(QLatin1String(testKey)), QStringList());

    // The system's own list, once per port.
    const QStringList ports = Serial::EnumDevices();
    QCOMPARE(ports.count(), QSet<QString>(ports.begin(), ports.end()).count());
}

QTEST_MAIN(tst_SerialWin)
#include "tst_serial_win.moc"
