#include "tamglobal.h"

#include <QElapsedTimer>
#include <QtTest>

class tst_TamglobalBasics : public QObject
{
    Q_OBJECT
private slots:
    void sleepSuspends();
};

void tst_TamglobalBasics::sleepSuspends()
{
    QElapsedTimer timer;
    timer.start();
    sleep(30);
    QVERIFY(timer.elapsed() >= 29);
    Core a, b(a);
    b = a;
}

QTEST_GUILESS_MAIN(tst_TamglobalBasics)
#include "tst_tamglobal_basics.moc"
