#include "CellMapping.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

constexpr double kMostColumnsPerUnit = 1.0;
constexpr double kMostRowsPerUnit = 0.25;
constexpr double kPixelsPerUnit = 2.0; // MapDialogRect's base units here: 8 x 16 pixels

int Floor(double value)
{
    return static_cast<int>(std::floor(value));
}

} // namespace

CellScale ChooseScale(int columns, int rows, LONG widthUnits, LONG heightUnits)
{
    columns = std::max(columns, kMinimumColumns);
    rows = std::max(rows, kMinimumRows);
    double width = std::max<LONG>(widthUnits, 1);
    double height = std::max<LONG>(heightUnits, 1);
    return CellScale{std::min((columns - kFrameColumns) / width, kMostColumnsPerUnit),
                     std::min((rows - kFrameAndStatusRows) / height, kMostRowsPerUnit)};
}

CellRect MapToCells(const CellScale& scale, LONG x, LONG y, LONG width, LONG height, CellShape shape,
                    size_t textLength)
{
    CellRect cells;
    cells.column = Floor(x * scale.columnsPerUnit);
    cells.columns = std::max(1, Floor((x + width) * scale.columnsPerUnit) - cells.column);
    switch (shape) {
    case CellShape::TextLine:
    case CellShape::Label:
        cells.row = Floor((y + height / 2.0) * scale.rowsPerUnit);
        cells.rows = 1;
        break;
    case CellShape::Area:
        cells.row = Floor(y * scale.rowsPerUnit);
        cells.rows = std::max(1, Floor((y + height) * scale.rowsPerUnit) - cells.row);
        break;
    case CellShape::TopRule:
        cells.row = Floor(y * scale.rowsPerUnit);
        cells.rows = 1;
        break;
    }
    if (shape == CellShape::Label) {
        cells.columns = std::min(cells.columns, static_cast<int>(std::max<size_t>(textLength, 1)));
    }
    return cells;
}

CellRect CentredFrame(const CellScale& scale, int screenColumns, int screenRows, LONG widthUnits,
                      LONG heightUnits)
{
    CellRect frame;
    frame.columns = static_cast<int>(std::lround(widthUnits * scale.columnsPerUnit)) + kFrameColumns;
    frame.rows = static_cast<int>(std::lround(heightUnits * scale.rowsPerUnit)) + kFrameAndStatusRows - 1;
    int usableRows = screenRows - 1; // the status line stays free
    frame.column = std::max(0, (screenColumns - frame.columns) / 2);
    frame.row = std::max(0, (usableRows - frame.rows) / 2);
    return frame;
}

std::vector<int> ColumnCells(const CellScale& scale, const std::vector<int>& pixelWidths, int viewColumns)
{
    double total = std::accumulate(pixelWidths.begin(), pixelWidths.end(), 0.0);
    double perPixel = scale.columnsPerUnit / kPixelsPerUnit;
    if (total * perPixel > viewColumns && total > 0) {
        perPixel = viewColumns / total;
    }
    std::vector<int> cells;
    for (int pixels : pixelWidths) {
        cells.push_back(std::max(1, Floor(std::max(pixels, 0) * perPixel)));
    }
    return cells;
}

bool Overlap(const CellRect& a, const CellRect& b)
{
    return a.row < b.row + b.rows && b.row < a.row + a.rows && a.column < b.column + b.columns &&
           b.column < a.column + a.columns;
}
