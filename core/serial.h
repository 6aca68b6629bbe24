#ifndef SERIAL_H
#define SERIAL_H

#include "core_global.h"

#include <QIODevice>
#include <QMutex>
#include <QScopedPointer>
#include <QStringList>

class SerialPrivate;

/// \file serial.h
/// \brief Serial, a serial communication port.

/// \brief One serial communication port as a sequential device.
///
/// The object is also its own recursive lock: clients that share a port
/// between threads lock the device around a whole exchange. None of the
/// class's own functions takes it; close() may come from any thread and ends
/// a read or write under way. See https://doc.qt.io/qt-5/qiodevice.html for
/// the device interface.
class CORE_EXPORT Serial : public QIODevice, public QMutex
{
    Q_OBJECT

public:
    /// The parity bit; the values are the line-settings codes of the port
    /// driver.
    enum Parity {
        NoParity = 0,   ///< no parity bit
        OddParity = 1,  ///< odd parity
        EvenParity = 2, ///< even parity
        MarkParity = 3, ///< parity bit always 1
        SpaceParity = 4 ///< parity bit always 0
    };
    /// The stop bits, as the driver's codes.
    enum StopBits {
        OneStop = 0,        ///< one stop bit
        OneAndHalfStop = 1, ///< one and a half (5-bit characters)
        TwoStop = 2         ///< two stop bits
    };
    /// What the last failure was; errorString() says it in words.
    enum SerialError {
        NoError,             ///< no failure since the last open() or clearError()
        DeviceNotFoundError, ///< no such port
        PermissionError, ///< refused, also when another program holds the port
        OpenError, ///< open on an open port, or the port cannot be opened
        NotOpenError,              ///< the port is not open
        ResourceError, ///< the port hung up or the device vanished
        UnsupportedOperationError, ///< a mode or line setting the port does not take
        TimeoutError, ///< the system gave up waiting on the device
        UnknownError               ///< any other failure of the system
    };

    /// A closed port without a name, owned by \a parent.
    explicit Serial(QObject *parent = nullptr);
    /// Closes the port.
    ~Serial() override;

    /// Names of the ports the system lists, in its order, without duplicates.
    static QStringList EnumDevices();

    /// Takes effect at the next open; an open port is not reopened.
    void setFileName(const QString &name);
    /// The port's name as set, not yet resolved to a device path.
    QString fileName() const;

    /// Opens for reading and writing, unbuffered. Other programs are kept
    /// out while the port is open. The line is binary from the first byte: no
    /// line editing, echo or character translation, and XON/XOFF bytes are
    /// data (on Windows: NUL bytes kept, no error character, no abort on a
    /// line error, no XON/XOFF either way); speed, character size, parity,
    /// stop bits and hardware flow control (and on Linux input XON/XOFF)
    /// stay as the port had them until setSettings. An empty name is
    /// DeviceNotFoundError.
    bool open();
    /// As open(), with \a mode as the device's open mode.
    bool open(OpenMode mode) override;
    /// Closes the port and gives it back to other programs. Safe against a
    /// read or write under way in another thread: that call ends at once
    /// with what it had and NotOpenError, and the port is released only
    /// after it has left; it can be opened again at once.
    void close() override;

    /// Line settings of the open port. Flow control on output (hardware and
    /// XON/XOFF) is switched off; input XON/XOFF and the modem-control lines
    /// stay as the port had them. Any rate the driver takes is accepted. What
    /// the driver set is read back: where it refused a setting or made
    /// another (a rate, size, parity, stop bits or flow control than asked),
    /// the port goes back to its old settings and the call fails with
    /// UnsupportedOperationError and a text naming the setting.
    bool setSettings(int baudRate, int dataBits, Parity parity, StopBits stopBits);
    /// Milliseconds, on every system alike. A read of n bytes ends after
    /// n + readTotal ms, or earlier when readInterval passes between two
    /// bytes; a write of n bytes may take n + writeTotal ms. The per-byte
    /// millisecond always counts: (x, 0, 0) still ends a read of n bytes
    /// after n ms; INT_MAX is as good as no limit. A port opens with no
    /// time-outs at all (reads wait for the whole request), on Windows too.
    /// An interval of -1 (all bits set) is as good as none.
    bool setTimeouts(int readInterval, int readTotal, int writeTotal);
    /// Discards what the port has received and not yet delivered.
    void clearInputBuffer();

    /// What has arrived, in QIODevice's buffer and the driver's queue, without
    /// waiting; empty when nothing has. (QIODevice::readAll, reached through
    /// a QIODevice pointer, asks for 16 KiB at a time and waits the time-outs
    /// out for all of it.)
    QByteArray readAll();

    /// Reads up to \a maxSize bytes within the time-outs; the bytes read, or
    /// -1 on failure (see error()). Called through QIODevice::read(). Opened
    /// buffered (open(mode) without Unbuffered), the device asks the port for
    /// what has arrived, or for one byte when nothing has, not for a whole
    /// buffer.
    qint64 readData(char *data, qint64 maxSize) override;
    /// Writes \a size bytes within the time-outs; the bytes written, or -1 on
    /// failure. Called through QIODevice::write().
    qint64 writeData(const char *data, qint64 size) override;
    /// Bytes received and not yet read.
    qint64 bytesAvailable() const override;
    /// True: a port has no positions.
    bool isSequential() const override;

    /// The port's system handle; all bits set (-1) while closed.
    void *handle() const;

    /// Set by every failure with errorString(), and by misuse that is only
    /// reported on the warning channel (open on an open port, setSettings on
    /// a closed one), which leaves errorString() as it was. A successful open
    /// and clearError() reset both. A transfer cut short by its time-out is
    /// no failure.
    SerialError error() const;
    /// Resets error() to NoError and errorString() to empty.
    void clearError();

private:
    Q_DECLARE_PRIVATE_D(d_serial, Serial)
    Q_DISABLE_COPY(Serial)
    const QScopedPointer<SerialPrivate> d_serial;
};

#endif // SERIAL_H
