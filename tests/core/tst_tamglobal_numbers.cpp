#include "tamglobal.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QThread>
#include <QtTest>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

class tst_TamglobalNumbers : public QObject
{
    Q_OBJECT
private slots:
    void fractionOf_data();
    void fractionOf();
    void fractionOfEveryDigit();
    void fractionFromSeveralThreads();
    void roundTo_data();
    void roundTo();
    void dilutions();
    void volume_data();
    void volume();
    void volumeOfCode_data();
    void volumeOfCode();
    void crcKnownValues_data();
    void crcKnownValues();
    void crcAgainstPython();
};

void tst_TamglobalNumbers::fractionOf_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("found");
    QTest::addColumn<double>("value");

    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("slash") << "1/10" << true << 0.1;
    QTest::newRow("colon") << "3:4" << true << 0.75;
    QTest::newRow("spaces") << " 1 / 4 " << true << 0.25;
    QTest::newRow("inside text") << "dilution 1/5x" << true << 0.2;
    QTest::newRow("negative") << "-1/2" << true << -0.5;
    QTest::newRow("signed both") << "+2/-4" << true << -0.5;
    QTest::newRow("decimal") << "1.5/3" << true << 0.5;
    QTest::newRow("trailing point") << "1./2" << true << 0.5;
    QTest::newRow("leftmost of two") << "1/2/3" << true << 0.5;
    QTest::newRow("exponent is not read") << "1e3/2" << true << 1.5;
    QTest::newRow("comma is no decimal point") << "1,5/3" << true << 5.0 / 3.0;
    QTest::newRow("zero divisor") << "1/0" << true << inf;
    QTest::newRow("negative over zero") << "-1/0" << true << -inf;
    QTest::newRow("no ratio") << "abc" << false << 0.0;
    QTest::newRow("empty") << "" << false << 0.0;
    QTest::newRow("missing divisor") << "1/" << false << 0.0;
    // Typed by Chinese input methods: any white space around the separator,
    // and numbers of any digits read whole, never from their first ASCII digit.
    QTest::newRow("ideographic space") << QString::fromUtf8("1\u3000/\u300010") << true << 0.1;
    QTest::newRow("no-break space") << QString::fromUtf8("1\u00a0:\u00a04") << true << 0.25;
    QTest::newRow("thin space") << QString::fromUtf8("3\u2009/\u20094") << true << 0.75;
    QTest::newRow("full-width digits") << QString::fromUtf8("\uff11/\uff12") << true << 0.5;
    QTest::newRow("full-width beside ASCII") << QString::fromUtf8("\uff112/1\uff10") << true << 1.2;
    QTest::newRow("full-width throughout") << QString::fromUtf8("\uff0d\uff11\uff0e\uff15\uff0f\uff13")
                                           << true << -0.5;
    QTest::newRow("full-width colon") << QString::fromUtf8("\uff13\uff1a\uff14") << true << 0.75;
    QTest::newRow("minus sign") << QString::fromUtf8("\u22121/4") << true << -0.25;
    QTest::newRow("other script digits") << QString::fromUtf8("\u0663/\u0664") << true << 0.75;
    QTest::newRow("superscript is no digit") << QString::fromUtf8("\u00b2/4") << false << 0.0;
}

void tst_TamglobalNumbers::fractionOf()
{
    QFETCH(QString, text);
    QFETCH(bool, found);
    QFETCH(double, value);

    bool ok = !found;
    QCOMPARE(fraction(text, &ok), value);
    QCOMPARE(ok, found);
    // The flag is optional.
    QCOMPARE(fraction(text), value);
}

