#include "tamglobal.h"

#include "profile.h"

#include <QApplication>
#include <QDate>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QWidget>
#include <QtDebug>

#include <array>
#include <atomic>
#include <limits>

namespace {

// -1: not yet read from the environment.
std::atomic<int> boxesShown{-1};

// Cursors and widgets belong to the GUI application's own thread; anywhere
// else touching them is undefined.
bool inGuiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && qobject_cast<const QGuiApplication *>(app)
           && QThread::currentThread() == app->thread();
}

QMessageBox::StandardButton showMessage(QMessageBox::Icon icon, const QString &text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton)
{
    if (!messageBoxesShown()) {
        qWarning().noquote() << "message box not shown (message boxes are off):" << text;
        return QMessageBox::NoButton;
    }
    if (!inGuiThread() || !qobject_cast<const QApplication *>(QCoreApplication::instance())) {
        // No box can be shown here; keep the text where a developer finds it.
        qWarning().noquote() << "message box not shown (no GUI thread):" << text;
        return QMessageBox::NoButton;
    }
    const WaitCursor arrow(Qt::ArrowCursor);
    QMessageBox box(icon, QCoreApplication::applicationName(), text, buttons, topLevelWidget(),
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    box.exec();
    return box.standardButton(box.clickedButton());
}

} // namespace

void setMessageBoxesShown(bool shown)
{
    boxesShown.store(shown ? 1 : 0);
}

bool messageBoxesShown()
{
    int shown = boxesShown.load();
    if (shown < 0) {
        const QByteArray off = qgetenv("CORE_NO_MESSAGE_BOXES");
        int fromEnvironment = (off.isEmpty() || off == "0") ? 1 : 0;
        // A setMessageBoxesShown() in between wins.
        boxesShown.compare_exchange_strong(shown, fromEnvironment);
        shown = boxesShown.load();
    }
    return shown == 1;
}

QWidget *topLevelWidget()
{
    QWidget *widget = QApplication::activeModalWidget();
    if (!widget)
        widget = QApplication::activeWindow();
    if (widget && widget->window())
        return widget->window();
    return widget;
}

QMessageBox::StandardButton information(const QString &text, QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton)
{
    return showMessage(QMessageBox::Information, text, buttons, defaultButton);
}

QMessageBox::StandardButton question(const QString &text, QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton defaultButton)
{
    return showMessage(QMessageBox::Question, text, buttons, defaultButton);
}

QMessageBox::StandardButton warning(const QString &text, QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton defaultButton)
{
    return showMessage(QMessageBox::Warning, text, buttons, defaultButton);
}

QMessageBox::StandardButton critical(const QString &text, QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton defaultButton)
{
    return showMessage(QMessageBox::Critical, text, buttons, defaultButton);
}

WaitCursor::WaitCursor(Qt::CursorShape shape)
{
    if (inGuiThread())
        QGuiApplication::setOverrideCursor(QCursor(shape));
}

WaitCursor::~WaitCursor()
{
    if (inGuiThread())
        QGuiApplication::restoreOverrideCursor();
}

BoolLocker::BoolLocker(bool &flag, bool value)
    : m_flag(flag), m_previous(flag)
{
    m_flag = value;
}

BoolLocker::~BoolLocker()
{
    m_flag = m_previous;
}

Core::Core() = default;
Core::~Core() = default;
Core::Core(const Core &) = default;
Core &Core::operator=(const Core &) = default;

// Numbers and text, sample numbering. Script evaluation is in
// tamglobal_script.cpp.

namespace {

// A number as the pattern captured it, in the C locale's form: digits of any
// script by their value, the full-width point and signs as ASCII ones. A
// digit the pattern knows but QChar does not leaves the text unreadable:
// *ok false rather than a wrong number.
double readNumber(const QStringRef &captured, bool *ok)
{
    QByteArray ascii;
    ascii.reserve(captured.size());
    for (const uint c : captured.toString().toUcs4()) {
        const int digit = QChar::digitValue(c);
        if (digit >= 0)
            ascii.append(char('0' + digit));
        else if (c == 0xFF0E)
            ascii.append('.');
        else if (c == 0xFF0B)
            ascii.append('+');
        else if (c == 0xFF0D || c == 0x2212)
            ascii.append('-');
        else
            ascii.append(char(c));
    }
    return ascii.toDouble(ok);
}

} // namespace

double fraction(const QString &text, bool *ok)
{
    // Matching on a const QRegularExpression is safe from several threads;
    // the pattern is compiled once, on first use. With Unicode properties \s
    // takes every white space (the ideographic space of Chinese input, the
    // no-break and thin spaces) and \d every decimal digit, so a full-width
    // number is read whole rather than from its first ASCII digit on. Input
    // methods in full-width mode also type the point, the separators and
    // the signs in full width; they count as their ASCII forms.
    static const QRegularExpression pattern(
            QStringLiteral("([+\\-\\x{FF0B}\\x{FF0D}\\x{2212}]?\\d+(?:[.\\x{FF0E}]\\d*)?)"
                           "\\s*[:/\\x{FF1A}\\x{FF0F}]\\s*"
                           "([+\\-\\x{FF0B}\\x{FF0D}\\x{2212}]?\\d+(?:[.\\x{FF0E}]\\d*)?)"),
            QRegularExpression::UseUnicodePropertiesOption);
    const QRegularExpressionMatch match = pattern.match(text);
    bool numerator = false;
    bool denominator = false;
    double value = 0.0;
    if (match.hasMatch()) {
        value = readNumber(match.capturedRef(1), &numerator)
                / readNumber(match.capturedRef(2), &denominator);
    }
    const bool found = numerator && denominator;
    if (ok)
        *ok = found;
    return found ? value : 0.0;
}

