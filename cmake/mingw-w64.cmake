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

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
