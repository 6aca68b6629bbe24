#ifndef TAMGLOBAL_H
#define TAMGLOBAL_H

#include "core_global.h"
#include "tamenums.h"

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QVariant>

class QDate;
class QSqlRecord;
class QWidget;

/// \file tamglobal.h
/// \brief The library's helpers: message boxes and guards, numbers and text,
/// sample numbering, script evaluation.

/// The window a message box should belong to: the active modal widget's
/// window, else the active window's, else null. GUI thread only.
CORE_EXPORT QWidget *topLevelWidget();

/// Whether Core shows its message boxes. Off, every box of information(),
/// question(), warning() and critical() (and so the settings store's start-up
/// boxes and load_script()'s) goes to the warning channel instead and gives
/// NoButton: for unattended tests and programs without a GUI event loop,
/// where a modal box would wait for nobody. On by default; the environment
/// variable CORE_NO_MESSAGE_BOXES=1 turns it off from the start. Any thread.
CORE_EXPORT void setMessageBoxesShown(bool shown);
/// Whether Core shows its message boxes (see setMessageBoxesShown()). Any
/// thread.
CORE_EXPORT bool messageBoxesShown();

/// Modal message boxes titled with the application name and parented to
/// topLevelWidget(). They show the arrow cursor while open, whatever override
/// cursor the caller has set, and return the button that closed the box
/// (NoButton when the box was closed without one). Called without a
/// QApplication, outside its thread or with messageBoxesShown() false they
/// show no box: the text goes to the warning channel and NoButton is returned.
/// So any thread may call them; only the GUI thread gets a box. See
/// https://doc.qt.io/qt-5/qmessagebox.html for the buttons.
///
/// This one shows an information box.
CORE_EXPORT QMessageBox::StandardButton information(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
/// A question box, Yes and No unless told otherwise; as information().
CORE_EXPORT QMessageBox::StandardButton question(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
/// A warning box; as information().
CORE_EXPORT QMessageBox::StandardButton warning(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
/// A critical box; as information().
CORE_EXPORT QMessageBox::StandardButton critical(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

/// Scoped application-wide override cursor. Guards nest; each destructor
/// restores the cursor that was shown before its constructor. Outside the
/// application's thread both ends do nothing.
class CORE_EXPORT WaitCursor
{
public:
    /// Shows \a shape over the whole application until the destructor.
    explicit WaitCursor(Qt::CursorShape shape = Qt::WaitCursor);
    /// Restores the cursor shown before the constructor.
    ~WaitCursor();

private:
    Q_DISABLE_COPY(WaitCursor)
};

/// Sets a flag for the lifetime of the guard and writes the flag's previous
/// value back on destruction, whatever it holds by then.
class CORE_EXPORT BoolLocker
{
public:
    /// Sets \a flag to \a value, remembering what it held.
    explicit BoolLocker(bool &flag, bool value = true);
    /// Writes the remembered value back into the flag.
    ~BoolLocker();

private:
    Q_DISABLE_COPY(BoolLocker)
    bool &m_flag;
    const bool m_previous;
};

/// Suspends the calling thread for \a milliseconds; does not process events.
/// Any thread.
CORE_EXPORT void sleep(int milliseconds);

/// Empty marker class of the library.
class CORE_EXPORT Core
{
public:
    Core();                              ///< Nothing to make.
    ~Core();                             ///< Nothing to free.
    Core(const Core &other);             ///< Nothing to copy.
    Core &operator=(const Core &other);  ///< Nothing to copy.
};

// Numbers and text, sample numbering, script evaluation.

/// The first ratio found in the text ("1/10", "3 : 4", "-1.5/3"), as the first
/// number divided by the second; a zero divisor gives an infinity or NaN.
/// Any Unicode white space may stand around the separator, digits of any
/// script count by their value, and the full-width point, separators and
/// signs ("１／１０") as the ASCII ones. Without a ratio, 0.0 and *ok false.
/// Safe from any thread.
CORE_EXPORT double fraction(const QString &text, bool *ok = nullptr);

/// The value cut to what QString::number(value, format, precision) shows
/// ('f' decimals, 'e'/'E' exponent form, 'g'/'G' significant digits).
/// Infinities and NaN stay as they are. Any thread.
CORE_EXPORT double round(double value, int precision, char format);

/// The dilution ratios offered to the user, in display order. Any thread.
CORE_EXPORT QStringList dilutionList();

/// A volume given in microlitres, as "500 uL", "1.5 mL" or "1.235 L". Any
/// thread.
CORE_EXPORT QString humanReadableVolume(int volume);
/// As above, except that volumes of code 4096 without flag are shown in litres
/// with one decimal, below 0.1 L as "<0.1 L". Any thread.
CORE_EXPORT QString humanReadableVolume(int code, int volume, bool flag);

/// CRC-16/CCITT-FALSE (polynomial 0x1021, initial 0xFFFF, unreflected, no
/// final XOR) of length bytes; a length of 0 or less gives 0xFFFF. Any
/// thread.
CORE_EXPORT quint16 crc16(const void *data, int length);

/// The prefix of a sample kind from the settings profile: statim "S" and
/// quality control "QC" unless set otherwise, none for routine samples and
/// unknown kinds. Read on every call. Any thread.
CORE_EXPORT QString samplePrefix(tam::SampleType type);

/// One more than the highest sample number of the day in the patient table
/// of the data database, numbers compared as 64-bit integers; 1 for a day
/// without numbers; -1 (never a sample number) when the query fails, which
/// is logged. At the largest
/// qint64 it stays there instead of wrapping. Callers that keep the result in
/// an int still compile, but numbers past 2^31 - 1 need the qint64. Reserves
/// nothing: two callers asking before either inserts get the same number.
/// Any thread: the query runs on the calling thread's connection, so a worker
/// gets the same answer as the GUI thread. When the thread can have no
/// connection to data.db, -1 (never a sample number) and a critical message.
CORE_EXPORT qint64 nextSampleNo(const QDate &date);

/// Sets a field's value and marks it generated, so that a model's SQL
/// includes it. A name the record does not have changes nothing. Any thread
/// (the record is the caller's).
CORE_EXPORT void setGeneratedValue(QSqlRecord &record, const QString &name, const QVariant &value);

/// Runs an ECMAScript program in an engine of its own and returns its value:
/// numbers as double, strings, booleans, lists and maps; undefined, null and
/// an uncaught exception as an invalid variant. Shows nothing. Any thread:
/// each call has an engine of its own.
CORE_EXPORT QVariant eval(const QString &program);

/// Runs a UTF-8 script file in an engine of its own and returns its value as
/// eval() does. An uncaught exception is shown in a critical message box (so
/// call it from the GUI thread) and gives an invalid variant; a file that
/// cannot be read runs as an empty script.
CORE_EXPORT QVariant load_script(const QString &fileName);

#endif // TAMGLOBAL_H
