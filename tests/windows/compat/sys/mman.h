// Windows equivalent, for the tests only, of the one use the shared test sources make of <sys/mman.h>:
// an anonymous page without any access (PROT_NONE), to fault on. VirtualAlloc with PAGE_NOACCESS gives
// the same access violation. Anything else fails loudly with MAP_FAILED.
#pragma once

#include <cstddef>

#include <windows.h>

#define PROT_NONE 0
#define MAP_PRIVATE 0x02
#define MAP_ANONYMOUS 0x20
#define MAP_FAILED (reinterpret_cast<void*>(-1))

inline void* mmap(void* address, size_t length, int protection, int flags, int fd, long offset)
{
    if (address != nullptr || protection != PROT_NONE || flags != (MAP_PRIVATE | MAP_ANONYMOUS) || fd != -1 ||
        offset != 0) {
        OutputDebugStringW(L"tests/windows/compat mmap: only anonymous PROT_NONE pages are provided\r\n");
        return MAP_FAILED;
    }
    void* page = VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    return page != nullptr ? page : MAP_FAILED;
}
