// What every part of the dialog code asks of a window: its dialog state, its parent and top-level
// ancestor, and its rectangles in dialog units and pixels.
#include "Dialog.h"

std::shared_ptr<DialogState> DialogStateOf(HWND hwnd)
{
    std::shared_ptr<Window> window = FindWindowObject(hwnd);
    // A control's state belongs to its thread; only a dialog's is set before other threads can see it.
    if (!window || window->className != kDialogClassName) {
        return nullptr;
    }
    auto* state = dynamic_cast<DialogState*>(window->state.get());
    return state != nullptr ? std::shared_ptr<DialogState>(window, state) : nullptr;
}

HWND GetAncestorParent(HWND hwnd)
{
    std::shared_ptr<Window> window = FindWindowObject(hwnd);
    return window ? window->parent : nullptr;
}

HWND TopLevelAncestor(HWND hwnd)
{
    for (HWND parent = GetAncestorParent(hwnd); parent != nullptr; parent = GetAncestorParent(parent)) {
        hwnd = parent;
    }
    return hwnd;
}

RECT UnitRect(short x, short y, short cx, short cy)
{
    return RECT{x, y, x + cx, y + cy};
}

RECT PixelsFromUnits(const RECT& units)
{
    // Horizontal dialog units are quarters, vertical ones eighths of the base units.
    return RECT{units.left * kBaseUnitX / 4, units.top * kBaseUnitY / 8, units.right * kBaseUnitX / 4,
                units.bottom * kBaseUnitY / 8};
}
