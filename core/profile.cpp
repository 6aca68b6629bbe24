#include "profile.h"

#include "tamglobal.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QReadLocker>
#include <QReadWriteLock>
#include <QSqlError>
#include <QSqlQuery>
#include <QWriteLocker>
#include <QtDebug>

namespace {

const char profileConnection[] = "profile.db";
const char dataConnection[] = "data.db";
const char qcConnection[] = "qc.db";
const char syslogConnection[] = "syslog.db";

// A locked database waits this long before a statement fails.
const char connectOptions[] = "QSQLITE_BUSY_TIMEOUT=30000";

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

    // Writes the key's unwritten change, if an earlier call has not already.
    void writeLatest(const QString &key);
};

void ProfilePrivate::writeLatest(const QString &key)
{
    QVariant value;
    {
        QWriteLocker locker(&lock);
        const auto it = unwritten.find(key);
        if (it == unwritten.end())
            return;
        value = *it;
        unwritten.erase(it);
    }

    QSqlQuery query(QSqlDatabase::database(QString::fromLatin1(profileConnection), true));
    if (!value.isValid()) {
        query.prepare(QStringLiteral("delete from profile where name = ?"));
        query.addBindValue(QVariant(key));
        if (!query.exec())
            qWarning().noquote() << "Profile: cannot delete setting" << key << ":"
                                 << query.lastError().text();
        return;
    }
    if (!storable(value)) {
        qWarning().noquote() << "Profile: setting" << key << "not written: a value of type"
                             << value.typeName() << "has no stored form";
        return;
    }
    query.prepare(QStringLiteral("insert or replace into profile (name, value) values(?,?)"));
    query.addBindValue(QVariant(key));
    query.addBindValue(boundForm(value));
    // Memory already holds the change; a failed write must at least be seen.
    if (!query.exec())
        qWarning().noquote() << "Profile: cannot write setting" << key << ":"
                             << query.lastError().text();
}

Profile::Profile(QObject *parent)
    : QObject(parent)
{
    init(QString::fromLatin1(profileConnection));
}

Profile::Profile(const QString &fileName, QObject *parent)
    : QObject(parent)
{
    init(fileName);
}

Profile::~Profile() = default;

Profile &Profile::instance()
{
    static Profile profile;
    return profile;
}

void Profile::init(const QString &fileName)
{
    d.reset(new ProfilePrivate);

    QSqlDatabase db = addConnection(QString::fromLatin1(profileConnection), fileName);
    if (!db.open()) {
        // One arg() call: a '%' in the file name must not swallow the error.
        warning(tr("无法加载配置文件 %1\n%2").arg(fileName, db.lastError().text()),
                QMessageBox::Ok, QMessageBox::NoButton);
    }
    const bool hasTables = !db.tables(QSql::Tables).isEmpty();
    if (!hasTables)
        warning(tr("错误的配置文件 %1").arg(fileName), QMessageBox::Ok, QMessageBox::NoButton);

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
        qWarning().noquote() << "Profile: cannot read the settings of" << fileName << ":"
                             << query.lastError().text();
    }

    for (const char *name : {dataConnection, qcConnection, syslogConnection}) {
        const QString file = QString::fromLatin1(name);
        QSqlDatabase other = addConnection(file, file);
        if (!other.open())
            warning(tr("无法打开数据库文件 %1").arg(file), QMessageBox::Ok, QMessageBox::NoButton);
        if (other.tables(QSql::Tables).isEmpty())
            warning(tr("错误的数据库文件 %1").arg(file), QMessageBox::Ok, QMessageBox::NoButton);
    }

    connect(this, &Profile::valueChanged, this, &Profile::saveValue, Qt::AutoConnection);
    connect(this, &Profile::keyRemoved, this, &Profile::removeKey, Qt::AutoConnection);
}

QSqlDatabase Profile::database() const
{
    return QSqlDatabase::database(QString::fromLatin1(profileConnection), true);
}

QSqlDatabase Profile::qcDatabase() const
{
    return QSqlDatabase::database(QString::fromLatin1(qcConnection), true);
}

QSqlDatabase Profile::dataDatabase() const
{
    return QSqlDatabase::database(QString::fromLatin1(dataConnection), true);
}

QSqlDatabase Profile::syslogDatabase() const
{
    return QSqlDatabase::database(QString::fromLatin1(syslogConnection), true);
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
