#ifndef PTYPAIR_H
#define PTYPAIR_H

// A pseudo-terminal pair for serial-port tests and benchmarks: the port side
// (the slave, opened by name) and the master side, which plays the device at
// the far end of the line. The pair keeps its own slave descriptor open so the
// terminal outlives the device under test and can be inspected with tcgetattr.

#include <QByteArray>
#include <QString>

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

class PtyPair
{
public:
    PtyPair()
    {
        char name[128] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) == 0) {
            m_path = QString::fromLocal8Bit(name);
            ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        }
    }
    ~PtyPair()
    {
        if (m_master >= 0)
            ::close(m_master);
        if (m_slave >= 0)
            ::close(m_slave);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0 && m_slave >= 0; }
    int master() const { return m_master; }
    int slave() const { return m_slave; }
    // "/dev/pts/N", and the same without "/dev/" as a port name.
    QString path() const { return m_path; }
    QString name() const { return m_path.mid(5); }

    // The far end goes away, as an instrument switched off or unplugged does:
    // the port side hangs up.
    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    // The far end waits for the line without a limit, as the port's reader
    // or writer may be slow to come on a loaded machine; a line that never
    // moves is a hang, which CTest's time-out stops.
    // Everything, or false when the line fails.
    bool writeMaster(const QByteArray &data) const
    {
        qint64 done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(m_master, data.constData() + done, size_t(data.size() - done));
            if (n > 0) {
                done += n;
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            pollfd p = {m_master, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR)
                return false;
        }
        return true;
    }

    // count bytes, or fewer when the line fails.
    QByteArray readMaster(qint64 count) const
    {
        QByteArray data;
        char buffer[4096];
        while (data.size() < count) {
            const ssize_t n = ::read(m_master, buffer, size_t(qMin<qint64>(sizeof buffer, count - data.size())));
            if (n > 0) {
                data.append(buffer, int(n));
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
            pollfd p = {m_master, POLLIN, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR)
                break;
        }
        return data;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
};

#endif // PTYPAIR_H
