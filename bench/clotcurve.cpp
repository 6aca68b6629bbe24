// Storing and reading clot curves. A 10 000-point curve is serialised and
// parsed; throughput is set against a plain memcpy of the same bytes (the
// floor no serialiser can beat) and against a naive QDataStream loop that
// writes or reads one number at a time. The optical-density conversion is
// measured in points per second.
#include "analysisresult.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDataStream>
#include <QElapsedTimer>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>

namespace {

volatile qint64 sink = 0;

// Best time of a few rounds, in nanoseconds per call.
double bestNs(const std::function<void()> &call)
{
    int calls = 1;
    for (;;) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < calls; ++i)
            call();
        if (timer.nsecsElapsed() > 50 * 1000 * 1000)
            break;
        calls *= 2;
    }
    double best = 1e300;
    for (int round = 0; round < 7; ++round) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < calls; ++i)
            call();
        best = qMin(best, double(timer.nsecsElapsed()) / calls);
    }
    return best;
}

QByteArray naiveWrite(const ClotCurve &curve)
{
    QByteArray blob;
    QDataStream out(&blob, QIODevice::WriteOnly);
    const QVector<ClotCurve::Segment> segments = curve.segments();
    out << qint32(curve.type()) << quint32(segments.size());
    for (const ClotCurve::Segment &s : segments) {
        out << s.start << s.step << quint32(s.values.size());
        for (double v : s.values)
            out << v;
    }
    return blob;
}

ClotCurve naiveRead(const QByteArray &blob)
{
    QDataStream in(blob);
    qint32 type = 0;
    quint32 count = 0;
    in >> type >> count;
    ClotCurve curve;
    curve.setType(ClotCurve::PointType(type));
    for (quint32 s = 0; s < count && !in.atEnd(); ++s) {
        ClotCurve::Segment segment;
        quint32 n = 0;
        in >> segment.start >> segment.step >> n;
        for (quint32 i = 0; i < n && !in.atEnd(); ++i) {
            double v = 0.0;
            in >> v;
            segment.values.append(v);
        }
        curve.append(segment);
    }
    return curve;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    const int points = 10000;
    QVector<double> values(points);
    for (int i = 0; i < points; ++i)
        values[i] = 1000.0 * std::exp(-0.0003 * i) + std::sin(i);
    ClotCurve curve;
    curve.append(0.0, 0.1, values);

    const QByteArray blob = curve.toBuffer();
    if (naiveWrite(curve) != blob || !(ClotCurve::fromBuffer(blob) == curve)
        || !(naiveRead(blob) == curve)) {
        std::fprintf(stderr, "the serialisers disagree\n");
        return 1;
    }
    const double mb = blob.size() / 1e6;

    QByteArray target(blob.size(), Qt::Uninitialized);
    const double floorNs = bestNs([&] {
        std::memcpy(target.data(), blob.constData(), size_t(blob.size()));
        sink += target.at(blob.size() / 2);
    });
    const double writeNs = bestNs([&] { sink += curve.toBuffer().size(); });
    const double naiveWriteNs = bestNs([&] { sink += naiveWrite(curve).size(); });
    const double readNs = bestNs([&] { sink += ClotCurve::fromBuffer(blob).size(); });
    const double naiveReadNs = bestNs([&] { sink += naiveRead(blob).size(); });
    const double odNs = bestNs([&] { sink += curve.toType(ClotCurve::OpticalDensity).size(); });

    std::printf("curve of %d points, blob of %d bytes\n\n", points, blob.size());
    std::printf("%-22s %10s %10s %14s\n", "", "MB/s", "us/curve", "x memcpy time");
    auto row = [&](const char *name, double ns) {
        std::printf("%-22s %10.0f %10.1f %14.1f\n", name, mb / (ns * 1e-9), ns / 1e3, ns / floorNs);
    };
    row("memcpy (floor)", floorNs);
    row("toBuffer", writeNs);
    row("naive QDataStream out", naiveWriteNs);
    row("fromBuffer", readNs);
    row("naive QDataStream in", naiveReadNs);
    std::printf("\ntoBuffer is %.1fx the naive writer, fromBuffer %.1fx the naive reader\n",
                naiveWriteNs / writeNs, naiveReadNs / readNs);
    std::printf("toType(OpticalDensity): %.1f million points/s (%.1f us/curve)\n",
                points / (odNs * 1e-9) / 1e6, odNs / 1e3);
    return 0;
}
