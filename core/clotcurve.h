#ifndef CLOTCURVE_H
#define CLOTCURVE_H

#include "core_global.h"

#include <QByteArray>
#include <QMetaType>
#include <QSharedDataPointer>
#include <QString>
#include <QVector>

/// \file clotcurve.h
/// \brief ClotCurve, the reaction curve of a measurement and its stored form.

/// \brief The reaction curve of one clotting measurement.
///
/// The detector signal sampled
/// at equal intervals, possibly in several runs (segments), each with its own
/// start and interval. Points are numbered from 0 across all segments in order.
///
/// A value type: copies share one record until one of them writes, and the
/// count is atomic, so copies may be used in any thread (one object at a
/// time per thread).
class CORE_EXPORT ClotCurve
{
public:
    /// What the points are. Fixed to 32 bits: a stored blob may carry any
    /// type number, kept as read.
    enum PointType : qint32 {
        Intensity = 0,     ///< raw detector signal (transmitted light)
        OpticalDensity = 1 ///< computed from the signal by toType()
    };

    /// \brief One run of points at equal intervals.
    ///
    /// Exported in its own right: Windows does not carry the class's export
    /// over to a nested one.
    struct CORE_EXPORT Segment {
        double start = 0.0;     ///< x of the first point
        double step = 0.0;      ///< x distance between consecutive points
        QVector<double> values; ///< y of the points

        /// Equal start, step and values (compared as doubles: NaN differs).
        bool operator==(const Segment &other) const;
        /// Not operator==().
        bool operator!=(const Segment &other) const { return !(*this == other); }
    };

    /// An empty curve of type Intensity.
    ClotCurve();
    /// A copy sharing \a other's record until either is written.
    ClotCurve(const ClotCurve &other);
    /// Shares \a other's record until either is written.
    ClotCurve &operator=(const ClotCurve &other);
    /// Drops this copy's share of the record.
    ~ClotCurve();

    PointType type() const;       ///< What the points are.
    void setType(PointType type); ///< Sets type(); the points stay as they are.

    /// The runs of points, in order.
    QVector<Segment> segments() const;
    /// Replaces every run of points.
    void setSegments(const QVector<Segment> &segments);

    /// True when there are no segments; segments without points still count.
    bool isEmpty() const;
    /// Adds \a segment as the last run.
    void append(const Segment &segment);
    /// Adds a run of \a values from x = \a start, \a step apart.
    void append(double start, double step, const QVector<double> &values);

    /// Points over all segments.
    int size() const;
    /// The x of point \a i across the segments; 0.0 for an index outside
    /// the curve.
    double x(int i) const;
    /// The signal of point \a i across the segments; 0.0 outside the curve.
    double y(int i) const;

    /// Removes count points from point pos on, across segment boundaries.
    /// Segments emptied on the way are deleted; starts and steps are kept.
    void remove(int pos, int count);

    /// A copy; the curve keeps every point as measured.
    ClotCurve simplified() const;
    /// A converted copy. Only Intensity -> OpticalDensity converts; every
    /// other request returns an unchanged copy that keeps its type.
    ClotCurve toType(PointType target) const;

    /// Inserts the curve as a new row of table "curve" of the data database.
    /// An empty curve is not stored. Failures are logged as warnings. Any
    /// thread: it runs on the calling thread's connection; a thread that can
    /// have none stores nothing and says so in a critical message.
    void save(int patientId, const QString &item, int version) const;

    /// The stored blob: big-endian, the type (qint32), the segment count
    /// (quint32), then per segment start and step (binary64), the value count
    /// (quint32) and the values.
    QByteArray toBuffer() const;
    /// Reads a blob as written by toBuffer(). Never fails: numbers cut off by
    /// the end of the buffer read as 0, and counts larger than the rest of
    /// the buffer can hold are cut to the data that is there.
    static ClotCurve fromBuffer(const QByteArray &buffer);

    /// Equal type and segments.
    bool operator==(const ClotCurve &other) const;
    /// Not operator==().
    bool operator!=(const ClotCurve &other) const { return !(*this == other); }

private:
    class Data;
    QSharedDataPointer<Data> d;
};

Q_DECLARE_TYPEINFO(ClotCurve::Segment, Q_MOVABLE_TYPE);
Q_DECLARE_METATYPE(ClotCurve)

#endif // CLOTCURVE_H
