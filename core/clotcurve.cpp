#include "clotcurve.h"

#include "profile.h"

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

class ClotCurve::Data : public QSharedData
{
public:
    PointType type = Intensity;
    QVector<Segment> segments;
};

ClotCurve::ClotCurve() : d(new Data) {}
ClotCurve::ClotCurve(const ClotCurve &other) = default;
ClotCurve &ClotCurve::operator=(const ClotCurve &other) = default;
ClotCurve::~ClotCurve() = default;

ClotCurve::PointType ClotCurve::type() const
{
    return d->type;
}

void ClotCurve::setType(PointType type)
{
    d->type = type;
}

QVector<ClotCurve::Segment> ClotCurve::segments() const
{
    return d->segments;
}

void ClotCurve::setSegments(const QVector<Segment> &segments)
{
    d->segments = segments;
}

bool ClotCurve::isEmpty() const
{
    return d->segments.isEmpty();
}

void ClotCurve::append(const Segment &segment)
{
    d->segments.append(segment);
}

void ClotCurve::append(double start, double step, const QVector<double> &values)
{
    Segment segment;
    segment.start = start;
    segment.step = step;
    segment.values = values;
    d->segments.append(segment);
}

int ClotCurve::size() const
{
    int n = 0;
    for (const Segment &segment : d->segments)
        n += segment.values.size();
    return n;
}

double ClotCurve::x(int i) const
{
    if (i < 0)
        return 0.0;
    for (const Segment &segment : d->segments) {
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
    for (const Segment &segment : d->segments) {
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
    while (s < d->segments.size() && count > 0) {
        QVector<double> &values = d->segments[s].values;
        if (pos < values.size()) {
            const int n = qMin(count, values.size() - pos);
            values.remove(pos, n);
            count -= n;
            if (values.isEmpty()) {
                d->segments.remove(s);
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
    if (target != OpticalDensity || d->type != Intensity)
        return *this;

    ClotCurve curve = simplified();
    curve.d->type = OpticalDensity;
    if (curve.d->segments.isEmpty())
        return curve;

    Segment &segment = curve.d->segments.first();
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
    const QSqlDatabase db = Profile::instance().dataDatabase();
    if (!db.isOpen()) {
        qCritical("%s %s %s", ".\\analysisresult(89):",
                  "curve not stored: no connection to data.db in this thread:",
                  qUtf8Printable(db.lastError().text()));
        return;
    }
    QSqlQuery query(db);
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
    for (const Segment &segment : d->segments)
        bytes += segmentHeaderSize + 8 * qint64(segment.values.size());
    if (bytes > std::numeric_limits<int>::max())
        return QByteArray(); // no QByteArray can hold it

    QByteArray buffer(int(bytes), Qt::Uninitialized);
    uchar *out = reinterpret_cast<uchar *>(buffer.data());
    qToBigEndian<qint32>(qint32(d->type), out);
    qToBigEndian<quint32>(quint32(d->segments.size()), out + 4);
    out += 8;
    for (const Segment &segment : d->segments) {
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
    curve.d->type = PointType(qint32(in.readUInt32()));
    const quint32 segmentCount = in.readUInt32();
    // Segments that start past the end of the buffer are not made up, which
    // bounds the loop by the buffer's size whatever the count says.
    for (quint32 s = 0; s < segmentCount && !in.atEnd(); ++s) {
        Segment segment;
        segment.start = in.readDouble();
        segment.step = in.readDouble();
        segment.values = in.readDoubles(in.readUInt32());
        curve.d->segments.append(segment);
    }
    return curve;
}

bool ClotCurve::operator==(const ClotCurve &other) const
{
    return d->type == other.d->type && d->segments == other.d->segments;
}

