// Windows equivalent, for the tests only, of getpagesize(), which MinGW's <unistd.h> lacks. Forced into
// the shared test sources that fault on a page of their own (compat/sys/mman.h).
#pragma once

#include <windows.h>

inline int getpagesize()
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return static_cast<int>(system.dwPageSize);
}
