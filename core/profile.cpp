#include "profile.h"

#include "tamglobal.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QReadLocker>
#include <QReadWriteLock>
#include <QSet>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QWriteLocker>
#include <QtDebug>

#include <atomic>

namespace {

// The four connections of a store, in the order of this table.
enum Connection { SettingsConnection, DataConnection, QcConnection, SyslogConnection };
const char *const fileNames[] = {"profile.db", "data.db", "qc.db", "syslog.db"};
const int connectionCount = 4;

// A locked database waits this long before a statement fails.
const char connectOptions[] = "QSQLITE_BUSY_TIMEOUT=30000";

// What all stores share: which connection names are taken, and where new
// stores look for their files. Made on the first store's construction, so
// it outlives the process-wide store's closing at exit.
struct StoreRegistry
{
    QMutex mutex;
    QSet<int> takenNames; // 0: the plain names; n: "<file>#n"
    quint64 nextSerial = 0;
    QString dataDirectory; // empty: the current directory
    bool instanceMade = false;
};

StoreRegistry &registry()
{
    static StoreRegistry r;
    return r;
}

std::atomic<int> nextThreadSerial{0};

// The connections one thread cloned, closed when the thread ends: a clone may
// only be used in the thread that opened it, and a thread that is gone would
// otherwise leave its files open until exit.
struct ThreadConnections
{
    const int serial = nextThreadSerial.fetch_add(1) + 1;
    QStringList names;
    ~ThreadConnections()
    {
        // A store destroyed earlier has removed its clones already.
        for (const QString &name : qAsConst(names))
            QSqlDatabase::removeDatabase(name);
    }
};

thread_local ThreadConnections threadConnections;

QSqlDatabase addConnection(const QString &name, const QString &fileName)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(fileName);
    db.setConnectOptions(QLatin1String(connectOptions));
    return db;
}

// The stored forms that readers of profile.db expect: a switch as the text
// true or false (the driver would bind 1 or 0), a colour as #rrggbb (the
// variant's own text form would carry a translucent colour's alpha).
QVariant boundForm(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QString:
        // The driver binds a null text as NULL, which reads back as no value:
        // a text that was set is written as one, if empty.
        return value.isNull() ? QVariant(QStringLiteral("")) : value;
    case QMetaType::Bool:
        return QVariant(value.toBool() ? QStringLiteral("true") : QStringLiteral("false"));
    case QMetaType::QColor: {
        // An invalid colour has the name of black; stored as no value it
        // reads back as the reader's default, as it does in memory.
        const QColor colour = qvariant_cast<QColor>(value);
        return colour.isValid() ? QVariant(colour.name()) : QVariant(QVariant::String);
    }
    default:
        return value;
    }
}

// Types the driver writes as themselves; any other type goes through its
// text form, and one without a text form would be written as an empty text.
bool storable(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::QDate:
    case QMetaType::QTime:
    case QMetaType::QDateTime:
        return true;
    default:
        return value.canConvert<QString>();
    }
}

} // namespace

class ProfilePrivate
{
public:
    // Connection names and the files' absolute paths, for clones made after
    // the current directory may have changed.
    QString names[connectionCount];
    QString files[connectionCount];
    int nameSlot = -1;
    quint64 serial = 0;
    // The thread whose connections carry the plain names; every other
    // thread gets clones.
    QThread *baseThread = nullptr;
    // Set once the store has given its connections back: writes are refused.
    std::atomic<bool> closed{false};

    QHash<QString, QVariant> values;
    // The row each key is to end with, set in the same locked step as the
    // value: an invalid entry deletes the row. The slots take the entry when
    // they run instead of writing what their signal carried, so changes from
    // several threads cannot reach the file in another order than memory;
    // and a later change with save false, which is not to be written, does
    // not touch it.
    QHash<QString, QVariant> unwritten;
    // Guards values and unwritten; never held across a signal or an SQL
    // statement.
    mutable QReadWriteLock lock;

    // Colour settings whose stored text was already reported as not a
    // colour, with that text.
    QHash<QString, QString> badColours;
    QMutex badColoursMutex;

    // Held from taking a change out of unwritten until its row is written, so
    // that a sync() in one thread and a slot in another cannot write two
    // changes of a key in the wrong order. Taken before lock, never after.
    QMutex writeMutex;

    // The calling thread's connection, made on its first use.
    QSqlDatabase connection(Connection which);
    // Writes the key's unwritten change, if an earlier call has not already.
    void writeLatest(const QString &key);
    void write(QSqlDatabase db, const QString &key, const QVariant &value);
    void sync();
    // Writes what is pending and gives every connection and the names back.
    void close();
    void moveConnections(QThread *target);
};

