#include "curveplot.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <limits>

class CurvePlotPrivate
{
public:
    QString title;
    QString xTitle;
    QString yTitle;
    QString message;
    QColor lineColor = QColor(0x1f, 0x5f, 0xbf);
    QVector<QPolygonF> runs;

    QRectF bounds() const;
};

QRectF CurvePlotPrivate::bounds() const
{
    double x0 = std::numeric_limits<double>::infinity();
    double x1 = -x0, y0 = x0, y1 = -x0;
    for (const QPolygonF &run : runs) {
        for (const QPointF &p : run) {
            x0 = std::min(x0, p.x());
            x1 = std::max(x1, p.x());
            y0 = std::min(y0, p.y());
            y1 = std::max(y1, p.y());
        }
    }
    if (x0 > x1)
        return QRectF();
    return QRectF(QPointF(x0, y0), QPointF(x1, y1));
}

CurvePlot::CurvePlot(QWidget *parent)
    : QWidget(parent), d(new CurvePlotPrivate)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CurvePlot::~CurvePlot() = default;

void CurvePlot::setTitle(const QString &title)
{
    d->title = title;
    update();
}

QString CurvePlot::title() const
{
    return d->title;
}

void CurvePlot::setAxisTitles(const QString &xTitle, const QString &yTitle)
{
    d->xTitle = xTitle;
    d->yTitle = yTitle;
    update();
}

void CurvePlot::setLineColor(const QColor &color)
{
    d->lineColor = color;
    update();
}

void CurvePlot::setRuns(const QVector<QPolygonF> &runs)
{
    d->runs.clear();
    d->message.clear();
    for (const QPolygonF &run : runs) {
        QPolygonF part;
        for (const QPointF &p : run) {
            if (std::isfinite(p.x()) && std::isfinite(p.y())) {
                part.append(p);
            } else if (!part.isEmpty()) {
                d->runs.append(part);
                part.clear();
            }
        }
        if (!part.isEmpty())
            d->runs.append(part);
    }
    update();
}

void CurvePlot::setData(const QVector<double> &x, const QVector<double> &y)
{
    QPolygonF run;
    const int n = std::min(x.size(), y.size());
    run.reserve(n);
    for (int i = 0; i < n; ++i)
        run.append(QPointF(x.at(i), y.at(i)));
    setRuns({run});
}

void CurvePlot::clear(const QString &message)
{
    d->runs.clear();
    d->message = message;
    update();
}

QVector<QPolygonF> CurvePlot::runs() const
{
    return d->runs;
}

int CurvePlot::pointCount() const
{
    int n = 0;
    for (const QPolygonF &run : d->runs)
        n += run.size();
    return n;
}

QVector<double> CurvePlot::ticks(double low, double high, int maxTicks)
{
    if (!std::isfinite(low) || !std::isfinite(high))
        return {};
    if (low > high)
        std::swap(low, high);
    maxTicks = std::max(1, maxTicks);
    // A flat curve (all optical densities 0, say) still gets a readable axis.
    if (high - low <= std::abs(high) * 1e-12 || high == low) {
        const double pad = low == 0.0 ? 1.0 : std::abs(low) * 0.1;
        low -= pad;
        high += pad;
    }
    // A range wider than a double can hold (a damaged blob) has no ticks.
    if (!std::isfinite(high - low))
        return {};
    const double rough = (high - low) / maxTicks;
    double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    static const double nice[] = {1.0, 2.0, 5.0};
    int k = 0;
    while (nice[k] * magnitude < rough * (1.0 - 1e-9)) {
        if (++k == 3) {
            k = 0;
            magnitude *= 10.0;
        }
    }
    for (;;) {
        const double step = nice[k] * magnitude;
        const double first = std::floor(low / step + 1e-9) * step;
        const double last = std::ceil(high / step - 1e-9) * step;
        const int intervals = int(std::lround((last - first) / step));
        if (intervals <= maxTicks) {
            QVector<double> values;
            values.reserve(intervals + 1);
            for (int i = 0; i <= intervals; ++i) {
                double v = first + i * step;
                if (std::abs(v) < step * 1e-9)
                    v = 0.0;
                values.append(v);
            }
            return values;
        }
        if (++k == 3) {
            k = 0;
            magnitude *= 10.0;
        }
    }
}

QString CurvePlot::tickLabel(double value, double spacing)
{
    int decimals = 0;
    if (spacing > 0.0 && std::isfinite(spacing))
        decimals = std::max(0, int(-std::floor(std::log10(spacing) + 1e-9)));
    QString text = QString::number(value, 'f', decimals);
    if (text.startsWith(QLatin1Char('-')) && text.count(QLatin1Char('0')) + text.count(QLatin1Char('.')) == text.size() - 1)
        text.remove(0, 1);
    return text;
}

QSize CurvePlot::sizeHint() const
{
    return QSize(560, 300);
}

QSize CurvePlot::minimumSizeHint() const
{
    return QSize(240, 160);
}