double round(double value, int precision, char format)
{
    // Text would lose infinities and NaN on the way back.
    if (!qIsFinite(value))
        return value;
    return QString::number(value, format, precision).toDouble();
}

QStringList dilutionList()
{
    static const QStringList list = {
        QStringLiteral("1/1"), QStringLiteral("1/2"), QStringLiteral("1/4"),
        QStringLiteral("1/5"), QStringLiteral("1/8"), QStringLiteral("1/10"),
        QStringLiteral("1/16"), QStringLiteral("1/20"), QStringLiteral("1/30"),
        QStringLiteral("1/40"), QStringLiteral("1/50"), QStringLiteral("1/80"),
        QStringLiteral("1/100"), QStringLiteral("1/160"), QStringLiteral("1/320"),
        QStringLiteral("2/5"), QStringLiteral("3/4"), QStringLiteral("3/5"),
        QStringLiteral("4/5")
    };
    return list;
}

QString humanReadableVolume(int volume)
{
    if (volume > 1000000)
        return QStringLiteral("%1 L").arg(volume * 1e-6, 0, 'g', 4);
    if (volume > 1000)
        return QStringLiteral("%1 mL").arg(volume * 0.001, 0, 'g', 4);
    return QStringLiteral("%1 uL").arg(volume);
}

QString humanReadableVolume(int code, int volume, bool flag)
{
    if (code != 4096 || flag)
        return humanReadableVolume(volume);
    if (volume < 100000)
        return QStringLiteral("<%1 L").arg(0.1, 0, 'f', 1);
    return QStringLiteral("%1 L").arg(volume * 1e-6, 0, 'f', 1);
}

namespace {

// Entry i is the register after shifting byte i through the polynomial from
// the high end, stored with its two bytes swapped (see crc16()).
constexpr std::array<quint16, 256> makeCrc16Table()
{
    std::array<quint16, 256> table{};
    for (int i = 0; i < 256; ++i) {
        quint16 crc = quint16(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = quint16((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        table[std::size_t(i)] = quint16((crc >> 8) | (crc << 8));
    }
    return table;
}

constexpr std::array<quint16, 256> crc16Table = makeCrc16Table();
static_assert(crc16Table[1] == 0x2110 && crc16Table[2] == 0x4220, "CRC table");

} // namespace

quint16 crc16(const void *data, int length)
{
    if (!data || length <= 0)
        return 0xFFFF;
    // One table step a byte, the register kept with its bytes swapped: the
    // byte that picks the entry is then the low one and the shift moves
    // right, which takes a shift off the loop's one dependency chain. In
    // plain order each step is crc = (crc << 8) ^ table[(crc >> 8) ^ b].
    uint swapped = 0xFFFF;
    const auto *byte = static_cast<const uchar *>(data);
    const uchar *const end = byte + length;
    while (byte != end)
        swapped = (swapped >> 8) ^ crc16Table[(swapped ^ *byte++) & 0xFF];
    return quint16((swapped >> 8) | (swapped << 8));
}

QString samplePrefix(tam::SampleType type)
{
    switch (type) {
    case tam::StatimSample:
        return Profile::instance().statim_sample_prefix(QStringLiteral("S"));
    case tam::QcSample:
        return Profile::instance().qc_sample_prefix(QStringLiteral("QC"));
    default:
        return QString();
    }
}

qint64 nextSampleNo(const QDate &date)
{
    const QSqlDatabase db = Profile::instance().dataDatabase();
    if (!db.isOpen()) {
        // A failed query below answers 1, a number another sample may
        // already have: without a connection there is no number at all.
        qCritical().noquote() << ".\\tamglobal(156): no sample number: no connection to data.db"
                              << "in this thread:" << db.lastError().text();
        return -1;
    }
    QSqlQuery query(db);
    // The cast compares numbers, not texts: "10" follows "9". It reads the
    // leading integer as 64 bits (barcode-like numbers pass 2^31) and gives
    // the largest value for anything beyond.
    if (!query.prepare(QStringLiteral(
                "select max(cast(sampleNo as integer)) from patient where date=:date")))
        qWarning() << ".\\tamglobal(158):" << query.lastError();
    query.bindValue(QStringLiteral(":date"), date);
    // A failed query says nothing of the day: 1 would be a number another
    // sample of that day may already have.
    if (!query.exec()) {
        qWarning() << ".\\tamglobal(161):" << query.lastError();
        return -1;
    }
    if (!query.next()) {
        qWarning() << ".\\tamglobal(161):" << query.lastError();
        return -1;
    }
    const qint64 highest = query.value(0).toLongLong();
    // At the top there is no next number: stay there rather than wrap.
    return highest < std::numeric_limits<qint64>::max() ? highest + 1 : highest;
}

void setGeneratedValue(QSqlRecord &record, const QString &name, const QVariant &value)
{
    const int index = record.indexOf(name);
    if (index < 0)
        return;
    record.setValue(index, value);
    record.setGenerated(index, true);
}