QSqlDatabase ProfilePrivate::connection(Connection which)
{
    if (closed.load()) {
        qCritical().noquote() << "Profile: the store is closed (the process is exiting);"
                              << "no connection to" << fileNames[which] << "is given";
        return QSqlDatabase();
    }
    if (QThread::currentThread() == baseThread)
        return QSqlDatabase::database(names[which], true);

    ThreadConnections &mine = threadConnections;
    const QString name = QStringLiteral("%1@%2/%3").arg(names[which]).arg(serial).arg(mine.serial);
    if (QSqlDatabase::contains(name))
        return QSqlDatabase::database(name, true);
    // Cloning reads the store's connection under QtSql's lock, from any thread.
    QSqlDatabase db = QSqlDatabase::cloneDatabase(names[which], name);
    if (!db.isValid()) {
        qCritical().noquote() << "Profile: no connection to" << files[which]
                              << "for this thread: the store's connection" << names[which]
                              << "is gone";
        return db;
    }
    mine.names.append(name);
    db.setDatabaseName(files[which]);
    if (!db.open())
        qCritical().noquote() << "Profile: no connection to" << files[which]
                              << "for this thread:" << db.lastError().text();
    return db;
}

void ProfilePrivate::moveConnections(QThread *target)
{
    for (const QString &name : names) {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (db.isValid() && db.driver())
            db.driver()->moveToThread(target);
    }
    baseThread = target;
}

void ProfilePrivate::sync()
{
    QMutexLocker writing(&writeMutex);
    QHash<QString, QVariant> pending;
    {
        QWriteLocker locker(&lock);
        pending.swap(unwritten);
    }
    if (pending.isEmpty())
        return;
    const QSqlDatabase db = closed.load() ? QSqlDatabase() : connection(SettingsConnection);
    for (auto it = pending.cbegin(); it != pending.cend(); ++it)
        write(db, it.key(), it.value());
}

void ProfilePrivate::close()
{
    if (closed.load())
        return;
    sync();
    closed.store(true);
    // The clones of every thread, then the store's own connections.
    const QStringList all = QSqlDatabase::connectionNames();
    for (const QString &base : names) {
        const QString clonePrefix = QStringLiteral("%1@%2/").arg(base).arg(serial);
        for (const QString &name : all) {
            if (name.startsWith(clonePrefix))
                QSqlDatabase::removeDatabase(name);
        }
        QSqlDatabase::removeDatabase(base);
    }
    StoreRegistry &r = registry();
    QMutexLocker locker(&r.mutex);
    r.takenNames.remove(nameSlot);
}

void ProfilePrivate::writeLatest(const QString &key)
{
    QMutexLocker writing(&writeMutex);
    QVariant value;
    {
        QWriteLocker locker(&lock);
        const auto it = unwritten.find(key);
        if (it == unwritten.end())
            return;
        value = *it;
        unwritten.erase(it);
    }
    write(closed.load() ? QSqlDatabase() : connection(SettingsConnection), key, value);
}

void ProfilePrivate::write(QSqlDatabase db, const QString &key, const QVariant &value)
{
    if (closed.load()) {
        qCritical().noquote() << "Profile: the store is closed (the process is exiting); setting"
                              << key << "is not written";
        return;
    }
    const bool remove = !value.isValid();
    if (!remove && !storable(value)) {
        qWarning().noquote() << "Profile: setting" << key << "not written: a value of type"
                             << value.typeName() << "has no stored form";
        return;
    }
    // Memory already holds the change; a failed write must at least be seen,
    // with SQLite's own reason (a failed preparation, such as a missing
    // table, would otherwise show only as a parameter count mismatch).
    const char *const what = remove ? "cannot delete setting" : "cannot write setting";
    QSqlQuery query(db);
    if (!query.prepare(remove ? QStringLiteral("delete from profile where name = ?")
                              : QStringLiteral("insert or replace into profile (name, value) "
                                               "values(?,?)"))) {
        qWarning().noquote() << "Profile:" << what << key << ":" << query.lastError().text();
        return;
    }
    query.addBindValue(QVariant(key));
    if (!remove)
        query.addBindValue(boundForm(value));
    if (!query.exec())
        qWarning().noquote() << "Profile:" << what << key << ":" << query.lastError().text();
}

Profile::Profile(QObject *parent)
    : QObject(parent)
{
    init(QString::fromLatin1(fileNames[SettingsConnection]));
}

Profile::Profile(const QString &fileName, QObject *parent)
    : QObject(parent)
{
    init(fileName);
}

