// Kernel-side Win32 subset: critical sections, threads, time, libraries, debug output.
#pragma once

#include "wintypes.h"

#include <pthread.h>

// A critical section is recursive for the thread that holds it, as on Win32.
struct CRITICAL_SECTION
{
    pthread_mutex_t mutex;
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

void InitializeCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);
struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// Only the defaults are supported: no security attributes, default stack, runs at once.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
[[noreturn]] void ExitThread(DWORD exitCode);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
BOOL CloseHandle(HANDLE handle);
DWORD GetCurrentThreadId();
void Sleep(DWORD milliseconds);

// Milliseconds since an arbitrary start, 32 bits, wrapping after about 49.7 days.
DWORD GetTickCount();

HMODULE LoadLibraryW(LPCWSTR fileName);
FARPROC GetProcAddressW(HMODULE module, LPCWSTR procName);
BOOL FreeLibrary(HMODULE module);
HMODULE GetModuleHandleW(LPCWSTR moduleName);

// With C linkage and exported from the program (debug-output.dynamic-list), as kernel32 exports it: a
// loaded library (the CAN driver) finds it by name at run time.
extern "C" void OutputDebugStringW(LPCWSTR text);
void NKDbgPrintfW(LPCWSTR format, ...);
// Formats at most 1024 characters including the terminator, as on Win32.
int wsprintfW(LPWSTR buffer, LPCWSTR format, ...);
DWORD GetLastError();
void SetLastError(DWORD error);
