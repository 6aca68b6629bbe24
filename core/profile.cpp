#include "profile.h"

#include "tamglobal.h"

#include <QHash>
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
    case QMetaType::Bool:
        return QVariant(value.toBool() ? QStringLiteral("true") : QStringLiteral("false"));
    case QMetaType::QColor:
        return QVariant(qvariant_cast<QColor>(value).name());
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
    // Guards values only; never held across a signal or an SQL statement.
    mutable QReadWriteLock lock;
};

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
        while (query.next())
            d->values.insert(query.value(0).toString(), query.value(1));
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
    }
    emit keyRemoved(key);
}

QStringList Profile::keys() const
{
    QReadLocker locker(&d->lock);
    return d->values.keys();
}

void Profile::saveValue(const QString &key, const QVariant &value)
{
    QSqlQuery query(database());
    if (value.isValid()) {
        if (!storable(value)) {
            qWarning().noquote() << "Profile: setting" << key << "not written: a value of type"
                                 << value.typeName() << "has no stored form";
            return;
        }
        query.prepare(QStringLiteral("insert or replace into profile (name, value) values(?,?)"));
        query.addBindValue(QVariant(key));
        query.addBindValue(boundForm(value));
    } else {
        query.prepare(QStringLiteral("delete from profile where name = ?"));
        query.addBindValue(QVariant(key));
    }
    // Memory already holds the change; a failed write must at least be seen.
    if (!query.exec())
        qWarning().noquote() << "Profile: cannot write setting" << key << ":"
                             << query.lastError().text();
}

void Profile::removeKey(const QString &key)
{
    QSqlQuery query(database());
    query.prepare(QStringLiteral("delete from profile where name = ?"));
    query.addBindValue(QVariant(key));
    if (!query.exec())
        qWarning().noquote() << "Profile: cannot delete setting" << key << ":"
                             << query.lastError().text();
}

#define PROFILE_DEFINE_TYPED_SETTING(Type, name) \
    Type Profile::name(const Type &defaultValue) \
    { \
        return qvariant_cast<Type>(value(QStringLiteral(#name), QVariant::fromValue(defaultValue))); \
    } \
    void Profile::set_##name(const Type &value, bool save) \
    { \
        setValue(QStringLiteral(#name), QVariant::fromValue(value), save); \
    }
PROFILE_TYPED_SETTINGS(PROFILE_DEFINE_TYPED_SETTING)
#undef PROFILE_DEFINE_TYPED_SETTING
