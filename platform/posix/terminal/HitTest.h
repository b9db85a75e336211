// What the terminal front end drew where: the controls of the active (last drawn) window by cell or by
// window handle, for the mouse and for scrolling the focused list view.
#pragma once

#include <vector>

#include "DialogPainter.h"

// The interactive control of the active window at a cell, the one drawn last where controls overlap;
// null elsewhere, as the active window is modal.
const PaintedControl* InteractiveControlAt(const std::vector<PaintedWindow>& painted, int row, int column);
// The active window's drawn control; null when it was not drawn.
const PaintedControl* PaintedControlOf(const std::vector<PaintedWindow>& painted, HWND control);