// Every character that counts as a decimal digit, to the pattern or to
// QChar (their Unicode versions may differ), is read by its value or the
// ratio is refused: never a wrong number.
void tst_TamglobalNumbers::fractionOfEveryDigit()
{
    const QRegularExpression digit(QStringLiteral("^\\d$"),
                                   QRegularExpression::UseUnicodePropertiesOption);
    int read = 0;
    for (uint c = 0; c <= 0x10FFFF; ++c) {
        if (QChar::isSurrogate(c))
            continue;
        const QString one = QString::fromUcs4(&c, 1);
        const bool patternDigit = digit.match(one).hasMatch();
        if (!patternDigit && QChar::category(c) != QChar::Number_DecimalDigit)
            continue;
        bool ok = false;
        const double value = fraction(one + QStringLiteral("/2"), &ok);
        const double expected = QChar::digitValue(c) / 2.0;
        if (ok ? value != expected : value != 0.0)
            QFAIL(qPrintable(QStringLiteral("U+%1 gives %2").arg(c, 4, 16, QLatin1Char('0')).arg(value)));
        read += ok;
    }
    // ASCII, full-width and the other scripts' digits at least.
    QVERIFY2(read >= 500, qPrintable(QString::number(read)));
}

void tst_TamglobalNumbers::fractionFromSeveralThreads()
{
    // A pattern that kept match state of its own would mix up the threads'
    // numerators and denominators.
    std::vector<std::unique_ptr<QThread>> threads;
    QAtomicInt wrong = 0;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(QThread::create([t, &wrong] {
            for (int i = 1; i <= 5000; ++i) {
                const int numerator = t * 10000 + i;
                bool ok = false;
                const double value = fraction(QStringLiteral("x %1 : %2 y").arg(numerator).arg(i), &ok);
                if (!ok || value != double(numerator) / i)
                    wrong.fetchAndAddRelaxed(1);
            }
        }));
        threads.back()->start();
    }
    for (auto &thread : threads)
        QVERIFY(thread->wait());
    QCOMPARE(wrong.loadRelaxed(), 0);
}

void tst_TamglobalNumbers::roundTo_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("precision");
    QTest::addColumn<char>("format");
    QTest::addColumn<double>("expected");

    QTest::newRow("decimals") << 3.14159 << 2 << 'f' << 3.14;
    QTest::newRow("no decimals") << 7.6 << 0 << 'f' << 8.0;
    QTest::newRow("significant") << 1234.5678 << 3 << 'g' << 1230.0;
    QTest::newRow("exponent") << 1234.5678 << 2 << 'e' << 1230.0;
    QTest::newRow("exponent upper") << 0.0456789 << 1 << 'E' << 0.046;
    QTest::newRow("huge fixed") << 1e300 << 2 << 'f' << 1e300;
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << 2 << 'f'
                              << std::numeric_limits<double>::infinity();
    QTest::newRow("not a number") << std::nan("") << 2 << 'f' << std::nan("");
}

void tst_TamglobalNumbers::roundTo()
{
    QFETCH(double, value);
    QFETCH(int, precision);
    QFETCH(char, format);
    QFETCH(double, expected);
    // Exact: the result is the double nearest to the decimal text (QCOMPARE
    // would forgive a last-bit difference).
    const double result = round(value, precision, format);
    if (std::isnan(expected))
        QVERIFY(std::isnan(result));
    else
        QVERIFY2(result == expected, qPrintable(QString::number(result, 'g', 17)));
}

void tst_TamglobalNumbers::dilutions()
{
    const QStringList expected = {
        "1/1", "1/2", "1/4", "1/5", "1/8", "1/10", "1/16", "1/20", "1/30", "1/40",
        "1/50", "1/80", "1/100", "1/160", "1/320", "2/5", "3/4", "3/5", "4/5"
    };
    QCOMPARE(dilutionList(), expected);
    // Every entry is a ratio the parser reads back.
    for (const QString &ratio : dilutionList()) {
        bool ok = false;
        QVERIFY(fraction(ratio, &ok) > 0.0);
        QVERIFY2(ok, qPrintable(ratio));
    }
}

void tst_TamglobalNumbers::volume_data()
{
    QTest::addColumn<int>("volume");
    QTest::addColumn<QString>("text");

    QTest::newRow("microlitres") << 500 << "500 uL";
    QTest::newRow("1000 stays") << 1000 << "1000 uL";
    QTest::newRow("just above 1000") << 1001 << "1.001 mL";
    QTest::newRow("millilitres") << 1500 << "1.5 mL";
    QTest::newRow("four digits") << 999999 << "1000 mL";
    QTest::newRow("a million stays") << 1000000 << "1000 mL";
    QTest::newRow("just above a million") << 1000001 << "1 L";
    QTest::newRow("litres") << 1234567 << "1.235 L";
    QTest::newRow("largest") << std::numeric_limits<int>::max() << "2147 L";
    QTest::newRow("negative") << -5 << "-5 uL";
}

