// ThreadSanitizer sees only instrumented code, and Debian's Qt is not: the
// locking inside QMutex, QReadWriteLock, QSemaphore and QWaitCondition is
// invisible to it, so data that our code guards with them looks raced. In
// the 'thread' build every program gets these definitions, which take the
// place of Qt's exported ones for calls from our code, call Qt's own and tell
// ThreadSanitizer the ordering they give (release before handing over,
// acquire after taking), and likewise the end of a QThread to its wait().
// Handovers made inside Qt itself (queued signals, QThreadPool) are not
// annotated; see tests/CMakeLists.txt for what concurrency tests should use.
#include <QMutex>
#include <QReadWriteLock>
#include <QSemaphore>
#include <QThread>
#include <QVariant>
#include <QWaitCondition>

#include <sanitizer/tsan_interface.h>

#include <dlfcn.h>
#include <cstdio>
#include <cstdlib>

namespace {

// Qt's definition of a symbol, the next one after ours.
template <typename Function>
Function next(const char *symbol)
{
    void *address = dlsym(RTLD_NEXT, symbol);
    if (!address) {
        std::fprintf(stderr, "qttsan: %s not found in Qt\n", symbol);
        std::abort();
    }
    return reinterpret_cast<Function>(address);
}

} // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto qt = next<void (*)(QMutex *)>("_ZN6QMutex4lockEv");
    qt(this);
    __tsan_acquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto qt = next<bool (*)(QMutex *, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = qt(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QMutex::unlock() noexcept
{
    static const auto qt = next<void (*)(QMutex *)>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    qt(this);
}

// QBasicMutex locks inline and only calls into Qt when contended; the inline
// part is instrumented and orders through the same address.
void QBasicMutex::lockInternal() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto qt = next<void (*)(QBasicMutex *)>("_ZN11QBasicMutex12lockInternalEv");
    qt(this);
    __tsan_acquire(this);
}

bool QBasicMutex::lockInternal(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto qt = next<bool (*)(QBasicMutex *, int)>("_ZN11QBasicMutex12lockInternalEi");
    const bool locked = qt(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QBasicMutex::unlockInternal() noexcept
{
    static const auto qt = next<void (*)(QBasicMutex *)>("_ZN11QBasicMutex14unlockInternalEv");
    __tsan_release(this);
    qt(this);
}

void QReadWriteLock::lockForRead()
{
    static const auto qt = next<void (*)(QReadWriteLock *)>("_ZN14QReadWriteLock11lockForReadEv");
    qt(this);
    __tsan_acquire(this);
}

void QReadWriteLock::lockForWrite()
{
    static const auto qt = next<void (*)(QReadWriteLock *)>("_ZN14QReadWriteLock12lockForWriteEv");
    qt(this);
    __tsan_acquire(this);
}

bool QReadWriteLock::tryLockForRead()
{
    static const auto qt = next<bool (*)(QReadWriteLock *)>("_ZN14QReadWriteLock14tryLockForReadEv");
    const bool locked = qt(this);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

bool QReadWriteLock::tryLockForRead(int timeout)
{
    static const auto qt = next<bool (*)(QReadWriteLock *, int)>("_ZN14QReadWriteLock14tryLockForReadEi");
    const bool locked = qt(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

bool QReadWriteLock::tryLockForWrite()
{
    static const auto qt = next<bool (*)(QReadWriteLock *)>("_ZN14QReadWriteLock15tryLockForWriteEv");
    const bool locked = qt(this);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

bool QReadWriteLock::tryLockForWrite(int timeout)
{
    static const auto qt = next<bool (*)(QReadWriteLock *, int)>("_ZN14QReadWriteLock15tryLockForWriteEi");
    const bool locked = qt(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QReadWriteLock::unlock()
{
    static const auto qt = next<void (*)(QReadWriteLock *)>("_ZN14QReadWriteLock6unlockEv");
    __tsan_release(this);
    qt(this);
}

void QSemaphore::acquire(int n)
{
    static const auto qt = next<void (*)(QSemaphore *, int)>("_ZN10QSemaphore7acquireEi");
    qt(this, n);
    __tsan_acquire(this);
}

bool QSemaphore::tryAcquire(int n)
{
    static const auto qt = next<bool (*)(QSemaphore *, int)>("_ZN10QSemaphore10tryAcquireEi");
    const bool acquired = qt(this, n);
    if (acquired)
        __tsan_acquire(this);
    return acquired;
}

bool QSemaphore::tryAcquire(int n, int timeout)
{
    static const auto qt = next<bool (*)(QSemaphore *, int, int)>("_ZN10QSemaphore10tryAcquireEii");
    const bool acquired = qt(this, n, timeout);
    if (acquired)
        __tsan_acquire(this);
    return acquired;
}

void QSemaphore::release(int n)
{
    static const auto qt = next<void (*)(QSemaphore *, int)>("_ZN10QSemaphore7releaseEi");
    __tsan_release(this);
    qt(this, n);
}

// A wait gives the lock up and takes it again inside Qt.
bool QWaitCondition::wait(QMutex *mutex, QDeadlineTimer deadline)
{
    static const auto qt = next<bool (*)(QWaitCondition *, QMutex *, QDeadlineTimer)>(
        "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    __tsan_release(mutex);
    const bool woken = qt(this, mutex, deadline);
    __tsan_acquire(this);
    __tsan_acquire(mutex);
    return woken;
}

bool QWaitCondition::wait(QMutex *mutex, unsigned long time)
{
    static const auto qt = next<bool (*)(QWaitCondition *, QMutex *, unsigned long)>(
        "_ZN14QWaitCondition4waitEP6QMutexm");
    __tsan_release(mutex);
    const bool woken = qt(this, mutex, time);
    __tsan_acquire(this);
    __tsan_acquire(mutex);
    return woken;
}

bool QWaitCondition::wait(QReadWriteLock *lock, QDeadlineTimer deadline)
{
    static const auto qt = next<bool (*)(QWaitCondition *, QReadWriteLock *, QDeadlineTimer)>(
        "_ZN14QWaitCondition4waitEP14QReadWriteLock14QDeadlineTimer");
    __tsan_release(lock);
    const bool woken = qt(this, lock, deadline);
    __tsan_acquire(this);
    __tsan_acquire(lock);
    return woken;
}

bool QWaitCondition::wait(QReadWriteLock *lock, unsigned long time)
{
    static const auto qt = next<bool (*)(QWaitCondition *, QReadWriteLock *, unsigned long)>(
        "_ZN14QWaitCondition4waitEP14QReadWriteLockm");
    __tsan_release(lock);
    const bool woken = qt(this, lock, time);
    __tsan_acquire(this);
    __tsan_acquire(lock);
    return woken;
}

void QWaitCondition::wakeOne()
{
    static const auto qt = next<void (*)(QWaitCondition *)>("_ZN14QWaitCondition7wakeOneEv");
    __tsan_release(this);
    qt(this);
}

void QWaitCondition::wakeAll()
{
    static const auto qt = next<void (*)(QWaitCondition *)>("_ZN14QWaitCondition7wakeAllEv");
    __tsan_release(this);
    qt(this);
}

// QThread::wait() learns that the thread ended through Qt's own lock, and
// does not wait at all when it already has. The thread's finished() signal
// comes on the thread itself, after run() and before wait() can return.
void QThread::start(Priority priority)
{
    static const auto qt = next<void (*)(QThread *, Priority)>("_ZN7QThread5startENS_8PriorityE");
    static const char marker[] = "_ws_tsan_finish";
    if (!property(marker).isValid()) {
        setProperty(marker, true);
        connect(this, &QThread::finished, this, [this] { __tsan_release(this); }, Qt::DirectConnection);
    }
    qt(this, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto qt = next<bool (*)(QThread *, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = qt(this, deadline);
    if (ended)
        __tsan_acquire(this);
    return ended;
}

bool QThread::wait(unsigned long time)
{
    static const auto qt = next<bool (*)(QThread *, unsigned long)>("_ZN7QThread4waitEm");
    const bool ended = qt(this, time);
    if (ended)
        __tsan_acquire(this);
    return ended;
}
