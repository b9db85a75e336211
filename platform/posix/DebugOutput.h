// Where debug output goes. By default each line is written to standard error as UTF-8; a front end
// that owns the terminal can take the lines instead.
#pragma once

#include "wintypes.h"

typedef void (*DebugOutputSink)(LPCWSTR text);

// Installs sink (nullptr restores standard error) and returns the previous one.
DebugOutputSink SetDebugOutputSink(DebugOutputSink sink);
