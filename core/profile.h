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

/// \brief The typed settings, one X(type, key) entry each, with what the
/// setting is in the comment beside it.
///
/// Every entry gives Profile a getter named like the key and a setter named
/// set_<key>; they add a type to Profile::value() and Profile::setValue(). A
/// stored value of another kind reads as the type's empty value, except for
/// colours: one that does not parse gives the caller's default (a black
/// result would hide its flag) and is reported once on the warning channel;
/// the stored text stays as it is. Any thread, as value() and setValue().
/// Callers may expand the table with an X macro of their own (a settings
/// dialog listing every key, say).
#define PROFILE_TYPED_SETTINGS(X) \
    X(QString, statim_sample_prefix)         /* the prefix of statim sample numbers (samplePrefix() passes "S") */ \
    X(QString, qc_sample_prefix)             /* the prefix of quality-control sample numbers (samplePrefix() passes "QC") */ \
    X(QString, result_is_preparing)          /* the text a result list shows while a test is being prepared */ \
    X(QString, result_can_not_be_calculated) /* the text of a result that cannot be calculated (AnalysisResult passes "---.-") */ \
    X(QString, result_is_incubating)         /* the text a result list shows while a sample incubates */ \
    X(QString, result_is_analysing)          /* the text a result list shows while a sample is measured */ \
    X(QString, result_not_clotted)           /* the text of a sample that did not clot (AnalysisResult passes the Chinese for not clotted) */ \
    X(QString, dilution_result_flag)         /* the mark before a diluted result (AnalysisResult passes "!") */ \
    X(QString, lower_report_limit_flag)      /* the mark before a result under its lower report limit (AnalysisResult passes "<") */ \
    X(QString, upper_report_limit_flag)      /* the mark before a result over its upper report limit (AnalysisResult passes ">") */ \
    X(QString, lower_mark_limit_flag)        /* the mark after a result under its lower marking limit (AnalysisResult passes "↓") */ \
    X(QString, upper_mark_limit_flag)        /* the mark after a result over its upper marking limit (AnalysisResult passes "↑") */ \
    X(QString, manual_input_flag)            /* the mark before a result typed in by hand (AnalysisResult passes "M") */ \
    X(QColor, color_of_waiting)              /* the colour of a sample waiting to be measured */ \
    X(QColor, color_of_dispensing)           /* the colour of a sample being dispensed */ \
    X(QColor, color_of_incubating)           /* the colour of a sample that incubates */ \
    X(QColor, color_of_analysing)            /* the colour of a sample being measured */ \
    X(QColor, color_of_null_result)          /* the colour of a result without a value (AnalysisResult passes red) */ \
    X(QColor, color_of_lower_report)         /* the colour of a result under its lower report limit (AnalysisResult passes red) */ \
    X(QColor, color_of_upper_report)         /* the colour of a result over its upper report limit (AnalysisResult passes red) */ \
    X(QColor, color_of_lower_mark)           /* the colour of a result under its lower marking limit (AnalysisResult passes orange: red 255, green 170, blue 0) */ \
    X(QColor, color_of_upper_mark)           /* the colour of a result over its upper marking limit (AnalysisResult passes orange: red 255, green 170, blue 0) */ \
    X(QString, analysis_display_assay)       /* the assays a result list shows, as the front end lists them */ \
    X(QString, patient_display_fields)       /* the patient fields a patient list shows, as the front end lists them */ \
    X(int, max_qc_file)                      /* the number of quality-control files kept */ \
    X(int, qc_method)                        /* the quality-control method, by its number */ \
    X(QString, hospital)                     /* the name of the hospital, printed on reports */ \
    X(bool, is_touch_screen)                 /* whether the front end runs on a touch screen (stored as true or false) */

