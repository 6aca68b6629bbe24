#ifndef TAMGLOBAL_H
#define TAMGLOBAL_H

#include "core_global.h"

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


// ---------------------------------------------------------------------------
// Numbers and text, sample numbering, script evaluation
// ---------------------------------------------------------------------------

#include <QStringList>
#include <QVariant>

// The first ratio found in the text ("1/10", "3 : 4", "-1.5/3"), as the first
// number divided by the second; a zero divisor gives an infinity or NaN.
// Without a ratio, 0.0 and *ok false. Safe from any thread.
CORE_EXPORT double fraction(const QString &text, bool *ok = nullptr);

// The value cut to what QString::number(value, format, precision) shows
// ('f' decimals, 'e'/'E' exponent form, 'g'/'G' significant digits).
CORE_EXPORT double round(double value, int precision, char format);

// The dilution ratios offered to the user, in display order.
CORE_EXPORT QStringList dilutionList();

// A volume given in microlitres, as "500 uL", "1.5 mL" or "1.235 L".
CORE_EXPORT QString humanReadableVolume(int volume);
// As above, except that volumes of code 4096 without flag are shown in litres
// with one decimal, below 0.1 L as "<0.1 L".
CORE_EXPORT QString humanReadableVolume(int code, int volume, bool flag);

// CRC-16/CCITT-FALSE (polynomial 0x1021, initial 0xFFFF, unreflected, no
// final XOR) of length bytes; a length of 0 or less gives 0xFFFF.
CORE_EXPORT quint16 crc16(const void *data, int length);

// Runs an ECMAScript program in an engine of its own and returns its value:
// numbers as double, strings, booleans, lists and maps; undefined, null and
// an uncaught exception as an invalid variant. Shows nothing.
CORE_EXPORT QVariant eval(const QString &program);

// Runs a UTF-8 script file in an engine of its own and returns its value as
// eval() does. An uncaught exception is shown in a critical message box (so
// call it from the GUI thread) and gives an invalid variant; a file that
// cannot be read runs as an empty script.
CORE_EXPORT QVariant load_script(const QString &fileName);

#endif // TAMGLOBAL_H
