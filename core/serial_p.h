#ifndef SERIAL_P_H
#define SERIAL_P_H

// Private to the library. The members below "platform" are implemented once
// per system, in serial_unix.cpp and serial_win.cpp; everything else
// lives in serial.cpp.

#include "serial.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QWaitCondition>
#include <QtGlobal>

#ifdef Q_OS_LINUX
#include <sys/ioctl.h>
#include <termios.h>
#if defined(TCGETS2) && defined(CBAUDEX)
// The kernel's line settings with the rates as numbers, for rates outside the
// classic table (asm/termbits.h, which clashes with <termios.h>). The tests
// read the line through it too.
struct termios2
{
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
#define SERIAL_ANY_RATE 1
// The rate code that means "the number in c_ispeed / c_ospeed".
const tcflag_t SerialRateAsNumber = CBAUDEX;
// Where the input rate code sits in c_cflag; zero there: same as output.
const int SerialInputRateShift = 16;
#endif
#endif

class SerialPrivate
{
    Q_DECLARE_PUBLIC(Serial)

public:
    // The port's time-outs in the driver's terms: read and write totals are
    // multiplier x bytes + constant; the interval is the longest pause
    // between two received bytes. All zero: no limits.
    struct Timeouts
    {
        quint32 readInterval = 0;
        quint32 readTotalMultiplier = 0;
        quint32 readTotalConstant = 0;
        quint32 writeTotalMultiplier = 0;
        quint32 writeTotalConstant = 0;
    };

    explicit SerialPrivate(Serial *q) : q_ptr(q) {}

    // close() from another thread while a call uses the port: every call
    // that touches the handle goes between enter() and leave(); close waits
    // until the last has left before the handle is released, so no call ever
    // goes on with a number the system has given to another file.
    // enter() gives the handle, or -1 (with NotOpenError) when the port is
    // closed or closing.
    qintptr enter() const;
    void leave() const;
    // Whether close() has begun; the calls in flight end when it has.
    bool isClosing() const;
    void closeInFlight();
    // What a call cut short by close() reports.
    void setClosedError();
    // What a read or write reports when the far end has gone.
    void setHangUpError();
    // setSettings on a port whose driver made another setting than asked:
    // the setting named in words (see settingText).
    void setRefusedError(const QString &setting);
    enum Setting { RateSetting, SizeSetting, ParitySetting, StopSetting, FlowSetting };
    static QString settingText(Setting setting, int baudRate, int dataBits, Serial::Parity parity,
                               Serial::StopBits stopBits);

    // The one place a failure is recorded: its code, and its text unless
    // that is null (misuse keeps the text of the last failure).
    void setError(Serial::SerialError code, const QString &text);
    // A failed system call: its code (see errorCode) and the system's text.
    void setSystemError(int systemError, bool opening = false);

    // platform
    static QString devicePath(const QString &name);
    static QStringList systemPorts();
    static QString systemErrorText(int systemError);
    // The code of a system error; opening: it came while opening the port,
    // where a missing device is "not found" rather than "vanished".
    static Serial::SerialError errorCode(int systemError, bool opening);
    // An empty path: no port was named.
    bool openPort(const QString &path, QIODevice::OpenMode mode);
    // Makes the calls in flight return soon (their waits end); called with
    // the guard held and before closePort.
    void wakeCalls();
    void closePort();
    bool applySettings(int baudRate, int dataBits, Serial::Parity parity, Serial::StopBits stopBits);
    bool applyTimeouts(const Timeouts &timeouts);
    void flushInput();
    qint64 readPort(char *data, qint64 maxSize);
    qint64 writePort(const char *data, qint64 size);
    qint64 queueSize() const;

    Serial *const q_ptr;
    QString fileName;
    // A descriptor or a handle, whichever the system uses; -1 while closed.
    qintptr handle = -1;
    Timeouts timeouts;
    Serial::SerialError error = Serial::NoError;
    // Guards handle's changes, inFlight and closing (not the client's lock:
    // that is the client's own, held around whole exchanges).
    mutable QMutex guard;
    mutable QWaitCondition idle;
    mutable int inFlight = 0;
    bool closing = false;
#ifdef Q_OS_UNIX
    // The lock file in the system's lock directory, held while open.
    int lockOpen(const QByteArray &devicePath);
    void lockRelease();
    // Fails a read on a line that hung up; returns what it had read.
    qint64 hangUp(qint64 got, const QDeadlineTimer &deadline);
    int lockHandle = -1;
    QByteArray lockPath;
    // Written by close(), polled beside the port by every waiting call.
    int wakeRead = -1;
    int wakeWrite = -1;
#endif
#ifdef Q_OS_WIN
    // Set by close(), waited for beside every overlapped transfer.
    void *closeEvent = nullptr;
    // The modem-status lines (DSR, RLSD) seen up since open: one that drops
    // afterwards means the device was switched off or unplugged.
    quint32 modemLinesSeen = 0;
    bool modemLinesDropped();
#endif
};

#ifdef Q_OS_UNIX
// The serial ports listed under a directory laid out like /sys/class/tty;
// for the tests, which build such a directory.
CORE_AUTOTEST_EXPORT QStringList serialPortsUnder(const QString &ttyClassDir);
#endif
#ifdef Q_OS_WIN
// The serial ports listed as string values of a key under
// HKEY_LOCAL_MACHINE; for the tests, which write such a key.
CORE_AUTOTEST_EXPORT QStringList serialPortsInKey(const QString &localMachineKey);
#endif

#endif // SERIAL_P_H
