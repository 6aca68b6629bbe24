#include "serial.h"
#include "serial_p.h"

void SerialPrivate::setError(Serial::SerialError code, const QString &text)
{
    Q_Q(Serial);
    error = code;
    if (!text.isNull())
        q->setErrorString(text);
}

void SerialPrivate::setSystemError(int systemError, bool opening)
{
    setError(errorCode(systemError, opening), systemErrorText(systemError));
}

Serial::Serial(QObject *parent)
    : QIODevice(parent)
    , QMutex(QMutex::Recursive)
    , d_serial(new SerialPrivate(this))
{
}

Serial::~Serial()
{
    if (isOpen())
        close();
}

QStringList Serial::EnumDevices()
{
    QStringList ports = SerialPrivate::systemPorts();
    ports.removeDuplicates();
    return ports;
}

void Serial::setFileName(const QString &name)
{
    Q_D(Serial);
    d->fileName = name;
}

QString Serial::fileName() const
{
    Q_D(const Serial);
    return d->fileName;
}

bool Serial::open()
{
    return open(ReadWrite | Unbuffered);
}

bool Serial::open(OpenMode mode)
{
    Q_D(Serial);
    if (isOpen()) {
        qWarning("Serial::open: Serial (%s) is already open", d->fileName.toUtf8().constData());
        d->setError(OpenError, QString());
        return false;
    }
    if (!d->openPort(SerialPrivate::devicePath(d->fileName), mode))
        return false;
    // QIODevice clears the error text; the code goes with it.
    QIODevice::open(mode);
    d->setError(NoError, QString());
    return true;
}

void Serial::close()
{
    Q_D(Serial);
    QIODevice::close();
    if (d->handle != -1)
        d->closePort();
}

bool Serial::setSettings(int baudRate, int dataBits, Parity parity, StopBits stopBits)
{
    Q_D(Serial);
    if (!isOpen()) {
        qWarning("Serial::setSettings: File is not open");
        d->setError(NotOpenError, QString());
        return false;
    }
    return d->applySettings(baudRate, dataBits, parity, stopBits);
}

bool Serial::setTimeouts(int readInterval, int readTotal, int writeTotal)
{
    Q_D(Serial);
    // Negative values reach the driver as their unsigned bit patterns, so -1
    // is the driver's "maximum" marker.
    SerialPrivate::Timeouts timeouts;
    timeouts.readInterval = quint32(readInterval);
    timeouts.readTotalMultiplier = 1;
    timeouts.readTotalConstant = quint32(readTotal);
    timeouts.writeTotalMultiplier = 1;
    timeouts.writeTotalConstant = quint32(writeTotal);
    return d->applyTimeouts(timeouts);
}

void Serial::clearInputBuffer()
{
    Q_D(Serial);
    d->flushInput();
}

qint64 Serial::readData(char *data, qint64 maxSize)
{
    Q_D(Serial);
    return d->readPort(data, maxSize);
}

qint64 Serial::writeData(const char *data, qint64 size)
{
    Q_D(Serial);
    return d->writePort(data, size);
}

qint64 Serial::bytesAvailable() const
{
    Q_D(const Serial);
    return d->queueSize() + QIODevice::bytesAvailable();
}

bool Serial::isSequential() const
{
    return true;
}

void *Serial::handle() const
{
    Q_D(const Serial);
    return reinterpret_cast<void *>(d->handle);
}

Serial::SerialError Serial::error() const
{
    Q_D(const Serial);
    return d->error;
}

void Serial::clearError()
{
    Q_D(Serial);
    // An empty text reads "Unknown error", as after a successful open.
    d->setError(NoError, QLatin1String(""));
}