/// \class Profile
/// \brief The settings store over table "profile" of the settings database,
/// and the owner of the library's four database connections.
///
/// Every setting is held in memory; lookups never touch the database. A row
/// whose value is NULL is a key without a value: readers get their default.
/// A change is applied to memory at once and, when saved, written as one row
/// by the store's own slot in the thread that owns the store: at once when the
/// change is made in that thread, later through its event loop otherwise, and
/// at the latest by sync(), which the destructor and
/// QCoreApplication::aboutToQuit() call. The row always ends with the key's
/// latest saved change, whichever thread made it; a change with save false is
/// never written.
///
/// Threads: any thread may read and change settings. The database() family
/// gives each thread a connection of its own (cloned from the store's, closed
/// when the thread ends), so queries answer the same in every thread; a
/// QSqlDatabase must not be handed to another thread.
///
/// Placing a store: the files are looked for in dataDirectory(), the current
/// directory unless setDataDirectory() named another before the store was
/// made. The first store alive takes the connection names "profile.db",
/// "data.db", "qc.db" and "syslog.db"; a store made while another holds them
/// (a settings dialog's test, say) gets names of its own ("data.db#1", ...),
/// leaves the first one's connections alone and gives its names back when
/// destroyed.
///
/// See the Qt documentation of QSqlDatabase
/// (https://doc.qt.io/qt-5/qsqldatabase.html) for what a connection offers.
class CORE_EXPORT Profile : public QObject
{
    Q_OBJECT

public:
    /// A store over "profile.db" of dataDirectory(). Start-up problems are
    /// shown in warning boxes (see messageBoxesShown()).
    explicit Profile(QObject *parent = nullptr);
    /// A store over the settings file \a fileName (a relative name is taken
    /// in dataDirectory()); the other three files as above.
    Profile(const QString &fileName, QObject *parent);
    /// Writes pending changes (sync()), then closes and removes this store's
    /// connections in every thread. Any thread, once no other thread uses it.
    ~Profile() override;

    /// The process-wide store over "profile.db", made on the first call in
    /// whichever thread makes it and moved, with its connections, to the
    /// application's thread (with a warning) when the application object
    /// exists and that is another thread. It lives until the process exits;
    /// called later, from a static object's destructor, it is a closed store
    /// that answers from memory and refuses every write with a critical
    /// message. Any thread.
    static Profile &instance();

    /// Names the directory of the four files for stores made from now on;
    /// call it before the first instance(). An empty path means the current
    /// directory (the default). Any thread.
    static void setDataDirectory(const QString &path);
    /// The directory named by setDataDirectory(), or the current directory.
    static QString dataDirectory();

    /// The calling thread's connection to the settings file. Any thread; use
    /// the result only in the calling thread.
    QSqlDatabase database() const;
    /// The calling thread's connection to "qc.db". Thread rule as database().
    QSqlDatabase qcDatabase() const;
    /// The calling thread's connection to "data.db". Thread rule as
    /// database(). When none can be had (the file cannot be opened, the store
    /// is closed) the result is not open and a critical message says why.
    QSqlDatabase dataDatabase() const;
    /// The calling thread's connection to "syslog.db". Thread rule as
    /// database().
    QSqlDatabase syslogDatabase() const;

    /// Caches the value; with \a save, writes it (an invalid value deletes
    /// the row). Any thread.
    void setValue(const QString &key, const QVariant &value, bool save = true);
    /// The cached value, or \a defaultValue when the key has none. A key that
    /// was never cached is remembered without a value and listed by keys().
    /// Any thread.
    QVariant value(const QString &key, const QVariant &defaultValue = QVariant());
    /// The value of \a key1 when it has one, else that of \a key2, else
    /// \a defaultValue. Any thread.
    QVariant value2(const QString &key1, const QString &key2,
                    const QVariant &defaultValue = QVariant());
    /// Forgets the key and deletes its row, cached or not. Any thread.
    void remove(const QString &key);
    /// Every cached key, including those without a value. Any thread.
    QStringList keys() const;
    /// Writes every saved change not yet in the file now, in the calling
    /// thread's connection; failures go to the warning channel. Any thread.
    void sync();

#define PROFILE_DECLARE_TYPED_SETTING(Type, name) \
    Type name(const Type &defaultValue = Type()); \
    void set_##name(const Type &value, bool save = true);
    PROFILE_TYPED_SETTINGS(PROFILE_DECLARE_TYPED_SETTING)
#undef PROFILE_DECLARE_TYPED_SETTING

Q_SIGNALS:
    /// Emitted by setValue() with save true, in the calling thread.
    void valueChanged(const QString &key, const QVariant &value);
    /// Emitted by every remove(), in the calling thread.
    void keyRemoved(const QString &key);

private Q_SLOTS:
    void saveValue(const QString &key, const QVariant &value);
    void removeKey(const QString &key);

private:
    Q_DISABLE_COPY(Profile)
    void init(const QString &fileName);

    std::unique_ptr<ProfilePrivate> d;
};

#endif // PROFILE_H
