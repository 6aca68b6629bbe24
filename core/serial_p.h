#ifndef SERIAL_P_H
#define SERIAL_P_H

// Private to the library. The members below "platform" are implemented once
// per system, in serial_unix.cpp and serial_win.cpp; everything else
// lives in serial.cpp.

#include "serial.h"

#include <QtGlobal>

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

    // The one place a failure becomes the device's error string.
    void setError(int systemError);

    // platform
    static QString devicePath(const QString &name);
    static QStringList systemPorts();
    static QString systemErrorText(int systemError);
    bool openPort(const QString &path, QIODevice::OpenMode mode);
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
};

#ifdef Q_OS_UNIX
// The serial ports listed under a directory laid out like /sys/class/tty;
// exported for the tests, which build such a directory.
CORE_EXPORT QStringList serialPortsUnder(const QString &ttyClassDir);
#endif
#ifdef Q_OS_WIN
// The serial ports listed as string values of a key under
// HKEY_LOCAL_MACHINE; exported for the tests, which write such a key.
CORE_EXPORT QStringList serialPortsInKey(const QString &localMachineKey);
#endif

#endif // SERIAL_P_H
