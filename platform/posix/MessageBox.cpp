// MessageBoxW: a modal dialog of class "#32770" built from the arguments, owned by the given window.
#include <algorithm>

#include "DebugOutput.h"
#include "Dialog.h"
#include "WindowObjects.h"
#include "winbase.h"

namespace {

// The control identifiers of a message box, as on Win32.
constexpr WORD kTextId = 0xFFFF;
constexpr WORD kIconId = 0x0014;

constexpr UINT kSupportedFlags = MB_TYPEMASK | MB_ICONMASK | MB_SETFOREGROUND | MB_TOPMOST;
constexpr short kMargin = 7;
constexpr short kIconSize = 20;
constexpr short kButtonWidth = 50;
constexpr short kButtonHeight = 14;

DialogItemDescription Item(const wchar_t* className, DWORD style, WORD id, const std::wstring& caption,
                           short x, short y, short cx, short cy)
{
    DialogItemDescription item;
    item.className = className;
    item.style = WS_CHILD | WS_VISIBLE | style;
    item.id = id;
    item.caption = caption;
    item.x = x;
    item.y = y;
    item.cx = cx;
    item.cy = cy;
    return item;
}

// Lines and the longest line of the text, in characters.
void Measure(const std::wstring& text, short& lines, short& columns)
{
    lines = 1;
    columns = 0;
    short current = 0;
    for (wchar_t c : text) {
        if (c == L'\n') {
            ++lines;
            current = 0;
        } else {
            columns = std::max(columns, ++current);
        }
    }
}

// One average character is 4 dialog units wide and 8 high.
DialogDescription Describe(const std::wstring& text, const std::wstring& caption, UINT type)
{
    DialogDescription box;
    box.style = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT;
    box.exStyle = WS_EX_DLGMODALFRAME | ((type & MB_TOPMOST) != 0 ? WS_EX_TOPMOST : 0);
    box.caption = caption;
    bool hasIcon = (type & MB_ICONMASK) != 0;
    bool hasCancel = (type & MB_TYPEMASK) == MB_OKCANCEL;
    short lines = 0, columns = 0;
    Measure(text, lines, columns);
    short textX = hasIcon ? kMargin * 2 + kIconSize : kMargin;
    short textWidth = std::max<short>(columns * 4, 40);
    short buttonsY = std::max<short>(kMargin + lines * 8, hasIcon ? kMargin + kIconSize : 0) + kMargin;
    short buttonsWidth = hasCancel ? kButtonWidth * 2 + kMargin : kButtonWidth;
    box.cx = std::max<short>(textX + textWidth + kMargin, buttonsWidth + kMargin * 2);
    box.cy = buttonsY + kButtonHeight + kMargin;
    short buttonX = (box.cx - buttonsWidth) / 2;
    box.items.push_back(Item(L"Button", BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, IDOK, L"OK", buttonX,
                             buttonsY, kButtonWidth, kButtonHeight));
    if (hasCancel) {
        box.items.push_back(Item(L"Button", BS_PUSHBUTTON | WS_TABSTOP, IDCANCEL, L"Cancel",
                                 buttonX + kButtonWidth + kMargin, buttonsY, kButtonWidth, kButtonHeight));
    }
    if (hasIcon) {
        box.items.push_back(Item(L"Static", SS_ICON, kIconId, L"", kMargin, kMargin, kIconSize, kIconSize));
    }
    box.items.push_back(Item(L"Static", SS_LEFT | SS_NOPREFIX | WS_GROUP, kTextId, text, textX, kMargin,
                             textWidth, lines * 8));
    return box;
}

void OnCommand(HWND box, WORD id)
{
    auto type = static_cast<UINT>(GetWindowLongPtrW(box, DWLP_USER));
    bool hasCancel = (type & MB_TYPEMASK) == MB_OKCANCEL;
    if (id == IDOK) {
        EndDialog(box, IDOK);
    } else if (id == IDCANCEL) {
        // Escape in a box without a Cancel button answers IDOK.
        EndDialog(box, hasCancel ? IDCANCEL : IDOK);
    }
}

INT_PTR CALLBACK MessageBoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(box, DWLP_USER, lParam);
        SendMessageW(box, DM_SETDEFID, IDOK, 0);
        return TRUE;
    case WM_COMMAND: OnCommand(box, LOWORD(wParam)); return TRUE;
    }
    return FALSE;
}

} // namespace

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    UINT buttons = type & MB_TYPEMASK;
    if ((type & ~kSupportedFlags) != 0 || (buttons != MB_OK && buttons != MB_OKCANCEL)) {
        ReportUnimplemented(L"these message box flags", owner, type);
        return 0;
    }
    if (owner != nullptr && !IsWindow(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    // Without a caption the box is titled "Error".
    DialogDescription box =
        Describe(text != nullptr ? text : L"", caption != nullptr ? caption : L"Error", type);
    HWND topLevelOwner = owner != nullptr ? TopLevelAncestor(owner) : nullptr;
    HWND dialog = CreateDialogWindows(box, topLevelOwner, MessageBoxProc);
    if (dialog == nullptr) {
        return 0;
    }
    return static_cast<int>(RunModalDialog(dialog, topLevelOwner, static_cast<LPARAM>(type)));
}
