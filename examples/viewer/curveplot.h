#ifndef CURVEPLOT_H
#define CURVEPLOT_H

#include <QPolygonF>
#include <QVector>
#include <QWidget>

#include <memory>

class CurvePlotPrivate;

// A line plot of one curve with labelled axes, drawn with QPainter. The
// curve comes as runs of points: each run is one polyline, and the gap
// between two runs (two measuring segments) is left open.
class CurvePlot : public QWidget
{
    Q_OBJECT
public:
    explicit CurvePlot(QWidget *parent = nullptr);
    ~CurvePlot() override;

    void setTitle(const QString &title);
    QString title() const;
    // Axis titles carry their unit, for example "Time (s)".
    void setAxisTitles(const QString &xTitle, const QString &yTitle);
    void setLineColor(const QColor &color);

    // Points that are not finite end a run: they cannot be placed.
    void setRuns(const QVector<QPolygonF> &runs);
    void setData(const QVector<double> &x, const QVector<double> &y);
    // No curve; the message is shown in the empty plot area.
    void clear(const QString &message = QString());

    QVector<QPolygonF> runs() const;
    int pointCount() const;

    // Evenly spaced values of 1, 2 or 5 times a power of ten that cover
    // [low, high], at most maxTicks + 1 of them; the first is at or below
    // low and the last at or above high. An empty range is widened first.
    static QVector<double> ticks(double low, double high, int maxTicks);
    // The text of a tick value at the given tick spacing: as many decimals
    // as the spacing needs, and never "-0".
    static QString tickLabel(double value, double spacing);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::unique_ptr<CurvePlotPrivate> d;
};

#endif // CURVEPLOT_H
