#include "HexEdits.h"

#include <algorithm>
#include <cwchar>
#include <string>

#include "ConsoleControls.h"
#include "cCanPacket.h"

namespace {

// An identifier has at most 29 bits (8 hexadecimal digits), a data byte 2 digits: so the text the
// transmit reads is always the whole text the edit shows.
constexpr WPARAM kFrameIdDigits = 8;
constexpr WPARAM kPayloadDigits = 2;

bool IsHexDigit(WCHAR character)
{
    return (character >= L'0' && character <= L'9') || (character >= L'a' && character <= L'f') ||
           (character >= L'A' && character <= L'F');
}

WCHAR UpperCase(WCHAR character)
{
    return character >= L'a' && character <= L'f' ? static_cast<WCHAR>(character - L'a' + L'A') : character;
}

WNDPROC EditProcedureOf(HWND edit)
{
    return reinterpret_cast<WNDPROC>(GetWindowLongPtrW(edit, GWLP_USERDATA));
}

// Whether the frame-id text after typing digit over the selection, as the edit would hold it, is an
// identifier the format that the extended-frame check box shows can carry: cCanPacket would mask a
// wider one, and the frame would leave with another id than the one shown.
bool WouldFitTheFormat(HWND edit, WCHAR digit)
{
    WCHAR text[kFrameIdDigits + 1] = {};
    GetWindowTextW(edit, text, static_cast<int>(std::size(text)));
    DWORD start = 0;
    DWORD end = 0;
    CallWindowProcW(EditProcedureOf(edit), edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                    reinterpret_cast<LPARAM>(&end));
    std::wstring typed(text);
    start = std::min<DWORD>(start, static_cast<DWORD>(typed.size()));
    end = std::min<DWORD>(std::max(start, end), static_cast<DWORD>(typed.size()));
    typed.replace(start, end - start, 1, digit);
    bool extended = SendDlgItemMessageW(GetParent(edit), kExtendedCheckBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
    return wcstoul(typed.c_str(), nullptr, 16) <= (extended ? kExtendedIdMask : kStandardIdMask);
}

// ES_NUMBER would refuse the letters, so accepted digits go in as a replaced selection, which keeps to
// the edit's text limit like typing does. Control characters (Backspace) stay the edit's own.
LRESULT CALLBACK HexEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam)
{
    WNDPROC editProcedure = EditProcedureOf(edit);
    if (message == WM_CHAR && wParam >= L' ') {
        auto character = static_cast<WCHAR>(wParam);
        if (IsHexDigit(character) &&
            (GetDlgCtrlID(edit) != kFrameIdEdit || WouldFitTheFormat(edit, character))) {
            const WCHAR digit[2] = {UpperCase(character), 0};
            CallWindowProcW(editProcedure, edit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(digit));
        }
        return 0;
    }
    return CallWindowProcW(editProcedure, edit, message, wParam, lParam);
}

void MakeHexEdit(HWND hDlg, int id, WPARAM digits)
{
    HWND edit = GetDlgItem(hDlg, id);
    SendMessageW(edit, EM_LIMITTEXT, digits, 0);
    // The edit's own procedure is kept in its user data, which the Edit class leaves to the program.
    SetWindowLongPtrW(edit, GWLP_USERDATA, GetWindowLongPtrW(edit, GWLP_WNDPROC));
    SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(HexEditProc));
}

} // namespace

void MakeHexEdits(HWND hDlg)
{
    MakeHexEdit(hDlg, kFrameIdEdit, kFrameIdDigits);
    for (int id : kPayloadEdits) {
        MakeHexEdit(hDlg, id, kPayloadDigits);
    }
}
