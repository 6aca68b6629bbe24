// Curve blobs come from a database other programs write: any bytes must
// parse without a crash, without allocating for data that is not there,
// and what was parsed must store and read back unchanged.
#include "analysisresult.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

uint32_t bigEndian32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// Length of the curve at the front of the buffer when nothing of it is cut
// off, else 0. Walks the layout on its own, apart from the parser.
size_t wellFormedLength(const uint8_t *data, size_t size)
{
    if (size < 8)
        return 0;
    const uint32_t segments = bigEndian32(data + 4);
    size_t pos = 8;
    for (uint32_t s = 0; s < segments; ++s) {
        if (size - pos < 20)
            return 0;
        const uint64_t values = bigEndian32(data + pos + 16);
        pos += 20;
        if ((size - pos) / 8 < values)
            return 0;
        pos += 8 * values;
    }
    return pos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1 << 24)
        return 0;
    const QByteArray blob = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const ClotCurve curve = ClotCurve::fromBuffer(blob);

    // Nothing made up: a segment needs at least one byte of its own and a
    // value eight, bar one value cut off at the end.
    check(size_t(curve.segments().size()) <= size);
    check(size_t(curve.size()) <= size / 8 + 1);

    // Round trip: the stored form reads back as the same curve, byte for
    // byte (NaNs compare unequal as numbers, so compare the blobs).
    const QByteArray stored = curve.toBuffer();
    const ClotCurve back = ClotCurve::fromBuffer(stored);
    check(back.toBuffer() == stored);
    check(back.type() == curve.type() && back.size() == curve.size());

    // When every announced byte is there, the stored form is the input up
    // to the end of the last segment.
    const size_t whole = wellFormedLength(data, size);
    if (whole != 0)
        check(size_t(stored.size()) == whole && std::memcmp(stored.constData(), data, whole) == 0);

    // The operations on a parsed curve must cope with whatever it holds.
    const ClotCurve od = curve.toType(ClotCurve::OpticalDensity);
    check(od.size() == curve.size());
    const int n = curve.size();
    if (n > 0) {
        (void)curve.x(n - 1);
        (void)curve.y(n - 1);
    }
    ClotCurve cut = curve;
    cut.remove(n / 3, n / 2 + 1);
    check(cut.size() == n - qMin(n - qMin(n, n / 3), n / 2 + 1));
    check(curve.size() == n);
    return 0;
}
