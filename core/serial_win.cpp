// The port through the Win32 communications interface: an overlapped handle
// (so that close() can end a transfer under way), the driver's settings
// record and its time-outs.

#include "serial_p.h"

#include <QVector>

#include <climits>

#include <windows.h>

namespace {

// What the drivers answer on an open port whose device has gone: the
// far end hung up (a USB adapter pulled out, a driver that gave up).
bool isHangUp(DWORD error)
{
    switch (error) {
    case ERROR_NOT_READY:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_GEN_FAILURE:
        return true;
    default:
        return false;
    }
}

// Every failed system call of the port ends here: the system's code becomes
// the device's error code and text through the class's one funnel; on an
// open port a hang-up reads as on every system.
void setWinError(SerialPrivate *d, DWORD error, bool opening = false)
{
    if (!opening && isHangUp(error))
        d->setHangUpError();
    else
        d->setSystemError(int(error), opening);
}

// A call on a closed port is misuse: handle -1 would reach the system as
// the process's own pseudo-handle, so it never does.
void setNotOpen(SerialPrivate *d)
{
    d->setError(Serial::NotOpenError, SerialPrivate::systemErrorText(int(ERROR_INVALID_HANDLE)));
}

HANDLE portHandle(qintptr handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

// One call's use of the port, between enter() and leave(): the handle, or
// null when the port is closed or closing.
class PortUse
{
public:
    explicit PortUse(const SerialPrivate *d) : m_d(d), m_handle(d->enter()) {}
    ~PortUse()
    {
        if (m_handle != -1)
            m_d->leave();
    }
    Q_DISABLE_COPY(PortUse)
    HANDLE handle() const { return m_handle == -1 ? nullptr : portHandle(m_handle); }

private:
    const SerialPrivate *const m_d;
    const qintptr m_handle;
};

// Output never held back by the handshake lines or by XOFF.
void outputFlowOff(DCB &dcb)
{
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
}

// One overlapped transfer, waited for beside close()'s event. Returns the
// bytes moved; error: 0 or the system's code; closed: close() ended it.
DWORD transfer(const SerialPrivate *d, HANDLE port, bool reading, void *data, DWORD size, DWORD &error,
               bool &closed)
{
    error = 0;
    closed = false;
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent) {
        error = GetLastError();
        return 0;
    }
    const BOOL done = reading ? ReadFile(port, data, size, nullptr, &overlapped)
                              : WriteFile(port, static_cast<const char *>(data), size, nullptr, &overlapped);
    DWORD moved = 0;
    if (!done && GetLastError() != ERROR_IO_PENDING) {
        error = GetLastError();
    } else {
        if (!done) {
            HANDLE events[2] = {overlapped.hEvent, static_cast<HANDLE>(d->closeEvent)};
            if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
                closed = true;
                CancelIoEx(port, &overlapped);
            }
        }
        // The buffer stays the system's until the transfer has ended, even
        // when cancelled.
        if (!GetOverlappedResult(port, &overlapped, &moved, TRUE))
            error = GetLastError();
    }
    // A transfer the time-outs ended completes with STATUS_TIMEOUT, which
    // Windows counts as success and Wine as ERROR_TIMEOUT: either way it is
    // a short transfer, not a failure.
    if (error == WAIT_TIMEOUT || error == ERROR_TIMEOUT)
        error = 0;
    CloseHandle(overlapped.hEvent);
    // The closer's own cancel may have ended it before the wait saw the
    // event (some systems complete a cancelled read as a short one).
    if (!closed && (error == ERROR_OPERATION_ABORTED || moved < size) && d->isClosing())
        closed = true;
    return moved;
}

const DWORD ModemLines = MS_DSR_ON | MS_RLSD_ON;

// The transfers take a 32-bit count.
DWORD transferSize(qint64 size)
{
    return DWORD(qBound<qint64>(0, size, INT_MAX));
}

} // namespace

QString SerialPrivate::devicePath(const QString &name)
{
    if (name.startsWith(QLatin1String("\\\\.\\")) || name.startsWith(QLatin1String("//")))
        return name;
    return QLatin1String("\\\\.\\") + name;
}

QStringList SerialPrivate::systemPorts()
{
    return serialPortsInKey(QStringLiteral("HARDWARE\\DEVICEMAP\\SERIALCOMM"));
}

