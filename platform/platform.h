// The one header through which the program reaches its platform.
//
// On Windows this is the real Win32 API (plus the few Windows CE calls desktop Windows lacks).
// Elsewhere it is our own layer under platform/posix/, which keeps the Win32 names, signatures and
// constant values for the subset the program and its tests use:
//
//   implemented  types and constants; critical sections; CreateThread, ExitThread, WaitForSingleObject,
//                CloseHandle, Sleep, GetCurrentThreadId; GetTickCount; LoadLibraryW (NAME.dll is found as
//                libNAME.so beside the program, then along the library search path), GetProcAddressW,
//                FreeLibrary, GetModuleHandleW; NKDbgPrintfW, OutputDebugStringW, wsprintfW;
//                RunGuarded (the structured-exception guard, for hardware faults only);
//                the windowing subset listed at the top of posix/winuser.h (dialogs, controls, message
//                box, resources) and posix/commctrl.h (common controls, the report list view).
//   deliberately not  WCHAR is wchar_t (UTF-32 here, UTF-16 on Windows); texts are converted where bytes
//                cross the boundary (dialog templates). No __try/__except syntax: RunGuarded instead.
//                No security attributes, no thread suspension, no process-wide module list.
#pragma once

#ifdef _WIN32
#include "win/win32.h"
#else
#include "posix/commctrl.h"
#include "posix/winbase.h"
#include "posix/wintypes.h"
#include "posix/winuser.h"
#endif

#include "FaultGuard.h"
