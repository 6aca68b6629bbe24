#ifndef SETTINGSMODEL_H
#define SETTINGSMODEL_H

#include <propertyitemmodel.h>

class Profile;

// The settings of a Profile as a tree: keys are paths of words separated by
// "/", one level per word. Values are shown and edited as text; an edit is
// converted back to the type the setting had (a number stays a number) and
// saved through the store. Text that is not a number for a numeric setting
// is refused and the old value stays.
class SettingsModel : public PropertyItemModel
{
    Q_OBJECT
public:
    explicit SettingsModel(QObject *parent = nullptr);

    // Shows the keys of the store's table with the store's values.
    void load(Profile &profile);
    Profile *profile() const;

    // The item of a key, or null.
    PropertyItem *itemForKey(const QString &key) const;

signals:
    void settingSaved(const QString &key, const QVariant &value);
    void settingRejected(const QString &key, const QString &message);

private:
    Profile *m_profile = nullptr;
};

#endif // SETTINGSMODEL_H
