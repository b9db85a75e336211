#include "FocusKeeping.h"

namespace {

// The control that lost the focus by being disabled is kept in the dialog's DWLP_USER.
HWND ControlThatLostFocus(HWND hDlg)
{
    return reinterpret_cast<HWND>(GetWindowLongPtrW(hDlg, DWLP_USER));
}

void RememberControlThatLostFocus(HWND hDlg, HWND control)
{
    SetWindowLongPtrW(hDlg, DWLP_USER, reinterpret_cast<LONG_PTR>(control));
}

void GiveFocusTo(HWND hDlg, HWND control)
{
    SendMessageW(hDlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

} // namespace

void EnableDialogControl(HWND hDlg, int id, BOOL enable)
{
    HWND control = GetDlgItem(hDlg, id);
    if (!enable && control != nullptr && GetFocus() == control) {
        RememberControlThatLostFocus(hDlg, control);
    }
    EnableWindow(control, enable);
    // Given back only while no other control has taken the focus in between.
    if (enable && control != nullptr && control == ControlThatLostFocus(hDlg)) {
        RememberControlThatLostFocus(hDlg, nullptr);
        if (GetFocus() == nullptr) {
            GiveFocusTo(hDlg, control);
        }
    }
}

void PassOnFocusFromDisabledControl(HWND hDlg)
{
    HWND disabled = ControlThatLostFocus(hDlg);
    if (disabled == nullptr) {
        return;
    }
    HWND focus = GetFocus();
    // A notification command sent while the control is still losing the focus (EN_KILLFOCUS).
    if (focus == disabled) {
        return;
    }
    RememberControlThatLostFocus(hDlg, nullptr);
    if (focus != nullptr) {
        return;
    }
    if (IsWindowEnabled(disabled)) {
        GiveFocusTo(hDlg, disabled);
        return;
    }
    // The search starts from the disabled control, so the focus moves on from where it was.
    HWND next = GetNextDlgTabItem(hDlg, disabled, FALSE);
    if (next != nullptr && next != disabled && IsWindowEnabled(next)) {
        GiveFocusTo(hDlg, next);
    }
}
