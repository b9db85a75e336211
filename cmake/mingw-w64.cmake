# Cross build for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64, binutils-mingw-w64-x86-64).
# The -posix compilers carry std::thread and std::mutex (on winpthreads); everything is linked
# statically, so the programs and the driver library need no MinGW DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CANCHECK_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CANCHECK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CANCHECK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CANCHECK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CANCHECK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# DWARF 4, not GCC 12's default 5: Wine's debugger reads it, so the backtraces of a hung test program
# under Wine (tests/windows/run-wine-tests.sh) name our functions and lines.
set(CMAKE_C_FLAGS_INIT "-gdwarf-4")
set(CMAKE_CXX_FLAGS_INIT "-gdwarf-4")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