Profile::~Profile()
{
    d->close();
}

Profile &Profile::instance()
{
    // Closes the process-wide store when statics are destroyed at exit, but
    // leaves its memory: a static object destroyed later that still asks for
    // it gets a closed store that refuses writes, not freed memory.
    struct Closer
    {
        Profile *store;
        ~Closer() { store->d->close(); }
    };
    static Profile *const store = [] {
        auto *profile = new Profile;
        {
            StoreRegistry &r = registry();
            QMutexLocker locker(&r.mutex);
            r.instanceMade = true;
        }
        // Its slots write the settings and its connections serve the
        // application's thread, whose event loop runs as long as the
        // program does; a loader thread that made it may end any time.
        const QCoreApplication *app = QCoreApplication::instance();
        if (app && app->thread() != QThread::currentThread()) {
            qWarning("Profile::instance(): first called outside the application's thread;"
                     " the store and its connections move to that thread");
            profile->d->moveConnections(app->thread());
            profile->moveToThread(app->thread());
        }
        static Closer closer{profile};
        return profile;
    }();
    return *store;
}

void Profile::setDataDirectory(const QString &path)
{
    StoreRegistry &r = registry();
    QMutexLocker locker(&r.mutex);
    if (r.instanceMade)
        qWarning().noquote() << "Profile::setDataDirectory(): the process-wide store is open"
                             << "already and keeps its files; only stores made from now on use"
                             << (path.isEmpty() ? QStringLiteral("the current directory") : path);
    r.dataDirectory = path;
}

QString Profile::dataDirectory()
{
    StoreRegistry &r = registry();
    QMutexLocker locker(&r.mutex);
    return r.dataDirectory.isEmpty() ? QDir::currentPath() : r.dataDirectory;
}

void Profile::sync()
{
    d->sync();
}

void Profile::init(const QString &fileName)
{
    d.reset(new ProfilePrivate);
    d->baseThread = QThread::currentThread();

    QString directory;
    {
        // The first free set of names: the plain ones unless a store alive
        // holds them.
        StoreRegistry &r = registry();
        QMutexLocker locker(&r.mutex);
        int slot = 0;
        while (r.takenNames.contains(slot))
            ++slot;
        r.takenNames.insert(slot);
        d->nameSlot = slot;
        d->serial = ++r.nextSerial;
        directory = r.dataDirectory;
    }
    for (int i = 0; i < connectionCount; ++i) {
        const QString plain = QString::fromLatin1(fileNames[i]);
        d->names[i] = d->nameSlot == 0 ? plain : QStringLiteral("%1#%2").arg(plain).arg(d->nameSlot);
        const QString given = i == SettingsConnection ? fileName : plain;
        // Without a data directory the names stay as given, relative to the
        // current directory when opened, as they always were.
        const QString file = directory.isEmpty() ? given : QDir(directory).filePath(given);
        d->files[i] = QFileInfo(file).absoluteFilePath();
    }
    const QString settingsFile = directory.isEmpty() ? fileName : QDir(directory).filePath(fileName);

    QSqlDatabase db = addConnection(d->names[SettingsConnection], settingsFile);
    if (!db.open()) {
        // One arg() call: a '%' in the file name must not swallow the error.
        warning(tr("无法加载配置文件 %1\n%2").arg(settingsFile, db.lastError().text()),
                QMessageBox::Ok, QMessageBox::NoButton);
    }
    const bool hasTables = !db.tables(QSql::Tables).isEmpty();
    if (!hasTables)
        warning(tr("错误的配置文件 %1").arg(settingsFile), QMessageBox::Ok, QMessageBox::NoButton);

    // Nobody else can see the object yet: no lock needed.
    QSqlQuery query(db);
    if (db.isOpen() && query.exec(QStringLiteral("select name, value from profile"))) {
        while (query.next()) {
            // A NULL (left by another tool or by hand) is no value: readers get
            // their default, as for a missing row. The driver gives a NULL as
            // a null text variant; stored text, even empty, is never null.
            const QVariant stored = query.value(1);
            const bool null = stored.isNull() && stored.userType() == QMetaType::QString;
            d->values.insert(query.value(0).toString(), null ? QVariant() : stored);
        }
    } else if (hasTables) {
        // A file with tables but no usable settings table gets no box.
        qWarning().noquote() << "Profile: cannot read the settings of" << settingsFile << ":"
                             << query.lastError().text();
    }

    for (const Connection which : {DataConnection, QcConnection, SyslogConnection}) {
        const QString plain = QString::fromLatin1(fileNames[which]);
        const QString file = directory.isEmpty() ? plain : QDir(directory).filePath(plain);
        QSqlDatabase other = addConnection(d->names[which], file);
        if (!other.open())
            warning(tr("无法打开数据库文件 %1").arg(file), QMessageBox::Ok, QMessageBox::NoButton);
        if (other.tables(QSql::Tables).isEmpty())
            warning(tr("错误的数据库文件 %1").arg(file), QMessageBox::Ok, QMessageBox::NoButton);
    }

    connect(this, &Profile::valueChanged, this, &Profile::saveValue, Qt::AutoConnection);
    connect(this, &Profile::keyRemoved, this, &Profile::removeKey, Qt::AutoConnection);
    // Changes queued from other threads would be lost with the event loop
    // that was to run them: they are written as the application quits.
    if (const QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, [this] { d->sync(); },
                Qt::DirectConnection);
}