void tst_TamglobalNumbers::volume()
{
    QFETCH(int, volume);
    QFETCH(QString, text);
    QCOMPARE(humanReadableVolume(volume), text);
    // Any code other than 4096 reads the same.
    QCOMPARE(humanReadableVolume(4095, volume, false), text);
}

void tst_TamglobalNumbers::volumeOfCode_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("volume");
    QTest::addColumn<bool>("flag");
    QTest::addColumn<QString>("text");

    QTest::newRow("below a tenth") << 4096 << 50000 << false << "<0.1 L";
    QTest::newRow("a tenth") << 4096 << 100000 << false << "0.1 L";
    QTest::newRow("litres") << 4096 << 2500000 << false << "2.5 L";
    QTest::newRow("one decimal") << 4096 << 1260000 << false << "1.3 L";
    QTest::newRow("flag set") << 4096 << 50000 << true << "50 mL";
    QTest::newRow("other code") << 16 << 50000 << false << "50 mL";
}

void tst_TamglobalNumbers::volumeOfCode()
{
    QFETCH(int, code);
    QFETCH(int, volume);
    QFETCH(bool, flag);
    QFETCH(QString, text);
    QCOMPARE(humanReadableVolume(code, volume, flag), text);
}

void tst_TamglobalNumbers::crcKnownValues_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("crc");

    QTest::newRow("check string") << QByteArray("123456789") << 9 << 0x29B1;
    QTest::newRow("abc") << QByteArray("abc") << 3 << 0x514A;
    QTest::newRow("empty") << QByteArray() << 0 << 0xFFFF;
    QTest::newRow("negative length") << QByteArray("abc") << -1 << 0xFFFF;
}

void tst_TamglobalNumbers::crcKnownValues()
{
    QFETCH(QByteArray, data);
    QFETCH(int, length);
    QFETCH(int, crc);
    QCOMPARE(int(crc16(data.constData(), length)), crc);
}

void tst_TamglobalNumbers::crcAgainstPython()
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
#ifdef Q_OS_WIN
    if (python.isEmpty())
        QSKIP("no python3 (the reference) on this Windows");
#endif
    QVERIFY2(!python.isEmpty(), "python3 is needed as the reference");

    // Every length up to 300 crosses all table entries and the register's
    // both bytes; a few long ones and odd start addresses besides.
    QList<int> lengths;
    for (int length = 0; length <= 300; ++length)
        lengths << length;
    lengths << 511 << 512 << 513 << 4095 << 65536 << 100003;

    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    QList<QByteArray> buffers;
    QList<int> offsets;
    QByteArray input;
    for (const int length : lengths) {
        const int offset = int(random.bounded(4));
        QByteArray buffer(offset + length, Qt::Uninitialized);
        for (char &byte : buffer)
            byte = char(random.bounded(256));
        buffers << buffer;
        offsets << offset;
        input += buffer.mid(offset).toHex() + '\n';
    }

    QProcess process;
    process.start(python, {QStringLiteral("-c"), QStringLiteral(
            "import binascii, sys\n"
            "for line in sys.stdin:\n"
            "    print(binascii.crc_hqx(bytes.fromhex(line.strip()), 0xFFFF))\n")});
    QVERIFY(process.waitForStarted(-1));
    process.write(input);
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(-1));
    QCOMPARE(process.exitCode(), 0);
    const QList<QByteArray> expected = process.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(expected.size(), lengths.size());

    for (int i = 0; i < lengths.size(); ++i) {
        const quint16 crc = crc16(buffers.at(i).constData() + offsets.at(i), lengths.at(i));
        QVERIFY2(crc == expected.at(i).toUInt(),
                 qPrintable(QStringLiteral("length %1, seed %2: %3 against %4")
                            .arg(lengths.at(i)).arg(seed).arg(crc)
                            .arg(QString::fromLatin1(expected.at(i)))));
    }
}

QTEST_GUILESS_MAIN(tst_TamglobalNumbers)
#include "tst_tamglobal_numbers.moc"