QStringList serialPortsInKey(const QString &localMachineKey)
{
    QStringList ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t *>(localMachineKey.utf16()), 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return ports;

    DWORD values = 0;
    DWORD longestName = 0;
    DWORD longestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, &longestName,
                         &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
        RegCloseKey(key);
        return ports;
    }

    // One spare character each: the data of a string value need not end in
    // a NUL, and the buffer's last one stays zero.
    QVector<wchar_t> name(int(longestName) + 1);
    QVector<wchar_t> data(int(longestData / sizeof(wchar_t)) + 2);
    for (DWORD i = 0; i < values; ++i) {
        DWORD nameSize = DWORD(name.size());
        DWORD dataSize = DWORD((data.size() - 1) * sizeof(wchar_t));
        DWORD type = 0;
        data.fill(0);
        if (RegEnumValueW(key, i, name.data(), &nameSize, nullptr, &type,
                          reinterpret_cast<BYTE *>(data.data()), &dataSize) != ERROR_SUCCESS)
            continue;
        if (type != REG_SZ)
            continue;
        const QString port = QString::fromWCharArray(data.constData());
        if (!ports.contains(port))
            ports.append(port);
    }
    RegCloseKey(key);
    return ports;
}

QString SerialPrivate::systemErrorText(int systemError)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                                | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, DWORD(systemError), 0, reinterpret_cast<wchar_t *>(&text), 0,
                                        nullptr);
    QString message = length ? QString::fromWCharArray(text, int(length)).trimmed()
                             : QStringLiteral("Unknown error %1").arg(DWORD(systemError));
    LocalFree(text);
    return message;
}

Serial::SerialError SerialPrivate::errorCode(int systemError, bool opening)
{
    switch (DWORD(systemError)) {
    case ERROR_SUCCESS:
        return Serial::NoError;
    // On an open port these mean the device went away (a USB adapter
    // pulled out): the same codes as a failed open would be misleading.
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return opening ? Serial::DeviceNotFoundError : Serial::ResourceError;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return opening ? Serial::PermissionError : Serial::ResourceError;
    case ERROR_NOT_READY:
        return opening ? Serial::OpenError : Serial::ResourceError;
    case ERROR_INVALID_HANDLE:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_GEN_FAILURE:
        return Serial::ResourceError;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
        return Serial::UnsupportedOperationError;
    case ERROR_SEM_TIMEOUT:
    case WAIT_TIMEOUT:
        return Serial::TimeoutError;
    default:
        return opening ? Serial::OpenError : Serial::UnknownError;
    }
}

bool SerialPrivate::openPort(const QString &path, QIODevice::OpenMode mode)
{
    DWORD access = 0;
    if (mode & QIODevice::ReadOnly)
        access |= GENERIC_READ;
    if (mode & QIODevice::WriteOnly)
        access |= GENERIC_WRITE;
    if (!access) {
        setWinError(this, ERROR_INVALID_PARAMETER, true);
        return false;
    }

    if (path.isEmpty()) {
        setWinError(this, ERROR_FILE_NOT_FOUND, true);
        return false;
    }

    // No sharing: the port belongs to this device until it is closed. The
    // default security gives a handle that child processes do not inherit.
    const HANDLE port = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), access, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        setWinError(this, GetLastError(), true);
        return false;
    }

    // A binary line from the first byte, whatever an earlier program left:
    // NUL bytes kept (fNull), no byte replaced on a parity error
    // (fErrorChar), no transfer failing after a line error (fAbortOnError),
    // XON/XOFF bytes passed as data either way. Speed, size, parity, stop
    // bits and hardware flow control stay until setSettings; no time-outs,
    // as on every system.
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS none;
    ZeroMemory(&none, sizeof none);
    const HANDLE wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = wake != nullptr && GetCommState(port, &dcb);
    if (ok) {
        dcb.fBinary = TRUE;
        dcb.fNull = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fAbortOnError = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        ok = SetCommState(port, &dcb) && SetCommTimeouts(port, &none);
    }
    if (!ok) {
        const DWORD error = GetLastError();
        if (wake)
            CloseHandle(wake);
        CloseHandle(port);
        setWinError(this, error, true);
        return false;
    }
    // A line that is up now (or comes up later) and drops is a device that
    // went away.
    DWORD modem = 0;
    modemLinesSeen = GetCommModemStatus(port, &modem) ? quint32(modem & ModemLines) : 0;

    QMutexLocker locker(&guard);
    closeEvent = wake;
    handle = reinterpret_cast<qintptr>(port);
    timeouts = Timeouts();
    return true;
}

void SerialPrivate::wakeCalls()
{
    SetEvent(static_cast<HANDLE>(closeEvent));
    CancelIoEx(portHandle(handle), nullptr);
}

void SerialPrivate::closePort()
{
    CloseHandle(portHandle(handle));
    CloseHandle(static_cast<HANDLE>(closeEvent));
    closeEvent = nullptr;
    handle = -1;
}

bool SerialPrivate::modemLinesDropped()
{
    // Only lines this port has shown up count: many adapters and cables
    // have no DSR or carrier at all.
    DWORD modem = 0;
    const PortUse use(this);
    if (!use.handle() || !GetCommModemStatus(use.handle(), &modem))
        return false;
    const quint32 now = quint32(modem & ModemLines);
    const bool dropped = (modemLinesSeen & ~now) != 0;
    modemLinesSeen |= now;
    return dropped;
}

