#include "ConsoleDialogProc.h"

#include "ConsoleGlobals.h"
#include "InitConsole.h"

HWND g_hDlg = nullptr;

namespace {

INT_PTR OnInitDialog(HWND hDlg)
{
    InitConsole(hDlg);
    g_hDlg = hDlg;
    return 1; // the platform chooses the first focus
}

// Commands are told apart by their identifier alone, whatever their notification code.
void OnCommand(HWND hDlg, WORD id)
{
    switch (id) {
    case IDCANCEL: EndDialog(hDlg, 0); break;
    }
}

} // namespace

INT_PTR CALLBACK ConsoleDialogProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM)
{
    switch (msg) {
    case WM_INITDIALOG: return OnInitDialog(hDlg);
    case WM_COMMAND: OnCommand(hDlg, LOWORD(wParam)); return 0;
    }
    return 0;
}