void CurvePlot::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    p.setRenderHint(QPainter::Antialiasing, false);

    const QFontMetrics fm = fontMetrics();
    const int lineHeight = fm.height();
    const QRectF bounds = d->bounds();
    const QVector<double> xTicks = bounds.isNull() ? ticks(0.0, 1.0, 5)
                                                   : ticks(bounds.left(), bounds.right(), std::max(2, width() / 90));
    const QVector<double> yTicks = bounds.isNull() ? ticks(0.0, 1.0, 4)
                                                   : ticks(bounds.top(), bounds.bottom(), std::max(2, height() / 50));
    if (xTicks.size() < 2 || yTicks.size() < 2) {
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap,
                   tr("%1: the values are too large to draw.").arg(d->title));
        return;
    }
    const double xStep = xTicks.size() > 1 ? xTicks.at(1) - xTicks.at(0) : 1.0;
    const double yStep = yTicks.size() > 1 ? yTicks.at(1) - yTicks.at(0) : 1.0;

    int labelWidth = 0;
    for (double v : yTicks)
        labelWidth = std::max(labelWidth, fm.horizontalAdvance(tickLabel(v, yStep)));

    // Room for the title above, the y title and tick labels at the left,
    // the tick labels and x title below.
    const int tickLength = 5;
    const QRect area(QPoint(lineHeight + labelWidth + tickLength + 10, lineHeight + 12),
                     QPoint(width() - fm.horizontalAdvance(tickLabel(xTicks.last(), xStep)) / 2 - 10,
                            height() - 2 * lineHeight - tickLength - 10));

    p.setPen(palette().color(QPalette::WindowText));
    QFont bold = font();
    bold.setBold(true);
    p.setFont(bold);
    p.drawText(QRect(0, 4, width(), lineHeight), Qt::AlignHCenter, d->title);
    p.setFont(font());

    if (area.width() < 20 || area.height() < 20)
        return;

    const double xLow = xTicks.first(), xHigh = xTicks.last();
    const double yLow = yTicks.first(), yHigh = yTicks.last();
    auto toScreen = [&](const QPointF &v) {
        return QPointF(area.left() + (v.x() - xLow) / (xHigh - xLow) * area.width(),
                       area.bottom() - (v.y() - yLow) / (yHigh - yLow) * area.height());
    };

    const QColor grid(0xe4, 0xe4, 0xe4);
    const QColor axis = palette().color(QPalette::WindowText);
    for (double v : xTicks) {
        const int x = int(std::lround(toScreen(QPointF(v, yLow)).x()));
        p.setPen(grid);
        p.drawLine(x, area.top(), x, area.bottom());
        p.setPen(axis);
        p.drawLine(x, area.bottom(), x, area.bottom() + tickLength);
        const QString text = tickLabel(v, xStep);
        const int w = fm.horizontalAdvance(text);
        p.drawText(QRect(x - w, area.bottom() + tickLength + 1, 2 * w, lineHeight), Qt::AlignHCenter, text);
    }
    for (double v : yTicks) {
        const int y = int(std::lround(toScreen(QPointF(xLow, v)).y()));
        p.setPen(grid);
        p.drawLine(area.left(), y, area.right(), y);
        p.setPen(axis);
        p.drawLine(area.left() - tickLength, y, area.left(), y);
        p.drawText(QRect(area.left() - tickLength - 3 - labelWidth, y - lineHeight / 2, labelWidth, lineHeight),
                   Qt::AlignRight | Qt::AlignVCenter, tickLabel(v, yStep));
    }
    // Zero line of a signed axis (negative optical densities do occur).
    if (yLow < 0.0 && yHigh > 0.0) {
        p.setPen(QPen(axis, 1, Qt::DashLine));
        const int y = int(std::lround(toScreen(QPointF(xLow, 0.0)).y()));
        p.drawLine(area.left(), y, area.right(), y);
    }
    p.setPen(axis);
    p.drawRect(area);

    p.drawText(QRect(area.left(), height() - lineHeight - 4, area.width(), lineHeight), Qt::AlignHCenter, d->xTitle);
    p.save();
    p.translate(4, area.center().y());
    p.rotate(-90);
    p.drawText(QRect(-area.height() / 2, 0, area.height(), lineHeight), Qt::AlignHCenter, d->yTitle);
    p.restore();

    if (d->runs.isEmpty()) {
        p.setPen(palette().color(QPalette::Disabled, QPalette::WindowText));
        p.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, d->message);
        return;
    }

    p.setClipRect(area.adjusted(0, 0, 1, 1));
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(d->lineColor, 1.6));
    for (const QPolygonF &run : d->runs) {
        QPolygonF screen;
        screen.reserve(run.size());
        for (const QPointF &v : run)
            screen.append(toScreen(v));
        if (screen.size() == 1)
            p.drawEllipse(screen.first(), 2.0, 2.0);
        else
            p.drawPolyline(screen);
    }
}
