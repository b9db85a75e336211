// The frame-id edit and the payload edits take hexadecimal digits as typed.
#pragma once

#include "platform.h"

// Subclasses the frame-id edit (at most 8 digits) and the payload edits (at most 2 each): typed
// 0-9, a-f and A-F go in as upper-case digits, every other typed character is refused. The frame-id
// edit also refuses a digit that would make an identifier wider than the format the extended-frame
// check box shows (7FF standard, 1FFFFFFF extended), so what it shows is what goes out. The template
// keeps their ES_NUMBER; text set by the program is not filtered.
void MakeHexEdits(HWND hDlg);
