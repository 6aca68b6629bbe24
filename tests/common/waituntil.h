#ifndef WAITUNTIL_H
#define WAITUNTIL_H

// Waiting for something that must come, with the event loop running. There
// is no limit: on a loaded machine it only comes later, and if it never comes
// the test hangs and CTest's time-out stops it. A fixed limit here would turn
// a slow machine into a failure.

#include <QtTest>

template <typename Condition>
void waitUntil(Condition condition)
{
    while (!condition())
        QTest::qWait(10);
}

#endif // WAITUNTIL_H
