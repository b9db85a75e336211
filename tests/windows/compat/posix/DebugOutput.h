// Windows equivalent, for the tests only, of the Linux layer's debug-output seam: the lines the program
// writes with OutputDebugStringW (and NKDbgPrintfW) are taken from the debug-print exceptions that
// OutputDebugString raises for a debugger, by a vectored exception handler. Wine raises the narrow
// DBG_PRINTEXCEPTION_C; Windows 10 and later raise DBG_PRINTEXCEPTION_WIDE_C first.
#pragma once

#include <windows.h>

typedef void (*DebugOutputSink)(LPCWSTR text);

// Installs sink (nullptr: the lines go to the debugger again) and returns the previous one.
DebugOutputSink SetDebugOutputSink(DebugOutputSink sink);