QSqlDatabase Profile::database() const
{
    return d->connection(SettingsConnection);
}

QSqlDatabase Profile::qcDatabase() const
{
    return d->connection(QcConnection);
}

QSqlDatabase Profile::dataDatabase() const
{
    return d->connection(DataConnection);
}

QSqlDatabase Profile::syslogDatabase() const
{
    return d->connection(SyslogConnection);
}

void Profile::setValue(const QString &key, const QVariant &value, bool save)
{
    {
        QWriteLocker locker(&d->lock);
        d->values.insert(key, value);
        if (save)
            d->unwritten.insert(key, value);
    }
    if (save)
        emit valueChanged(key, value);
}

QVariant Profile::value(const QString &key, const QVariant &defaultValue)
{
    {
        QReadLocker locker(&d->lock);
        const auto it = d->values.constFind(key);
        if (it != d->values.constEnd())
            return it->isValid() ? *it : defaultValue;
    }
    QWriteLocker locker(&d->lock);
    // Another thread may have cached the key in between; keep its value.
    if (!d->values.contains(key))
        d->values.insert(key, QVariant());
    return defaultValue;
}

QVariant Profile::value2(const QString &key1, const QString &key2, const QVariant &defaultValue)
{
    const QVariant first = value(key1);
    if (first.isValid())
        return first;
    return value(key2, defaultValue);
}

void Profile::remove(const QString &key)
{
    {
        QWriteLocker locker(&d->lock);
        d->values.remove(key);
        d->unwritten.insert(key, QVariant());
    }
    emit keyRemoved(key);
}

QStringList Profile::keys() const
{
    QReadLocker locker(&d->lock);
    return d->values.keys();
}

void Profile::saveValue(const QString &key, const QVariant &)
{
    // What the signal carried may be older than a change made since in
    // another thread; the row gets the key's latest change instead.
    d->writeLatest(key);
}

void Profile::removeKey(const QString &key)
{
    d->writeLatest(key);
}

namespace {

template <typename T>
T typedValue(ProfilePrivate &, const QString &, const QVariant &value, const T &)
{
    return qvariant_cast<T>(value);
}

// A colour marks a result outside its limits: one that does not parse would
// paint it black and hide the warning, so the caller's colour is used.
QColor typedValue(ProfilePrivate &d, const QString &key, const QVariant &value,
                  const QColor &defaultValue)
{
    if (value.userType() == QMetaType::QColor) {
        const QColor colour = qvariant_cast<QColor>(value);
        return colour.isValid() ? colour : defaultValue;
    }
    const QString text = value.toString();
    if (value.userType() == QMetaType::QString) {
        const QColor colour(text);
        if (colour.isValid())
            return colour;
    }
    {
        QMutexLocker locker(&d.badColoursMutex);
        const auto it = d.badColours.constFind(key);
        if (it != d.badColours.constEnd() && *it == text)
            return defaultValue;
        d.badColours.insert(key, text);
    }
    qWarning().noquote() << "Profile: setting" << key << "holds" << ('"' + text + '"')
                         << "which is not a colour; the caller's default is used";
    return defaultValue;
}

} // namespace

#define PROFILE_DEFINE_TYPED_SETTING(Type, name) \
    Type Profile::name(const Type &defaultValue) \
    { \
        return typedValue(*d, QStringLiteral(#name), \
                          value(QStringLiteral(#name), QVariant::fromValue(defaultValue)), \
                          defaultValue); \
    } \
    void Profile::set_##name(const Type &value, bool save) \
    { \
        setValue(QStringLiteral(#name), QVariant::fromValue(value), save); \
    }
PROFILE_TYPED_SETTINGS(PROFILE_DEFINE_TYPED_SETTING)
#undef PROFILE_DEFINE_TYPED_SETTING
