#ifndef TAMGLOBAL_H
#define TAMGLOBAL_H

#include "core_global.h"

#include <QMessageBox>
#include <QString>

class QWidget;

namespace tam {

// Bits of a result's flag set. Other bits are carried along untouched.
enum ResultFlag {
    DilutionFlag = 0x0002,
    LowerReportLimitFlag = 0x0004,
    UpperReportLimitFlag = 0x0008,
    LowerMarkLimitFlag = 0x0010,
    UpperMarkLimitFlag = 0x0020,
    ManualTestFlag = 0x1000,
    ManualInputFlag = 0x8000
};

// Kind of a sample; statim and quality-control samples carry a prefix.
enum SampleType {
    RoutineSample = 0,
    StatimSample = 1,
    QcSample = 2
};

} // namespace tam

// The window a message box should belong to: the active modal widget's
// window, else the active window's, else null.
CORE_EXPORT QWidget *topLevelWidget();

// Modal message boxes titled with the application name and parented to
// topLevelWidget(). They show the arrow cursor while open, whatever override
// cursor the caller has set, and return the button that closed the box
// (NoButton when the box was closed without one). Called without a
// QApplication or outside its thread they cannot show a box: the text goes
// to the warning channel and NoButton is returned.
CORE_EXPORT QMessageBox::StandardButton information(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
CORE_EXPORT QMessageBox::StandardButton question(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
CORE_EXPORT QMessageBox::StandardButton warning(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
CORE_EXPORT QMessageBox::StandardButton critical(const QString &text,
        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

// Scoped application-wide override cursor. Guards nest; each destructor
// restores the cursor that was shown before its constructor. Outside the
// application's thread both ends do nothing.
class CORE_EXPORT WaitCursor
{
public:
    explicit WaitCursor(Qt::CursorShape shape = Qt::WaitCursor);
    ~WaitCursor();

private:
    Q_DISABLE_COPY(WaitCursor)
};

// Sets a flag for the lifetime of the guard and writes the flag's previous
// value back on destruction, whatever it holds by then.
class CORE_EXPORT BoolLocker
{
public:
    explicit BoolLocker(bool &flag, bool value = true);
    ~BoolLocker();

private:
    Q_DISABLE_COPY(BoolLocker)
    bool &m_flag;
    const bool m_previous;
};

// Suspends the calling thread; does not process events.
CORE_EXPORT void sleep(int milliseconds);

// Empty marker class of the library.
class CORE_EXPORT Core
{
public:
    Core();
    ~Core();
    Core(const Core &other);
    Core &operator=(const Core &other);
};

#endif // TAMGLOBAL_H
