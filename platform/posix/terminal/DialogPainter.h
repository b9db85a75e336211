// Draws one dialog or message box with ncurses, reading everything through Win32 calls: the frame with
// the caption as a title bar, then the visible controls at their cells (CellMapping.h). Runs on the
// thread of the window's modal loop.
#pragma once

#include <map>
#include <vector>

#include <curses.h>

#include "../winuser.h"
#include "CellMapping.h"
#include "ControlKind.h"

// A drawn control, in screen cells.
struct PaintedControl
{
    HWND control = nullptr;
    ControlKind kind = ControlKind::Unknown;
    CellRect cells;
    int textOffset = 0; // edits: the first character shown
};

struct PaintedWindow
{
    HWND window = nullptr;
    CellRect frame;
    std::vector<PaintedControl> controls; // in drawing order
    // Where the terminal's cursor goes: the caret of a focused edit; row -1 for none.
    int cursorRow = -1;
    int cursorColumn = -1;
};

// First row shown of each list view. The front end scrolls a focused one; painting moves the others
// along with the writes, so that the row written last stays in view.
using ListViewTops = std::map<HWND, int>;

PaintedWindow PaintWindow(WINDOW* screen, const CellScale& scale, HWND window, ListViewTops& tops);

// The first row to show so that the row written last is in view, moving the view as little as possible;
// the top as it was when nothing has been written (row -1).
int FollowingTop(int top, int lastWrittenRow, int dataRows);

// The rows of a list view's data (below its header) that fit its cells.
int ListViewDataRows(const PaintedControl& view);