bool SerialPrivate::applySettings(int baudRate, int dataBits, Serial::Parity parity, Serial::StopBits stopBits)
{
    const PortUse use(this);
    const HANDLE port = use.handle();
    if (!port) {
        setNotOpen(this);
        return false;
    }
    DCB before;
    ZeroMemory(&before, sizeof before);
    before.DCBlength = sizeof before;
    if (!GetCommState(port, &before)) {
        setWinError(this, GetLastError());
        return false;
    }
    DCB dcb = before;
    dcb.BaudRate = DWORD(baudRate);
    dcb.ByteSize = BYTE(dataBits);
    dcb.Parity = BYTE(parity);
    dcb.StopBits = BYTE(stopBits);
    // Binary transfer, output never held back by the handshake lines or by
    // XOFF; input flow control and the DTR and RTS lines stay as they were.
    dcb.fBinary = TRUE;
    outputFlowOff(dcb);
    if (!SetCommState(port, &dcb)) {
        setWinError(this, GetLastError());
        return false;
    }
    // Some drivers take what they cannot make and write back what they
    // made instead; that is a refusal, and the port goes back.
    DCB now;
    ZeroMemory(&now, sizeof now);
    now.DCBlength = sizeof now;
    if (!GetCommState(port, &now)) {
        const DWORD error = GetLastError();
        SetCommState(port, &before);
        setWinError(this, error);
        return false;
    }
    int refused = -1;
    if (now.BaudRate != dcb.BaudRate)
        refused = RateSetting;
    else if (now.ByteSize != dcb.ByteSize)
        refused = SizeSetting;
    else if (now.Parity != dcb.Parity)
        refused = ParitySetting;
    else if (now.StopBits != dcb.StopBits)
        refused = StopSetting;
    else if (now.fOutxCtsFlow || now.fOutxDsrFlow || now.fDsrSensitivity || now.fOutX)
        refused = FlowSetting;
    if (refused >= 0) {
        SetCommState(port, &before);
        setRefusedError(settingText(Setting(refused), baudRate, dataBits, parity, stopBits));
        return false;
    }
    return true;
}

bool SerialPrivate::applyTimeouts(const Timeouts &newTimeouts)
{
    // The time-outs belong to the open port, as they do in the driver.
    const PortUse use(this);
    if (!use.handle()) {
        setNotOpen(this);
        return false;
    }
    COMMTIMEOUTS driver;
    driver.ReadIntervalTimeout = newTimeouts.readInterval;
    driver.ReadTotalTimeoutMultiplier = newTimeouts.readTotalMultiplier;
    driver.ReadTotalTimeoutConstant = newTimeouts.readTotalConstant;
    driver.WriteTotalTimeoutMultiplier = newTimeouts.writeTotalMultiplier;
    driver.WriteTotalTimeoutConstant = newTimeouts.writeTotalConstant;
    if (!SetCommTimeouts(use.handle(), &driver)) {
        setWinError(this, GetLastError());
        return false;
    }
    timeouts = newTimeouts;
    return true;
}

void SerialPrivate::flushInput()
{
    const PortUse use(this);
    if (!use.handle())
        setNotOpen(this);
    else if (!PurgeComm(use.handle(), PURGE_RXCLEAR))
        setWinError(this, GetLastError());
}

qint64 SerialPrivate::readPort(char *data, qint64 maxSize)
{
    const PortUse use(this);
    if (!use.handle()) {
        setNotOpen(this);
        return 0;
    }
    const DWORD want = transferSize(maxSize);
    DWORD error = 0;
    bool closed = false;
    const DWORD got = transfer(this, use.handle(), true, data, want, error, closed);
    if (closed)
        setClosedError();
    else if (error)
        setWinError(this, error);
    else if (got < want && modemLinesDropped())
        // The time-out ended it on a line whose device has gone: the same
        // failure as a hang-up elsewhere, not a silent line for ever.
        setHangUpError();
    return got;
}

qint64 SerialPrivate::writePort(const char *data, qint64 size)
{
    const PortUse use(this);
    if (!use.handle()) {
        setNotOpen(this);
        return 0;
    }
    DWORD error = 0;
    bool closed = false;
    const DWORD written = transfer(this, use.handle(), false, const_cast<char *>(data), transferSize(size), error,
                                   closed);
    if (closed)
        setClosedError();
    else if (error)
        setWinError(this, error);
    return written;
}

qint64 SerialPrivate::queueSize() const
{
    const PortUse use(this);
    DWORD errors = 0;
    COMSTAT status;
    ZeroMemory(&status, sizeof status);
    if (!use.handle() || !ClearCommError(use.handle(), &errors, &status))
        return 0;
    return status.cbInQue;
}
