// The port through the Win32 communications interface: a synchronous handle,
// the driver's settings record and its time-outs.

#include "serial_p.h"

#include <QVector>

#include <climits>

#include <windows.h>

namespace {

// Every failed system call of the port ends here: the system's code becomes
// the device's error code and text through the class's one funnel. A call
// on a closed port is misuse, whatever the system made of the handle.
void setWinError(SerialPrivate *d, DWORD error, bool opening = false)
{
    if (d->handle == -1 && !opening)
        d->setError(Serial::NotOpenError, SerialPrivate::systemErrorText(int(ERROR_INVALID_HANDLE)));
    else
        d->setSystemError(int(error), opening);
}

// False, with the error set, when the port is closed: handle -1 would reach
// the system as the process's own pseudo-handle.
bool checkOpen(SerialPrivate *d)
{
    if (d->handle != -1)
        return true;
    setWinError(d, ERROR_INVALID_HANDLE);
    return false;
}

HANDLE portHandle(qintptr handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

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

    // No sharing: the port belongs to this device until it is closed. The
    // default security gives a handle that child processes do not inherit.
    const HANDLE port = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), access, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        setWinError(this, GetLastError(), true);
        return false;
    }
    handle = reinterpret_cast<qintptr>(port);
    return true;
}

void SerialPrivate::closePort()
{
    CloseHandle(portHandle(handle));
    handle = -1;
}

bool SerialPrivate::applySettings(int baudRate, int dataBits, Serial::Parity parity, Serial::StopBits stopBits)
{
    if (!checkOpen(this))
        return false;
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(portHandle(handle), &dcb)) {
        setWinError(this, GetLastError());
        return false;
    }
    dcb.BaudRate = DWORD(baudRate);
    dcb.ByteSize = BYTE(dataBits);
    dcb.Parity = BYTE(parity);
    dcb.StopBits = BYTE(stopBits);
    // Binary transfer, output never held back by the handshake lines or by
    // XOFF; input flow control and the DTR and RTS lines stay as they were.
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    if (!SetCommState(portHandle(handle), &dcb)) {
        setWinError(this, GetLastError());
        return false;
    }
    return true;
}

bool SerialPrivate::applyTimeouts(const Timeouts &newTimeouts)
{
    // The time-outs belong to the open port, as they do in the driver.
    if (!checkOpen(this))
        return false;
    COMMTIMEOUTS driver;
    driver.ReadIntervalTimeout = newTimeouts.readInterval;
    driver.ReadTotalTimeoutMultiplier = newTimeouts.readTotalMultiplier;
    driver.ReadTotalTimeoutConstant = newTimeouts.readTotalConstant;
    driver.WriteTotalTimeoutMultiplier = newTimeouts.writeTotalMultiplier;
    driver.WriteTotalTimeoutConstant = newTimeouts.writeTotalConstant;
    if (!SetCommTimeouts(portHandle(handle), &driver)) {
        setWinError(this, GetLastError());
        return false;
    }
    timeouts = newTimeouts;
    return true;
}

void SerialPrivate::flushInput()
{
    if (!checkOpen(this))
        return;
    if (!PurgeComm(portHandle(handle), PURGE_RXCLEAR))
        setWinError(this, GetLastError());
}

qint64 SerialPrivate::readPort(char *data, qint64 maxSize)
{
    if (!checkOpen(this))
        return 0;
    DWORD got = 0;
    if (!ReadFile(portHandle(handle), data, transferSize(maxSize), &got, nullptr))
        setWinError(this, GetLastError());
    return got;
}

qint64 SerialPrivate::writePort(const char *data, qint64 size)
{
    if (!checkOpen(this))
        return 0;
    DWORD written = 0;
    if (!WriteFile(portHandle(handle), data, transferSize(size), &written, nullptr))
        setWinError(this, GetLastError());
    return written;
}

qint64 SerialPrivate::queueSize() const
{
    if (handle == -1)
        return 0;
    DWORD errors = 0;
    COMSTAT status;
    ZeroMemory(&status, sizeof status);
    if (!ClearCommError(portHandle(handle), &errors, &status))
        return 0;
    return status.cbInQue;
}
