// Where debug output goes. By default each line is written to standard error as UTF-8; a front end
// that owns the terminal can take the lines instead.
#pragma once

#include "winuser.h"

typedef void (*DebugOutputSink)(LPCWSTR text);

// Installs sink (nullptr restores standard error) and returns the previous one.
DebugOutputSink SetDebugOutputSink(DebugOutputSink sink);

// Writes a line saying that the layer does not implement what was asked; a missing behaviour is found
// by its log line instead of a silent wrong answer.
void ReportUnimplemented(const wchar_t* what, HWND window, UINT message);
