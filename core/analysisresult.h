#ifndef ANALYSISRESULT_H
#define ANALYSISRESULT_H

#include "core_global.h"
#include "tamglobal.h"

#include <QByteArray>
#include <QMetaType>
#include <QSharedDataPointer>
#include <QString>
#include <QVariant>
#include <QVector>

// The reaction curve of one clotting measurement: the detector signal sampled
// at equal intervals, possibly in several runs (segments), each with its own
// start and interval. Points are numbered from 0 across all segments in order.
//
// A value type: copies share the segment vector until one of them writes.
class CORE_EXPORT ClotCurve
{
public:
    // Fixed to 32 bits: a stored blob may carry any type number, kept as read.
    enum PointType : qint32 {
        Intensity = 0,      // raw detector signal (transmitted light)
        OpticalDensity = 1  // computed from the signal by toType()
    };

    // Exported in its own right: Windows does not carry the class's export
    // over to a nested one.
    struct CORE_EXPORT Segment {
        double start = 0.0;     // x of the first point
        double step = 0.0;      // x distance between consecutive points
        QVector<double> values; // y of the points

        bool operator==(const Segment &other) const;
        bool operator!=(const Segment &other) const { return !(*this == other); }
    };

    ClotCurve();
    ClotCurve(const ClotCurve &other);
    ClotCurve &operator=(const ClotCurve &other);
    ~ClotCurve();

    PointType type() const;
    void setType(PointType type);

    QVector<Segment> segments() const;
    void setSegments(const QVector<Segment> &segments);

    // True when there are no segments; segments without points still count.
    bool isEmpty() const;
    void append(const Segment &segment);
    void append(double start, double step, const QVector<double> &values);

    // Points over all segments.
    int size() const;
    // Point i across the segments; 0.0 for an index outside the curve.
    double x(int i) const;
    double y(int i) const;

    // Removes count points from point pos on, across segment boundaries.
    // Segments emptied on the way are deleted; starts and steps are kept.
    void remove(int pos, int count);

    ClotCurve simplified() const;
    // A converted copy. Only Intensity -> OpticalDensity converts; every
    // other request returns an unchanged copy that keeps its type.
    ClotCurve toType(PointType target) const;

    // Inserts the curve as a new row of table "curve" of the data database.
    // An empty curve is not stored. Failures are logged as warnings.
    void save(int patientId, const QString &item, int version) const;

    // The stored blob: big-endian, the type (qint32), the segment count
    // (quint32), then per segment start and step (binary64), the value count
    // (quint32) and the values.
    QByteArray toBuffer() const;
    // Reads a blob as written by toBuffer(). Never fails: numbers cut off by
    // the end of the buffer read as 0, and counts larger than the rest of
    // the buffer can hold are cut to the data that is there.
    static ClotCurve fromBuffer(const QByteArray &buffer);

    bool operator==(const ClotCurve &other) const;
    bool operator!=(const ClotCurve &other) const { return !(*this == other); }

private:
    PointType m_type;
    QVector<Segment> m_segments;
};

Q_DECLARE_TYPEINFO(ClotCurve::Segment, Q_MOVABLE_TYPE);
Q_DECLARE_METATYPE(ClotCurve)

// One measured or calculated result of a clotting test: the value, its
// optical density, its tam::ResultFlag bits, an error classification, the
// clot curve it came from and the identifiers that tie it to a channel, a
// database record and a result version.
//
// A value type: copies share one record until one of them writes.
class CORE_EXPORT AnalysisResult
{
public:
    enum ErrorCode : qint32 {
        NoError = 0,
        InvalidValue = 1,
        UnknownError = 2,
        NullResult = 3,
        NoStandardCurve = 4,
        InvalidStandardCurve = 5,
        StandardCurveSetupError = 6,
        InvalidCalculationMethod = 7,
        MissingCalculationParameter = 8,
        NotClotted = 9
    };

    // Any other number formats like ValueOnly.
    enum Format : qint32 {
        WithFlags = 0, // prefix marks, number, suffix marks
        ValueOnly = 1  // the number alone
    };

    static const double notClottedValue; // 999.9
    static const double nullValue;       // 0.0
    static const double invalidOD;       // 0.0

    // A null result: error() is NullResult.
    AnalysisResult();
    // Classified from the value; see setValue().
    AnalysisResult(double value);
    // Value 0.0 with the given code, not classified: AnalysisResult(NoError)
    // is a valid result of 0.0.
    AnalysisResult(ErrorCode code);
    AnalysisResult(const AnalysisResult &other);
    AnalysisResult &operator=(const AnalysisResult &other);
    ~AnalysisResult();

    double value() const;
    operator double() const;
    double od() const;
    int id() const;
    int flags() const;
    ErrorCode error() const;
    int ch() const;
    int version() const;
    int recordId() const;
    ClotCurve curve() const;
    // True when any bit of flag is set.
    bool testFlag(tam::ResultFlag flag) const;
    bool isManualTest() const;

    bool isValid() const;
    bool isNull() const;
    // Both share one record: neither has been written since they were copied.
    bool isCopyOf(const AnalysisResult &other) const;

    // Stores the value and classifies it: |x| < 2^-23 is NullResult,
    // |x - notClottedValue| < 0.001 is NotClotted, anything else (NaN too)
    // NoError. The error text is left as it is.
    void setValue(double value);
    void setOD(double od);
    void setCurve(const ClotCurve &curve);
    void setId(int id);
    void setCh(int ch);
    void setVersion(int version);
    void setRecordId(int recordId);
    void setFlags(int flags);
    void setFlag(tam::ResultFlag flag, bool on = true);
    void setManualTest(bool on);
    // Also clears the error text.
    void setError(ErrorCode code);
    // Also sets the code to UnknownError.
    void setErrorText(const QString &text);
    // Leaves the code as it is.
    void clearErrorText();

    // The value for NoError and NotClotted, an invalid variant otherwise.
    QVariant toVariant() const;

    // Rendering. Marks, placeholder texts and colours come from the
    // settings profile on every call, so a site's changes show at once.

    // A valid result as number with its marks (WithFlags) or alone; a
    // not-clotted result (or any other with the not-clotted value) as the
    // not-clotted text; a null result as empty text; any other error as the
    // cannot-be-calculated text. A negative precision means 'g' with 6.
    QString toString(Format form = WithFlags, char numberFormat = 'g', int precision = -1) const;
    // Manual input, dilution, then the lower or else the upper report mark.
    QString prefix() const;
    // The lower or else the upper marking-limit mark.
    QString suffix() const;
    // A solid brush for an item model's foreground role, or an invalid
    // variant when the result needs no colour of its own.
    QVariant foregroundRole() const;
    // The stored error text when there is one, else the code's message.
    QString errorText() const;

private:
    class Data;
    static Data shared_null;
    QSharedDataPointer<Data> d;
};

Q_DECLARE_METATYPE(AnalysisResult)

#endif // ANALYSISRESULT_H
