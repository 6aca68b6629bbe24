// The parts of the helpers that call the system directly.

#include "tamglobal.h"

#include <cerrno>
#include <ctime>

void sleep(int milliseconds)
{
    if (milliseconds <= 0)
        return;
    timespec left = {milliseconds / 1000, long(milliseconds % 1000) * 1000000L};
    // A signal handler cuts the wait short; the rest is still owed.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
