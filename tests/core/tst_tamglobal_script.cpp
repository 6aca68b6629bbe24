#include "tamglobal.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include "dbfixture.h"
#include "messageboxcatcher.h"

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
    void loadScriptShowsUncaughtException_data();
    void loadScriptShowsUncaughtException();
    void loadScriptOfMissingFile();
    void evalShowsNothing();
};

void tst_TamglobalScript::evalProgram_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("integral sum is a double") << "1+2" << QVariant(3.0);
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
    // A thrown value is not a result.
    QTest::newRow("thrown number") << "throw 5" << QVariant();
    QTest::newRow("thrown error") << "throw new Error('bad')" << QVariant();
    QTest::newRow("syntax error") << "foo(" << QVariant();
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

void tst_TamglobalScript::loadScriptShowsUncaughtException_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("exception");
    QTest::addColumn<QStringList>("backtrace"); // a pattern a line, innermost call first

    QTest::newRow("thrown error")
            << QByteArray("var volume = 5;\nfunction check(v) {\n  throw new Error('bad volume ' + v);\n}\ncheck(volume);\n")
            << "Error: bad volume 5"
            << QStringList{"^check\\(v = 5\\) at .*script\\.js:3$", "^<global>\\(\\) at .*script\\.js:5$"};
    QTest::newRow("thrown value") << QByteArray("1;\nthrow 42;") << "42"
                                  << QStringList{"^<global>\\(\\) at .*script\\.js:2$"};
    // The engine has no backtrace for a script that never ran.
    QTest::newRow("syntax error") << QByteArray("var = ;") << "SyntaxError: Parse error" << QStringList();
}

void tst_TamglobalScript::loadScriptShowsUncaughtException()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, exception);
    QFETCH(QStringList, backtrace);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("script.js"));
    QVERIFY(Fixture::writeFile(path, content));
    QApplication::setApplicationName(QStringLiteral("Analyzer"));

    MessageBoxCatcher catcher;
    const QVariant result = load_script(path);

    QVERIFY(!result.isValid());
    QCOMPARE(catcher.boxes.size(), 1);
    const MessageBoxCatcher::Box &box = catcher.boxes.first();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.title, QStringLiteral("Analyzer"));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.defaultButton, QMessageBox::NoButton);

    // The exception's text, a line feed, then the backtrace a line each.
    const QStringList lines = box.text.split(QLatin1Char('\n'));
    QCOMPARE(lines.first(), exception);
    const QStringList trace = lines.mid(1);
    if (backtrace.isEmpty()) {
        QCOMPARE(trace, QStringList{QString()});
    } else {
        QCOMPARE(trace.size(), backtrace.size());
        for (int i = 0; i < trace.size(); ++i)
            QVERIFY2(QRegularExpression(backtrace.at(i)).match(trace.at(i)).hasMatch(), qPrintable(trace.at(i)));
    }
}

void tst_TamglobalScript::loadScriptOfMissingFile()
{
    QTemporaryDir dir;
    MessageBoxCatcher catcher;
    // A box would run its own loop until the catcher closes it, so none
    // recorded here means none was shown.
    const QVariant result = load_script(dir.filePath(QStringLiteral("missing.js")));
    QVERIFY(!result.isValid());
    QCOMPARE(catcher.texts(), QStringList());
    QCOMPARE(load_script(QString()), QVariant());
    QCOMPARE(catcher.texts(), QStringList());
}

void tst_TamglobalScript::evalShowsNothing()
{
    MessageBoxCatcher catcher;
    QCOMPARE(eval(QStringLiteral("throw new Error('quiet')")), QVariant());
    QCOMPARE(eval(QStringLiteral("var = ;")), QVariant());
    QCOMPARE(catcher.texts(), QStringList());
}

QTEST_MAIN(tst_TamglobalScript)
#include "tst_tamglobal_script.moc"
