// The parts of the helpers that call the system directly.

#include "tamglobal.h"

#include <windows.h>

void sleep(int milliseconds)
{
    if (milliseconds > 0)
        ::Sleep(DWORD(milliseconds));
}
