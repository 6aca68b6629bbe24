// Script evaluation of the helper module (declared in tamglobal.h).
#include "tamglobal.h"

#include <QFile>
#include <QScriptEngine>
#include <QTextStream>

namespace {

// The engine hands integral numbers over as int; callers get every script
// number as double, inside lists and maps too.
QVariant numbersAsDouble(const QVariant &value)
{
    switch (int(value.type())) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return value.toDouble();
    case QMetaType::QVariantList: {
        QVariantList list = value.toList();
        for (QVariant &item : list)
            item = numbersAsDouble(item);
        return list;
    }
    case QMetaType::QVariantMap: {
        QVariantMap map = value.toMap();
        for (QVariant &item : map)
            item = numbersAsDouble(item);
        return map;
    }
    default:
        return value;
    }
}

QVariant toVariant(const QScriptValue &value)
{
    if (value.isNull() || value.isUndefined())
        return QVariant();
    return numbersAsDouble(value.toVariant());
}

} // namespace

QVariant eval(const QString &program)
{
    QScriptEngine engine;
    const QScriptValue value = engine.evaluate(program, QString(), 1);
    // A thrown value is no result: handing it back would let "throw 5"
    // pass for the number 5.
    if (engine.hasUncaughtException())
        return QVariant();
    return toVariant(value);
}

QVariant load_script(const QString &fileName)
{
    // A file that cannot be opened reads as empty text, which runs to nothing.
    QFile file(fileName);
    QString program;
    if (!fileName.isEmpty() && file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream stream(&file);
        // UTF-8 whatever the locale; a byte-order mark is skipped.
        stream.setCodec("UTF-8");
        program = stream.readAll();
    }

    QScriptEngine engine;
    const QScriptValue value = engine.evaluate(program, fileName, 1);
    if (engine.hasUncaughtException()) {
        const QString message = engine.uncaughtException().toString() + QLatin1Char('\n')
                + engine.uncaughtExceptionBacktrace().join(QLatin1Char('\n'));
        critical(message, QMessageBox::Ok, QMessageBox::NoButton);
        return QVariant();
    }
    return toVariant(value);
}
