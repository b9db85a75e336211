// Where the terminal front end puts a dialog and its controls: from dialog units to character cells.
//
// One scale for the whole screen, chosen from the terminal's size and the first dialog: the dialog with
// its frame (one cell each side, the caption in the top border) fills the screen above the status line,
// at most one column and a quarter row per dialog unit (a dialog unit is a quarter of an average
// character's width and an eighth of its height, so larger terminals do not stretch text rows apart).
// A control that shows one line of text (button, edit, check box, list box, static text) takes the row
// of its vertical centre; a list view takes the rows it covers; a group box is a rule along its top edge.
#pragma once

#include <string>
#include <vector>

#include "../wintypes.h"

struct CellScale
{
    double columnsPerUnit = 0;
    double rowsPerUnit = 0;
};

struct CellRect
{
    int row = 0;
    int column = 0;
    int rows = 0;
    int columns = 0;

    bool operator==(const CellRect&) const = default;
};

// How a control uses the cells of its rectangle.
enum class CellShape
{
    TextLine, // one row at the vertical centre, the whole width
    Label,    // one row at the vertical centre, only as wide as its text
    Area,     // every row it covers
    TopRule,  // the top row only (group boxes)
};

// The smallest terminal on which every visible control of the console keeps its own cells.
constexpr int kMinimumColumns = 80;
constexpr int kMinimumRows = 24;
// Rows taken from the screen besides the dialog: its top and bottom frame, and the status line.
constexpr int kFrameAndStatusRows = 3;
constexpr int kFrameColumns = 2;

// The scale for a screen of columns x rows showing a dialog of widthUnits x heightUnits; a screen smaller
// than the minimum is treated as the minimum (the front end clips what does not fit).
CellScale ChooseScale(int columns, int rows, LONG widthUnits, LONG heightUnits);

// The cells of a rectangle in dialog units, relative to the dialog's client area.
CellRect MapToCells(const CellScale& scale, LONG x, LONG y, LONG width, LONG height, CellShape shape,
                    size_t textLength);

// The outer rectangle of a window of widthUnits x heightUnits, frame included, centred (DS_CENTER) in the
// screen above the status line.
CellRect CentredFrame(const CellScale& scale, int screenColumns, int screenRows, LONG widthUnits,
                      LONG heightUnits);

// List view column widths in cells, scaled from their pixel widths (two pixels per dialog unit here);
// when they would not fit the view's width they are scaled down together so that they do.
std::vector<int> ColumnCells(const CellScale& scale, const std::vector<int>& pixelWidths, int viewColumns);

// True when the two rectangles share a cell.
bool Overlap(const CellRect& a, const CellRect& b);
