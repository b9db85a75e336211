#include "HitTest.h"

namespace {

bool Contains(const CellRect& cells, int row, int column)
{
    return row >= cells.row && row < cells.row + cells.rows && column >= cells.column &&
           column < cells.column + cells.columns;
}

} // namespace

const PaintedControl* InteractiveControlAt(const std::vector<PaintedWindow>& painted, int row, int column)
{
    if (painted.empty()) {
        return nullptr;
    }
    const std::vector<PaintedControl>& controls = painted.back().controls;
    for (auto each = controls.rbegin(); each != controls.rend(); ++each) {
        if (IsInteractive(each->kind) && Contains(each->cells, row, column)) {
            return &*each;
        }
    }
    return nullptr;
}

const PaintedControl* PaintedControlOf(const std::vector<PaintedWindow>& painted, HWND control)
{
    if (painted.empty() || control == nullptr) {
        return nullptr;
    }
    for (const PaintedControl& each : painted.back().controls) {
        if (each.control == control) {
            return &each;
        }
    }
    return nullptr;
}
