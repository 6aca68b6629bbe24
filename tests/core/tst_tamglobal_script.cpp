#include "tamglobal.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include "dbfixture.h"

class tst_TamglobalScript : public QObject
{
    Q_OBJECT
private slots:
    void evalProgram_data();
    void evalProgram();
    void evalStartsFresh();
    void loadScript_data();
    void loadScript();
    void loadScriptIsUtf8WhateverTheLocale();
};

void tst_TamglobalScript::evalProgram_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("integral sum is a double") << "1+2" << QVariant(3.0);
    QTest::newRow("fraction") << "0.1+0.2" << QVariant(0.1 + 0.2);
    QTest::newRow("function") << "Math.sqrt(16)" << QVariant(4.0);
    QTest::newRow("string") << "'a'+'b'" << QVariant(QStringLiteral("ab"));
    QTest::newRow("boolean") << "3 > 2" << QVariant(true);
    QTest::newRow("last statement") << "var x = 6; x * 7" << QVariant(42.0);
    QTest::newRow("list") << "[1, 'x', [2.5, 3]]"
                          << QVariant(QVariantList{1.0, QStringLiteral("x"), QVariantList{2.5, 3.0}});
    QTest::newRow("map") << "({a: 1, b: {c: 'd'}})"
                         << QVariant(QVariantMap{{"a", 1.0}, {"b", QVariantMap{{"c", "d"}}}});
    QTest::newRow("empty") << "" << QVariant();
    QTest::newRow("undefined") << "undefined" << QVariant();
    QTest::newRow("null") << "null" << QVariant();
    QTest::newRow("declaration only") << "var y = 1;" << QVariant();
    // A thrown value is not a result.
    QTest::newRow("thrown number") << "throw 5" << QVariant();
    QTest::newRow("thrown error") << "throw new Error('bad')" << QVariant();
    QTest::newRow("syntax error") << "foo(" << QVariant();
    QTest::newRow("unknown name") << "noSuchName + 1" << QVariant();
}

void tst_TamglobalScript::evalProgram()
{
    QFETCH(QString, program);
    QFETCH(QVariant, value);

    const QVariant result = eval(program);
    QCOMPARE(result.isValid(), value.isValid());
    QCOMPARE(result.userType(), value.userType());
    QCOMPARE(result, value);
}

void tst_TamglobalScript::evalStartsFresh()
{
    QCOMPARE(eval(QStringLiteral("var kept = 5; kept")), QVariant(5.0));
    // A later program does not see the earlier one's definitions.
    QCOMPARE(eval(QStringLiteral("typeof kept")), QVariant(QStringLiteral("undefined")));
}

void tst_TamglobalScript::loadScript_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("program") << QByteArray("var x = 6; x * 7") << QVariant(42.0);
    QTest::newRow("lines") << QByteArray("function f(a) {\n  return a + 1;\n}\nf(1)\n") << QVariant(2.0);
    QTest::newRow("windows line ends") << QByteArray("var a = 2;\r\nvar b = 3;\r\na * b\r\n") << QVariant(6.0);
    QTest::newRow("utf-8") << QByteArray("'\xe6\xb8\xa9\xe5\xba\xa6 \xc2\xb5L'")
                           << QVariant(QString::fromUtf8("\xe6\xb8\xa9\xe5\xba\xa6 \xc2\xb5L"));
    QTest::newRow("byte-order mark") << QByteArray("\xef\xbb\xbf'\xc3\xa9t\xc3\xa9'")
                                     << QVariant(QString::fromUtf8("\xc3\xa9t\xc3\xa9"));
    QTest::newRow("empty file") << QByteArray() << QVariant();
}

void tst_TamglobalScript::loadScript()
{
    QFETCH(QByteArray, content);
    QFETCH(QVariant, value);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("script.js"));
    QVERIFY(Fixture::writeFile(path, content));

    const QVariant result = load_script(path);
    QCOMPARE(result.userType(), value.userType());
    QCOMPARE(result, value);
}

void tst_TamglobalScript::loadScriptIsUtf8WhateverTheLocale()
{
    // A single-byte code page would turn each byte of a character into one
    // character of its own.
    QTextCodec *previous = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("\xc3\xa9tiquette.js"));
    const bool written = Fixture::writeFile(path, QByteArray("'\xe2\x84\x83'.length"));
    const QVariant result = load_script(path);
    QTextCodec::setCodecForLocale(previous);

    QVERIFY(written);
    QCOMPARE(result, QVariant(1.0));
}

QTEST_MAIN(tst_TamglobalScript)
#include "tst_tamglobal_script.moc"
