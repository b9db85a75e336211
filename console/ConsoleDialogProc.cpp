#include "ConsoleDialogProc.h"

#include "Connection.h"
#include "ConsoleControls.h"
#include "ConsoleGlobals.h"
#include "FocusKeeping.h"
#include "HexEdits.h"
#include "InitConsole.h"
#include "ReceiveView.h"
#include "Transmit.h"

namespace {

INT_PTR OnInitDialog(HWND hDlg)
{
    InitConsole(hDlg);
    MakeHexEdits(hDlg);
    g_hDlg = hDlg;
    return 1; // the platform chooses the first focus
}

// Nothing may outlive the dialog: the SendThread ends and receiving stops before it goes, so that no
// thread sends through the port or writes into the list once start-up destroys them.
void OnCancel(HWND hDlg)
{
    if (g_hSendThread != nullptr || g_bSending != 0) {
        StopSending(hDlg);
    }
    if (g_bReceiving != 0) {
        StopReceiving(hDlg);
    }
    EndDialog(hDlg, 0);
}

// Commands are told apart by their identifier alone, whatever their notification code.
void OnCommand(HWND hDlg, WORD id)
{
    switch (id) {
    case IDCANCEL: OnCancel(hDlg); break;
    case kTransmitButton: ToggleSending(hDlg); break;
    case kReceiveButton: ToggleReceiving(hDlg); break;
    case kConnectButton: ToggleConnection(hDlg); break;
    }
    PassOnFocusFromDisabledControl(hDlg);
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
