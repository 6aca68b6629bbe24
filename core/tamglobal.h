#ifndef TAMGLOBAL_H
#define TAMGLOBAL_H

#include "core_global.h"

// Suspends the calling thread; does not process events.
CORE_EXPORT void sleep(int milliseconds);

// Empty marker class of the library.
class CORE_EXPORT Core
{
public:
    Core();
    ~Core();
    Core(const Core &other);
    Core &operator=(const Core &other);
};

#endif // TAMGLOBAL_H
