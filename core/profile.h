#ifndef PROFILE_H
#define PROFILE_H

#include "core_global.h"

#include <QColor>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>

class ProfilePrivate;

// The typed settings: type and key of each. Every entry gives a getter named
// like the key and a setter named set_<key>; they add a type to value() and
// setValue(). A stored value of another kind reads as the type's empty value,
// except for colours: one that does not parse gives the caller's default (a
// black result would hide its flag) and is reported once on the warning
// channel; the stored text stays as it is.
#define PROFILE_TYPED_SETTINGS(X) \
    X(QString, statim_sample_prefix) \
    X(QString, qc_sample_prefix) \
    X(QString, result_is_preparing) \
    X(QString, result_can_not_be_calculated) \
    X(QString, result_is_incubating) \
    X(QString, result_is_analysing) \
    X(QString, result_not_clotted) \
    X(QString, dilution_result_flag) \
    X(QString, lower_report_limit_flag) \
    X(QString, upper_report_limit_flag) \
    X(QString, lower_mark_limit_flag) \
    X(QString, upper_mark_limit_flag) \
    X(QString, manual_input_flag) \
    X(QColor, color_of_waiting) \
    X(QColor, color_of_dispensing) \
    X(QColor, color_of_incubating) \
    X(QColor, color_of_analysing) \
    X(QColor, color_of_null_result) \
    X(QColor, color_of_lower_report) \
    X(QColor, color_of_upper_report) \
    X(QColor, color_of_lower_mark) \
    X(QColor, color_of_upper_mark) \
    X(QString, analysis_display_assay) \
    X(QString, patient_display_fields) \
    X(int, max_qc_file) \
    X(int, qc_method) \
    X(QString, hospital) \
    X(bool, is_touch_screen)

// The settings store over table "profile" of the settings database, and the
// owner of the four database connections of the library.
//
// Every setting is held in memory; lookups never touch the database. A row
// whose value is NULL is a key without a value: readers get their default.
// A change is applied to memory at once and, when saved, written as one row
// by the store's own slot in the thread that owns the store: at once when the
// change is made in that thread, later through its event loop otherwise. The
// row always ends with the key's latest saved change, whichever thread made
// it; a change with save false is never written. Any thread may read and
// change settings; the database connections are used only in the owning
// thread.
class CORE_EXPORT Profile : public QObject
{
    Q_OBJECT

public:
    explicit Profile(QObject *parent = nullptr);
    Profile(const QString &fileName, QObject *parent);
    ~Profile() override;

    // The process-wide store over "profile.db". Make the first call in the
    // GUI thread: start-up problems are shown in message boxes.
    static Profile &instance();

    QSqlDatabase database() const;
    QSqlDatabase qcDatabase() const;
    QSqlDatabase dataDatabase() const;
    QSqlDatabase syslogDatabase() const;

    // Caches the value; with save, writes it (an invalid value deletes the row).
    void setValue(const QString &key, const QVariant &value, bool save = true);
    // The cached value, or defaultValue when the key has none. A key that was
    // never cached is remembered without a value and listed by keys().
    QVariant value(const QString &key, const QVariant &defaultValue = QVariant());
    // The value of key1 when it has one, else that of key2, else defaultValue.
    QVariant value2(const QString &key1, const QString &key2,
                    const QVariant &defaultValue = QVariant());
    // Forgets the key and deletes its row, cached or not.
    void remove(const QString &key);
    // Every cached key, including those without a value.
    QStringList keys() const;

#define PROFILE_DECLARE_TYPED_SETTING(Type, name) \
    Type name(const Type &defaultValue = Type()); \
    void set_##name(const Type &value, bool save = true);
    PROFILE_TYPED_SETTINGS(PROFILE_DECLARE_TYPED_SETTING)
#undef PROFILE_DECLARE_TYPED_SETTING

signals:
    void valueChanged(const QString &key, const QVariant &value);
    void keyRemoved(const QString &key);

private slots:
    void saveValue(const QString &key, const QVariant &value);
    void removeKey(const QString &key);

private:
    Q_DISABLE_COPY(Profile)
    void init(const QString &fileName);

    std::unique_ptr<ProfilePrivate> d;
};

#endif // PROFILE_H
