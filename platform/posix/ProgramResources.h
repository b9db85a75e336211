// The program's own resources on a platform without a resource section: a start-up step registers the
// bytes a resource compiler would have linked in, and FindResourceW, LoadResource, LockResource and
// SizeofResource find them in the program's module. Not a Win32 call.
#pragma once

#include "wintypes.h"

// Registers a copy of size bytes as resource name of type in language (for example RT_DIALOG,
// MAKEINTRESOURCEW(101), 1031). Names and types are ordinals or strings; string names ignore case.
// Registering the same type, name and language again replaces nothing and returns FALSE.
BOOL RegisterProgramResource(LPCWSTR type, LPCWSTR name, WORD language, const void* data, DWORD size);
