#include "settingsmodel.h"

#include <profile.h>
#include <propertyitem.h>

#include <QColor>
#include <QSqlQuery>

namespace {

// A node of the settings tree. A node whose path is a key holds its value;
// the others only group keys.
class SettingItem : public PropertyItem
{
public:
    SettingItem(const QString &name, const QString &key)
        : PropertyItem(name, QVariant()), m_key(key)
    {
        setEditable(false);
    }

    QString key() const { return m_key; }

    void setStored(const QVariant &stored)
    {
        m_stored = stored;
        m_hasValue = true;
        setEditable(true);
        PropertyItem::setValue(stored.toString(), false);
        showColour();
    }

    void setValue(const QVariant &value, bool notify) override
    {
        if (!notify || !m_hasValue) {
            PropertyItem::setValue(value, notify);
            return;
        }
        auto *settings = qobject_cast<SettingsModel *>(model());
        QVariant typed;
        QString problem;
        if (!convert(value.toString(), &typed, &problem)) {
            // Show the stored value again: the edit is not taken.
            PropertyItem::setValue(m_stored.toString(), false);
            if (settings)
                emit settings->settingRejected(m_key, problem);
            return;
        }
        m_stored = typed;
        PropertyItem::setValue(typed.toString(), true);
        showColour();
        if (settings && settings->profile()) {
            settings->profile()->setValue(m_key, typed, true);
            emit settings->settingSaved(m_key, typed);
        }
    }

private:
    bool convert(const QString &text, QVariant *typed, QString *problem) const
    {
        bool ok = true;
        QString kind;
        switch (m_stored.userType()) {
        case QMetaType::LongLong:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::ULongLong:
            *typed = text.trimmed().toLongLong(&ok);
            kind = SettingsModel::tr("a whole number");
            break;
        case QMetaType::Double:
            *typed = text.trimmed().toDouble(&ok);
            kind = SettingsModel::tr("a number");
            break;
        default:
            *typed = text;
            break;
        }
        if (!ok)
            *problem = SettingsModel::tr("%1: \"%2\" is not %3; the setting keeps %4")
                           .arg(m_key, text, kind, m_stored.toString());
        return ok;
    }

    // A colour setting (#RRGGBB) shows a swatch of its colour.
    void showColour()
    {
        const QString text = m_stored.toString();
        const bool isColour = m_stored.userType() == QMetaType::QString
                && text.startsWith(QLatin1Char('#')) && QColor::isValidColor(text);
        setData(isColour ? QVariant(QColor(text)) : QVariant(), Qt::DecorationRole);
    }

    QString m_key;
    QVariant m_stored;
    bool m_hasValue = false;
};

} // namespace

SettingsModel::SettingsModel(QObject *parent)
    : PropertyItemModel(parent)
{
}

Profile *SettingsModel::profile() const
{
    return m_profile;
}

void SettingsModel::load(Profile &profile)
{
    m_profile = &profile;
    for (PropertyItem *child : rootItem()->children()) {
        rootItem()->remove(child);
        delete child;
    }

    // The store also remembers keys that were only asked for; the tree shows
    // what the file holds.
    QStringList keys;
    QSqlQuery query(profile.database());
    if (query.exec(QStringLiteral("select name from profile")))
        while (query.next())
            keys.append(query.value(0).toString());
    keys.removeDuplicates();
    keys.sort(Qt::CaseInsensitive);

    for (const QString &key : keys) {
        PropertyItem *parent = rootItem();
        const QStringList words = key.split(QLatin1Char('/'));
        QString path;
        for (const QString &word : words) {
            path = path.isEmpty() ? word : path + QLatin1Char('/') + word;
            PropertyItem *found = nullptr;
            for (PropertyItem *child : parent->children()) {
                if (static_cast<SettingItem *>(child)->key() == path) {
                    found = child;
                    break;
                }
            }
            if (!found) {
                found = new SettingItem(word, path);
                parent->append(found);
            }
            parent = found;
        }
        static_cast<SettingItem *>(parent)->setStored(profile.value(key));
    }
}

PropertyItem *SettingsModel::itemForKey(const QString &key) const
{
    PropertyItem *item = rootItem();
    QString path;
    for (const QString &word : key.split(QLatin1Char('/'))) {
        path = path.isEmpty() ? word : path + QLatin1Char('/') + word;
        PropertyItem *next = nullptr;
        for (PropertyItem *child : item->children()) {
            if (static_cast<SettingItem *>(child)->key() == path) {
                next = child;
                break;
            }
        }
        if (!next)
            return nullptr;
        item = next;
    }
    return item == rootItem() ? nullptr : item;
}
