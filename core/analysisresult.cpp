#include "analysisresult.h"

#include "profile.h"

#include <QBrush>
#include <QColor>
#include <QCoreApplication>
#include <QSqlError>
#include <QSqlQuery>
#include <QtEndian>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

// The nearest integer with halves going upward (2.5 -> 3, -2.5 -> -2).
// x - floor(x) is exact, so no half is lost to rounding on the way. Results
// outside int saturate and NaN gives 0, so odd steps cannot overflow.
int nearestInt(double x)
{
    if (std::isnan(x))
        return 0;
    double r = std::floor(x);
    if (x - r >= 0.5)
        r += 1.0;
    if (r >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (r <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(r);
}

// The blob reader. Every number the buffer cuts off reads as 0, as from a
// QDataStream past its end; count() bounds an announced count by the bytes
// left, so a hostile count costs nothing.
class BlobReader
{
public:
    explicit BlobReader(const QByteArray &buffer)
        : m_data(reinterpret_cast<const uchar *>(buffer.constData())), m_size(buffer.size())
    {
    }

    bool atEnd() const { return m_pos >= m_size; }

    quint32 readUInt32()
    {
        if (m_size - m_pos < 4) {
            m_pos = m_size;
            return 0;
        }
        const quint32 v = qFromBigEndian<quint32>(m_data + m_pos);
        m_pos += 4;
        return v;
    }

    double readDouble()
    {
        if (m_size - m_pos < 8) {
            m_pos = m_size;
            return 0.0;
        }
        const quint64 bits = qFromBigEndian<quint64>(m_data + m_pos);
        m_pos += 8;
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }

    // Reads up to count doubles: those present, plus one 0.0 for a double
    // cut off part-way. Values wholly past the end are not made up.
    QVector<double> readDoubles(quint32 count)
    {
        const int left = m_size - m_pos;
        const int whole = int(qMin<qint64>(count, left / 8));
        const bool cutOff = qint64(count) > whole && left % 8 != 0;
        // Zero-initialised, so the cut-off double is already 0.0.
        QVector<double> values(whole + (cutOff ? 1 : 0));
        qFromBigEndian<quint64>(m_data + m_pos, whole, values.data());
        m_pos = cutOff ? m_size : m_pos + whole * 8;
        return values;
    }

private:
    const uchar *m_data;
    int m_size;
    int m_pos = 0;
};

const int segmentHeaderSize = 8 + 8 + 4;

} // namespace

// ---------------------------------------------------------------- ClotCurve

bool ClotCurve::Segment::operator==(const Segment &other) const
{
    return start == other.start && step == other.step && values == other.values;
}

ClotCurve::ClotCurve() : m_type(Intensity) {}
ClotCurve::ClotCurve(const ClotCurve &other) = default;
ClotCurve &ClotCurve::operator=(const ClotCurve &other) = default;
ClotCurve::~ClotCurve() = default;

ClotCurve::PointType ClotCurve::type() const
{
    return m_type;
}

void ClotCurve::setType(PointType type)
{
    m_type = type;
}

QVector<ClotCurve::Segment> ClotCurve::segments() const
{
    return m_segments;
}

void ClotCurve::setSegments(const QVector<Segment> &segments)
{
    m_segments = segments;
}

bool ClotCurve::isEmpty() const
{
    return m_segments.isEmpty();
}

void ClotCurve::append(const Segment &segment)
{
    m_segments.append(segment);
}

void ClotCurve::append(double start, double step, const QVector<double> &values)
{
    Segment segment;
    segment.start = start;
    segment.step = step;
    segment.values = values;
    m_segments.append(segment);
}

int ClotCurve::size() const
{
    int n = 0;
    for (const Segment &segment : m_segments)
        n += segment.values.size();
    return n;
}

double ClotCurve::x(int i) const
{
    if (i < 0)
        return 0.0;
    for (const Segment &segment : m_segments) {
        if (i < segment.values.size())
            return segment.start + i * segment.step;
        i -= segment.values.size();
    }
    return 0.0;
}

double ClotCurve::y(int i) const
{
    if (i < 0)
        return 0.0;
    for (const Segment &segment : m_segments) {
        if (i < segment.values.size())
            return segment.values.at(i);
        i -= segment.values.size();
    }
    return 0.0;
}

void ClotCurve::remove(int pos, int count)
{
    // Nothing to do must not detach a shared vector.
    if (pos < 0 || count <= 0 || pos >= size())
        return;
    int s = 0;
    while (s < m_segments.size() && count > 0) {
        QVector<double> &values = m_segments[s].values;
        if (pos < values.size()) {
            const int n = qMin(count, values.size() - pos);
            values.remove(pos, n);
            count -= n;
            if (values.isEmpty()) {
                m_segments.remove(s);
                pos = 0;
                continue;
            }
        }
        pos -= values.size();
        if (pos < 0)
            pos = 0;
        ++s;
    }
}

ClotCurve ClotCurve::simplified() const
{
    return *this;
}

ClotCurve ClotCurve::toType(PointType target) const
{
    if (target != OpticalDensity || m_type != Intensity)
        return *this;

    ClotCurve curve = simplified();
    curve.m_type = OpticalDensity;
    if (curve.m_segments.isEmpty())
        return curve;

    Segment &segment = curve.m_segments.first();
    QVector<double> &v = segment.values;
    const int n = v.size();
    const double x0 = segment.start;
    const double dx = segment.step;

    // The baseline is the mean over one unit of x from x = 3.0, or from the
    // first point when the run starts later.
    const double b = qMax(x0, 3.0);
    const int first = qMax(0, nearestInt((b - x0) / dx));
    const int width = qMin(n - first, qMax(1, nearestInt(1.0 / dx)));
    if (width <= 0) {
        v.fill(0.0);
        return curve;
    }

    double sum = 0.0;
    for (int i = first; i < first + width; ++i)
        sum += v.at(i);
    const double i0 = sum / width;

    double *p = v.data();
    const int firstOd = first + width / 2;
    for (int i = 0; i < firstOd; ++i)
        p[i] = 0.0;
    const double epsilon = std::numeric_limits<double>::epsilon();
    for (int j = firstOd; j < n; ++j) {
        // Written so that a NaN signal stays NaN rather than turning into 5.0.
        const double signal = p[j] < epsilon ? epsilon : p[j];
        const double od = std::log10(i0 / signal);
        p[j] = od > 5.0 ? 5.0 : od;
    }
    return curve;
}

void ClotCurve::save(int patientId, const QString &item, int version) const
{
    if (isEmpty())
        return;
    // The prefixes are the call sites' fixed names in the log, which sites
    // search for; they stay as they are whatever the source lines.
    QSqlQuery query(Profile::instance().dataDatabase());
    if (!query.prepare(QStringLiteral("insert into curve (patientId, item, version, curve) "
                                      "values(:patientId, :item, :version, :curve)")))
        qWarning("%s %s", ".\\analysisresult(91):", qUtf8Printable(query.lastError().text()));
    query.bindValue(QStringLiteral(":patientId"), patientId);
    query.bindValue(QStringLiteral(":item"), item);
    query.bindValue(QStringLiteral(":version"), version);
    const QByteArray blob = toBuffer();
    if (blob.isEmpty()) {
        // Only a curve beyond what one blob can hold gets here; an empty
        // blob in its place would read back as a different curve.
        qWarning("%s %s", ".\\analysisresult(103):", "curve too large to store");
        return;
    }
    query.bindValue(QStringLiteral(":curve"), blob);
    if (!query.exec())
        qWarning("%s %s", ".\\analysisresult(103):", qUtf8Printable(query.lastError().text()));
}

QByteArray ClotCurve::toBuffer() const
{
    qint64 bytes = 8;
    for (const Segment &segment : m_segments)
        bytes += segmentHeaderSize + 8 * qint64(segment.values.size());
    if (bytes > std::numeric_limits<int>::max())
        return QByteArray(); // no QByteArray can hold it

    QByteArray buffer(int(bytes), Qt::Uninitialized);
    uchar *out = reinterpret_cast<uchar *>(buffer.data());
    qToBigEndian<qint32>(qint32(m_type), out);
    qToBigEndian<quint32>(quint32(m_segments.size()), out + 4);
    out += 8;
    for (const Segment &segment : m_segments) {
        quint64 bits;
        std::memcpy(&bits, &segment.start, 8);
        qToBigEndian<quint64>(bits, out);
        std::memcpy(&bits, &segment.step, 8);
        qToBigEndian<quint64>(bits, out + 8);
        qToBigEndian<quint32>(quint32(segment.values.size()), out + 16);
        out += segmentHeaderSize;
        qToBigEndian<quint64>(segment.values.constData(), segment.values.size(), out);
        out += 8 * segment.values.size();
    }
    return buffer;
}

ClotCurve ClotCurve::fromBuffer(const QByteArray &buffer)
{
    BlobReader in(buffer);
    ClotCurve curve;
    curve.m_type = PointType(qint32(in.readUInt32()));
    const quint32 segmentCount = in.readUInt32();
    // Segments that start past the end of the buffer are not made up, which
    // bounds the loop by the buffer's size whatever the count says.
    for (quint32 s = 0; s < segmentCount && !in.atEnd(); ++s) {
        Segment segment;
        segment.start = in.readDouble();
        segment.step = in.readDouble();
        segment.values = in.readDoubles(in.readUInt32());
        curve.m_segments.append(segment);
    }
    return curve;
}

bool ClotCurve::operator==(const ClotCurve &other) const
{
    return m_type == other.m_type && m_segments == other.m_segments;
}

// ----------------------------------------------------------- AnalysisResult

class AnalysisResult::Data : public QSharedData
{
public:
    // The shared null record: its own reference keeps the count above 0, so
    // the last result pointing at it never frees it.
    enum HeldByStatic { heldByStatic };
    explicit Data(HeldByStatic) { ref.ref(); }
    // A copy starts unshared (QSharedData's copy resets the count).
    Data(const Data &other) = default;

    qint32 id = 0;
    double value = nullValue;
    double od = invalidOD;
    qint32 flags = 0;
    ErrorCode error = NullResult;
    QString errorText;
    ClotCurve curve;
    qint32 ch = 0;
    qint32 version = 0;
    qint32 recordId = 0;
};

const double AnalysisResult::notClottedValue = 999.9;
const double AnalysisResult::nullValue = 0.0;
const double AnalysisResult::invalidOD = 0.0;

AnalysisResult::Data AnalysisResult::shared_null(AnalysisResult::Data::heldByStatic);

namespace {

AnalysisResult::ErrorCode classify(double value)
{
    // 2^-23, single precision's epsilon; both comparisons are strict, and a
    // NaN passes neither.
    if (std::fabs(value) < 1.1920928955078125e-07)
        return AnalysisResult::NullResult;
    if (std::fabs(value - AnalysisResult::notClottedValue) < 0.001)
        return AnalysisResult::NotClotted;
    return AnalysisResult::NoError;
}

} // namespace

AnalysisResult::AnalysisResult() : d(&shared_null) {}

AnalysisResult::AnalysisResult(double value) : d(new Data(shared_null))
{
    d->value = value;
    d->error = classify(value);
}

AnalysisResult::AnalysisResult(ErrorCode code) : d(new Data(shared_null))
{
    d->value = 0.0;
    d->error = code;
}

AnalysisResult::AnalysisResult(const AnalysisResult &other) = default;
AnalysisResult &AnalysisResult::operator=(const AnalysisResult &other) = default;
AnalysisResult::~AnalysisResult() = default;

double AnalysisResult::value() const
{
    return d->value;
}

AnalysisResult::operator double() const
{
    return d->value;
}

double AnalysisResult::od() const
{
    return d->od;
}

int AnalysisResult::id() const
{
    return d->id;
}

int AnalysisResult::flags() const
{
    return d->flags;
}

AnalysisResult::ErrorCode AnalysisResult::error() const
{
    return d->error;
}

int AnalysisResult::ch() const
{
    return d->ch;
}

int AnalysisResult::version() const
{
    return d->version;
}

int AnalysisResult::recordId() const
{
    return d->recordId;
}

ClotCurve AnalysisResult::curve() const
{
    return d->curve;
}

bool AnalysisResult::testFlag(tam::ResultFlag flag) const
{
    return (d->flags & flag) != 0;
}

bool AnalysisResult::isManualTest() const
{
    return testFlag(tam::ManualTestFlag);
}

bool AnalysisResult::isValid() const
{
    return d->error == NoError;
}

bool AnalysisResult::isNull() const
{
    return d->error == NullResult;
}

bool AnalysisResult::isCopyOf(const AnalysisResult &other) const
{
    return d.constData() == other.d.constData();
}

void AnalysisResult::setValue(double value)
{
    d->value = value;
    d->error = classify(value);
}

void AnalysisResult::setOD(double od)
{
    d->od = od;
}

void AnalysisResult::setCurve(const ClotCurve &curve)
{
    d->curve = curve;
}

void AnalysisResult::setId(int id)
{
    d->id = id;
}

void AnalysisResult::setCh(int ch)
{
    d->ch = ch;
}

void AnalysisResult::setVersion(int version)
{
    d->version = version;
}

void AnalysisResult::setRecordId(int recordId)
{
    d->recordId = recordId;
}

void AnalysisResult::setFlags(int flags)
{
    d->flags = flags;
}

void AnalysisResult::setFlag(tam::ResultFlag flag, bool on)
{
    if (on)
        d->flags |= flag;
    else
        d->flags &= ~int(flag);
}

void AnalysisResult::setManualTest(bool on)
{
    setFlag(tam::ManualTestFlag, on);
}

void AnalysisResult::setError(ErrorCode code)
{
    d->error = code;
    d->errorText.clear();
}

void AnalysisResult::setErrorText(const QString &text)
{
    d->errorText = text;
    d->error = UnknownError;
}

void AnalysisResult::clearErrorText()
{
    d->errorText.clear();
}

QVariant AnalysisResult::toVariant() const
{
    if (d->error == NoError || d->error == NotClotted)
        return QVariant(d->value);
    return QVariant();
}

// ---------------------------------------------------------------- rendering

QString AnalysisResult::toString(Format form, char numberFormat, int precision) const
{
    if (precision < 0) {
        numberFormat = 'g';
        precision = 6;
    }
    if (d->error == NoError) {
        QString text;
        if (form == WithFlags) {
            text = prefix();
            if (!text.isEmpty())
                text += QLatin1Char(' ');
        }
        text += QString::number(d->value, numberFormat, precision);
        if (form == WithFlags) {
            const QString marks = suffix();
            if (!marks.isEmpty())
                text += QLatin1Char(' ') + marks;
        }
        return text;
    }
    // The not-clotted value wins over the code, a null result's included.
    if (d->error == NotClotted || std::fabs(d->value - notClottedValue) < 0.001)
        return Profile::instance().result_not_clotted(Profile::tr("不凝"));
    if (d->error == NullResult)
        return QString();
    return Profile::instance().result_can_not_be_calculated(Profile::tr("---.-"));
}

QString AnalysisResult::prefix() const
{
    Profile &profile = Profile::instance();
    QString marks;
    if (testFlag(tam::ManualInputFlag))
        marks += profile.manual_input_flag(Profile::tr("M"));
    if (testFlag(tam::DilutionFlag))
        marks += profile.dilution_result_flag(Profile::tr("!"));
    if (testFlag(tam::LowerReportLimitFlag))
        marks += profile.lower_report_limit_flag(Profile::tr("<"));
    else if (testFlag(tam::UpperReportLimitFlag))
        marks += profile.upper_report_limit_flag(Profile::tr(">"));
    return marks;
}

QString AnalysisResult::suffix() const
{
    if (testFlag(tam::LowerMarkLimitFlag))
        return Profile::instance().lower_mark_limit_flag(Profile::tr("↓"));
    if (testFlag(tam::UpperMarkLimitFlag))
        return Profile::instance().upper_mark_limit_flag(Profile::tr("↑"));
    return QString();
}

QVariant AnalysisResult::foregroundRole() const
{
    // Upper limits are tested before lower ones here, unlike the marks: a
    // result with both bits of a pair shows the lower mark in the upper colour.
    const QColor red(Qt::red);
    const QColor orange(255, 170, 0, 255);
    Profile &profile = Profile::instance();
    QColor color;
    if (d->error != NoError)
        color = profile.color_of_null_result(red);
    else if (testFlag(tam::UpperReportLimitFlag))
        color = profile.color_of_upper_report(red);
    else if (testFlag(tam::LowerReportLimitFlag))
        color = profile.color_of_lower_report(red);
    else if (testFlag(tam::UpperMarkLimitFlag))
        color = profile.color_of_upper_mark(orange);
    else if (testFlag(tam::LowerMarkLimitFlag))
        color = profile.color_of_lower_mark(orange);
    else
        return QVariant();
    return QVariant::fromValue(QBrush(color, Qt::SolidPattern));
}

QString AnalysisResult::errorText() const
{
    if (!d->errorText.isEmpty())
        return d->errorText;
    // Indexed by the code, from InvalidValue on.
    static const char *const messages[] = {
        QT_TRANSLATE_NOOP("QObject", "无效的值"),
        QT_TRANSLATE_NOOP("QObject", "未知错误"),
        QT_TRANSLATE_NOOP("QObject", "结果为空"),
        QT_TRANSLATE_NOOP("QObject", "无标准曲线"),
        QT_TRANSLATE_NOOP("QObject", "标准曲线无效"),
        QT_TRANSLATE_NOOP("QObject", "标准曲线设置错误"),
        QT_TRANSLATE_NOOP("QObject", "无效的计算方法"),
        QT_TRANSLATE_NOOP("QObject", "计算所需的参数不存在"),
    };
    const int index = int(d->error) - int(InvalidValue);
    if (index < 0 || index >= int(sizeof messages / sizeof *messages))
        return QString();
    return QCoreApplication::translate("QObject", messages[index]);
}
