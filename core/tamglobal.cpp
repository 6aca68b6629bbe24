#include "tamglobal.h"

#include <QThread>

void sleep(int milliseconds)
{
    QThread::msleep(static_cast<unsigned long>(qMax(0, milliseconds)));
}

Core::Core() = default;
Core::~Core() = default;
Core::Core(const Core &) = default;
Core &Core::operator=(const Core &) = default;
