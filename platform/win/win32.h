// Windows: the real Win32 API, plus the few Windows CE calls that desktop Windows lacks.
//
//   implemented  GetProcAddressW (the entry point's name is wide on Windows CE, narrow on the desktop);
//                NKDbgPrintfW (the CE kernel's debug print, here formatted by wvsprintfW and written
//                with OutputDebugStringW); RunGuarded (FaultGuard.h) with a vectored exception handler.
//   deliberately not  __try/__except: MinGW g++ has no such syntax, hence RunGuarded everywhere.
#pragma once

// The program names the wide calls explicitly; UNICODE makes the resource-type macros (RT_DIALOG)
// wide as well, as they are on Windows CE, which is Unicode only.
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef NOMINMAX
#define NOMINMAX // std::min and std::max stay usable
#endif

#include <windows.h>

#include <commctrl.h>

// Looks an entry point up by a wide name, as on Windows CE. A name that is not plain ASCII cannot be
// an exported name of ours and fails with ERROR_PROC_NOT_FOUND. Ordinals (MAKEINTRESOURCEW) are passed on.
FARPROC GetProcAddressW(HMODULE module, LPCWSTR procName);

// Formats as wsprintfW does (at most 1024 characters) and writes the line to the debugger's output.
void NKDbgPrintfW(LPCWSTR format, ...);
