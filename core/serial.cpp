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

void SerialPrivate::setClosedError()
{
    setError(Serial::NotOpenError, Serial::tr("The port was closed while the transfer was under way"));
}

void SerialPrivate::setHangUpError()
{
    setError(Serial::ResourceError,
             Serial::tr("The line hung up: the device was switched off or disconnected, "
                        "or the other end closed the port"));
}

void SerialPrivate::setRefusedError(const QString &setting)
{
    setError(Serial::UnsupportedOperationError,
             Serial::tr("The port does not take %1; its settings stay as they were").arg(setting));
}

QString SerialPrivate::settingText(Setting setting, int baudRate, int dataBits, Serial::Parity parity,
                                   Serial::StopBits stopBits)
{
    static const char *const parities[] = {
        QT_TRANSLATE_NOOP("Serial", "no parity"), QT_TRANSLATE_NOOP("Serial", "odd parity"),
        QT_TRANSLATE_NOOP("Serial", "even parity"), QT_TRANSLATE_NOOP("Serial", "mark parity"),
        QT_TRANSLATE_NOOP("Serial", "space parity")};
    static const char *const stops[] = {QT_TRANSLATE_NOOP("Serial", "one stop bit"),
                                        QT_TRANSLATE_NOOP("Serial", "1.5 stop bits"),
                                        QT_TRANSLATE_NOOP("Serial", "two stop bits")};
    switch (setting) {
    case RateSetting:
        return Serial::tr("%1 baud").arg(baudRate);
    case SizeSetting:
        return Serial::tr("%1 data bits").arg(dataBits);
    case ParitySetting:
        return Serial::tr(parities[qBound(0, int(parity), 4)]);
    case StopSetting:
        return Serial::tr(stops[qBound(0, int(stopBits), 2)]);
    case FlowSetting:
        break;
    }
    return Serial::tr("output flow control off");
}

qintptr SerialPrivate::enter() const
{
    QMutexLocker locker(&guard);
    if (handle == -1 || closing)
        return -1;
    ++inFlight;
    return handle;
}

void SerialPrivate::leave() const
{
    QMutexLocker locker(&guard);
    if (--inFlight == 0)
        idle.wakeAll();
}

bool SerialPrivate::isClosing() const
{
    QMutexLocker locker(&guard);
    return closing;
}

void SerialPrivate::closeInFlight()
{
    QMutexLocker locker(&guard);
    if (handle == -1)
        return;
    // The calls under way see the wake-up at once and leave without
    // touching the port again; only then is the handle given back.
    closing = true;
    wakeCalls();
    while (inFlight > 0)
        idle.wait(&guard);
    closePort();
    closing = false;
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
    // No name is no device, rather than the device directory itself.
    if (!d->openPort(d->fileName.isEmpty() ? QString() : SerialPrivate::devicePath(d->fileName), mode))
        return false;
    // QIODevice clears the error text; the code goes with it.
    QIODevice::open(mode);
    d->setError(NoError, QString());
    return true;
}

void Serial::close()
{
    Q_D(Serial);
    // aboutToClose comes while the port still works; a read or write under
    // way in another thread ends before the handle goes.
    QIODevice::close();
    d->closeInFlight();
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

QByteArray Serial::readAll()
{
    // QIODevice's own asks the port for 16 KiB at a time until a read brings
    // nothing, and so waits out the per-byte time-out for bytes nobody asked
    // for: seconds on every call.
    if (!isOpen())
        return QIODevice::readAll();
    const qint64 waiting = bytesAvailable();
    return waiting > 0 ? read(waiting) : QByteArray();
}

qint64 Serial::readData(char *data, qint64 maxSize)
{
    Q_D(Serial);
    // A buffered device fills its buffer with a chunk's worth whatever the
    // client asked for; waiting for all of it would be waiting for bytes
    // nobody wants. It takes what has arrived, or waits for one byte.
    if (!(openMode() & Unbuffered) && maxSize > 1)
        maxSize = qBound<qint64>(1, d->queueSize(), maxSize);
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
