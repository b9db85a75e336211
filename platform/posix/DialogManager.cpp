// The dialog manager's keyboard interface: IsDialogMessageW, tab order, Enter and Escape, and
// MapDialogRect.
#include <algorithm>

#include "DebugOutput.h"
#include "Dialog.h"
#include "MessageQueue.h"
#include "WindowObjects.h"

namespace {

bool IsDescendantOf(HWND ancestor, HWND hwnd)
{
    for (HWND parent = GetAncestorParent(hwnd); parent != nullptr; parent = GetAncestorParent(parent)) {
        if (parent == ancestor) {
            return true;
        }
    }
    return false;
}

bool IsTabStop(HWND control)
{
    DWORD style = StyleOf(control);
    // Tab skips hidden and disabled controls; a control's own WS_VISIBLE counts, so that a dialog still
    // hidden during WM_INITDIALOG has its tab stops.
    return (style & (WS_TABSTOP | WS_VISIBLE | WS_DISABLED)) == (WS_TABSTOP | WS_VISIBLE);
}

std::vector<HWND> ControlsOf(HWND dialog)
{
    std::vector<HWND> controls;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        controls.push_back(child);
    }
    return controls;
}

void SendCommand(HWND dialog, int id, HWND control)
{
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
}

// Enter: the focused push button if there is one, else the default button, else IDOK.
void PressDefault(HWND dialog, HWND focus, LRESULT code)
{
    if ((code & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) != 0) {
        if (IsWindowEnabled(focus)) {
            SendCommand(dialog, GetDlgCtrlID(focus), focus);
        }
        return;
    }
    LRESULT defaultId = SendMessageW(dialog, DM_GETDEFID, 0, 0);
    if (HIWORD(defaultId) == DC_HASDEFID) {
        HWND button = GetDlgItem(dialog, LOWORD(defaultId));
        if (button == nullptr || IsWindowEnabled(button)) {
            SendCommand(dialog, LOWORD(defaultId), button);
        }
        return;
    }
    // Without a default push button Enter sends IDOK.
    SendCommand(dialog, IDOK, GetDlgItem(dialog, IDOK));
}

// True when the dialog manager consumed the keystroke.
bool HandleDialogKey(HWND dialog, const MSG& message)
{
    LRESULT code =
        SendMessageW(message.hwnd, WM_GETDLGCODE, message.wParam, reinterpret_cast<LPARAM>(&message));
    if ((code & DLGC_WANTMESSAGE) != 0) {
        return false;
    }
    switch (message.wParam) {
    case VK_TAB:
        if ((code & DLGC_WANTTAB) != 0) {
            return false;
        }
        SendMessageW(dialog, WM_NEXTDLGCTL, GetKeyState(VK_SHIFT) < 0 ? 1 : 0, 0);
        return true;
    case VK_ESCAPE:
        // Escape sends IDCANCEL with the Cancel button's handle, whether or not there is one.
        SendCommand(dialog, IDCANCEL, GetDlgItem(dialog, IDCANCEL));
        return true;
    case VK_RETURN: PressDefault(dialog, message.hwnd, code); return true;
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN:
        if ((code & DLGC_WANTARROWS) != 0) {
            return false;
        }
        ReportUnimplemented(L"moving within a group with the arrow keys", message.hwnd, message.message);
        return true;
    }
    return false;
}

bool AnyCaptionHasMnemonic(HWND dialog)
{
    for (HWND control : ControlsOf(dialog)) {
        if (TextOf(control).find(L'&') != std::wstring::npos) {
            return true;
        }
    }
    return false;
}

// True when the dialog manager consumed the character.
bool HandleDialogChar(HWND dialog, const MSG& message)
{
    LRESULT code =
        SendMessageW(message.hwnd, WM_GETDLGCODE, message.wParam, reinterpret_cast<LPARAM>(&message));
    if ((code & (DLGC_WANTCHARS | DLGC_WANTMESSAGE)) != 0) {
        return false;
    }
    // A character the control does not want would select a control by its mnemonic.
    if (message.wParam > L' ' && AnyCaptionHasMnemonic(dialog)) {
        ReportUnimplemented(L"mnemonics", message.hwnd, message.message);
    }
    return true;
}

// TranslateMessage's part: the character of a keystroke that reaches the control is read next.
void TranslateCurrentInput(const MSG& message)
{
    WCHAR character = TakeCurrentCharacter();
    if (message.message == WM_KEYDOWN && character != 0) {
        CurrentQueue().PushPostedFirst(
            PostedMessage{MSG{message.hwnd, WM_CHAR, static_cast<WPARAM>(character), message.lParam,
                              message.time, message.pt},
                          InputState{}});
    }
}

} // namespace

HWND GetNextDlgTabItem(HWND dialog, HWND control, BOOL previous)
{
    std::vector<HWND> controls = ControlsOf(dialog);
    if (controls.empty()) {
        return nullptr;
    }
    if (previous) {
        std::reverse(controls.begin(), controls.end());
    }
    auto start = std::find(controls.begin(), controls.end(), control);
    size_t first = start == controls.end() ? 0 : static_cast<size_t>(start - controls.begin()) + 1;
    // The search wraps around the template order and may come back to the control itself.
    for (size_t step = 0; step < controls.size(); ++step) {
        HWND candidate = controls[(first + step) % controls.size()];
        if (IsTabStop(candidate)) {
            return candidate;
        }
    }
    return control;
}

void SetDialogFocus(HWND control)
{
    // Focus given by the dialog manager selects the whole text of an edit.
    if ((SendMessageW(control, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) != 0) {
        SendMessageW(control, EM_SETSEL, 0, -1);
    }
    SetFocus(control);
}

void MoveDialogFocus(HWND dialog, WPARAM wParam, LPARAM lParam)
{
    if (LOWORD(lParam) != 0) {
        if (HWND control = reinterpret_cast<HWND>(wParam)) {
            SetDialogFocus(control);
        }
        return;
    }
    HWND focus = GetFocus();
    if (focus != nullptr && !IsDescendantOf(dialog, focus)) {
        focus = nullptr;
    }
    HWND next = GetNextDlgTabItem(dialog, focus, wParam != 0 ? TRUE : FALSE);
    if (next != nullptr) {
        SetDialogFocus(next);
    }
}

BOOL IsDialogMessageW(HWND dialog, LPMSG message)
{
    if (message == nullptr || !IsWindow(dialog) ||
        (message->hwnd != dialog && !IsDescendantOf(dialog, message->hwnd))) {
        return FALSE;
    }
    if (message->message == WM_KEYDOWN && HandleDialogKey(dialog, *message)) {
        return TRUE;
    }
    if (message->message == WM_CHAR && HandleDialogChar(dialog, *message)) {
        return TRUE;
    }
    DispatchPostedMessage(*message);
    return TRUE;
}

void DispatchPostedMessage(const MSG& message)
{
    TranslateCurrentInput(message);
    CallWindowProcedure(message.hwnd, message.message, message.wParam, message.lParam);
}

BOOL MapDialogRect(HWND dialog, LPRECT rect)
{
    if (rect == nullptr || DialogStateOf(dialog) == nullptr) {
        return FALSE;
    }
    *rect = PixelsFromUnits(*rect);
    return TRUE;
}
