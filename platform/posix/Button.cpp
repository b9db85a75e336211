// The "Button" class: push buttons, check boxes (auto and plain) and group boxes.
//
// Implemented: BM_CLICK, BM_GETCHECK, BM_SETCHECK, BM_GETSTATE, BM_SETSTATE, clicks (button down, up
// inside), Space (down, then up), BN_CLICKED, BN_SETFOCUS/BN_KILLFOCUS with BS_NOTIFY, WM_GETDLGCODE.
// Not: radio buttons' group behaviour, three-state cycling beyond BS_AUTO3STATE, BM_SETSTYLE, images,
// owner draw (logged).
#include "ControlClasses.h"
#include "DebugOutput.h"
#include "MessageQueue.h"
#include "WindowObjects.h"

namespace {

struct ButtonState : ControlState
{
    int check = BST_UNCHECKED;
    bool pushed = false;
};

DWORD ButtonType(HWND button)
{
    return StyleOf(button) & BS_TYPEMASK;
}

bool IsCheckBox(DWORD type)
{
    return type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE || type == BS_AUTO3STATE;
}

ButtonState& StateOfButton(HWND button)
{
    // The window procedure runs for a window that exists; the object outlives this call.
    return StateOf<ButtonState>(*FindWindowObject(button));
}

LRESULT DialogCode(HWND button)
{
    switch (ButtonType(button)) {
    case BS_PUSHBUTTON: return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON;
    case BS_DEFPUSHBUTTON: return DLGC_BUTTON | DLGC_DEFPUSHBUTTON;
    case BS_GROUPBOX: return DLGC_STATIC;
    case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON: return DLGC_BUTTON | DLGC_RADIOBUTTON;
    }
    return DLGC_BUTTON;
}

void SetPushed(HWND button, bool pushed)
{
    ButtonState& state = StateOfButton(button);
    if (state.pushed != pushed) {
        state.pushed = pushed;
        NoteVisibleChange(button);
    }
}

void SetCheck(HWND button, WPARAM check)
{
    DWORD type = ButtonType(button);
    if (!IsCheckBox(type)) {
        return; // BM_SETCHECK has no effect on push buttons and group boxes
    }
    // Only three-state boxes take BST_INDETERMINATE; others treat it as checked.
    int value = check == BST_UNCHECKED ? BST_UNCHECKED
                : check == BST_INDETERMINATE && (type == BS_3STATE || type == BS_AUTO3STATE)
                    ? BST_INDETERMINATE
                    : BST_CHECKED;
    ButtonState& state = StateOfButton(button);
    if (state.check != value) {
        state.check = value;
        NoteVisibleChange(button);
    }
}

void Clicked(HWND button)
{
    DWORD type = ButtonType(button);
    // A disabled button does not send BN_CLICKED.
    if (type == BS_GROUPBOX || (StyleOf(button) & WS_DISABLED) != 0) {
        return;
    }
    ButtonState& state = StateOfButton(button);
    if (type == BS_AUTOCHECKBOX) {
        SetCheck(button, state.check == BST_UNCHECKED ? BST_CHECKED : BST_UNCHECKED);
    } else if (type == BS_AUTO3STATE) {
        SetCheck(button, (state.check + 1) % 3);
    } else if (type == BS_AUTORADIOBUTTON) {
        ReportUnimplemented(L"automatic radio buttons", button, BM_CLICK);
    }
    // The auto check box has toggled before its parent hears of the click.
    NotifyParent(button, BN_CLICKED);
}

void ButtonDown(HWND button)
{
    if (ButtonType(button) == BS_GROUPBOX || (StyleOf(button) & WS_DISABLED) != 0) {
        return;
    }
    SetFocus(button);
    SetPushed(button, true);
}

// A press ends with a click only if it is released over the button.
void ButtonUp(HWND button, bool inside)
{
    ButtonState& state = StateOfButton(button);
    if (!state.pushed) {
        return;
    }
    SetPushed(button, false);
    if (inside) {
        Clicked(button);
    }
}

bool PointInside(HWND button, LPARAM point)
{
    RECT client{};
    GetClientRect(button, &client);
    LONG x = static_cast<short>(LOWORD(point));
    LONG y = static_cast<short>(HIWORD(point));
    return x >= 0 && y >= 0 && x < client.right && y < client.bottom;
}

LRESULT StateBits(HWND button)
{
    ButtonState& state = StateOfButton(button);
    LRESULT result = state.check;
    if (state.pushed) {
        result |= BST_PUSHED;
    }
    if (GetFocus() == button) {
        result |= BST_FOCUS;
    }
    return result;
}

void NotifyFocus(HWND button, WORD code)
{
    NoteVisibleChange(button);
    if ((StyleOf(button) & BS_NOTIFY) != 0) {
        NotifyParent(button, code);
    }
}

} // namespace

LRESULT CALLBACK ButtonWindowProc(HWND button, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_GETDLGCODE: return DialogCode(button);
    case BM_GETCHECK: return IsCheckBox(ButtonType(button)) ? StateOfButton(button).check : BST_UNCHECKED;
    case BM_SETCHECK: SetCheck(button, wParam); return 0;
    case BM_GETSTATE: return StateBits(button);
    case BM_SETSTATE: SetPushed(button, wParam != 0); return 0;
    case BM_CLICK:
        // BM_CLICK is a button down and up over the button.
        ButtonDown(button);
        ButtonUp(button, true);
        return 0;
    case WM_LBUTTONDOWN: ButtonDown(button); return 0;
    case WM_LBUTTONUP: ButtonUp(button, PointInside(button, lParam)); return 0;
    case WM_KEYDOWN:
        if (wParam == VK_SPACE) {
            SetPushed(button, true);
        }
        return 0;
    case WM_KEYUP:
        if (wParam == VK_SPACE) {
            ButtonUp(button, true);
        }
        return 0;
    case WM_SETFOCUS: NotifyFocus(button, BN_SETFOCUS); return 0;
    case WM_KILLFOCUS:
        // Losing the focus cancels a press without a click.
        SetPushed(button, false);
        NotifyFocus(button, BN_KILLFOCUS);
        return 0;
    case WM_ENABLE: NoteVisibleChange(button); return 0;
    case BM_SETSTYLE: ReportUnimplemented(L"BM_SETSTYLE", button, message); return 0;
    }
    return DefWindowProcW(button, message, wParam, lParam);
}
