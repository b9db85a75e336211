#include "Connection.h"

#include "ConsoleChoices.h"
#include "ConsoleControls.h"
#include "ConsoleGlobals.h"
#include "FocusKeeping.h"
#include "ReceiveView.h"
#include "Transmit.h"

namespace {

constexpr uint8_t kPortIndex = 1;

int32_t SelectedBaudrate(HWND hDlg)
{
    LRESULT index = SendDlgItemMessageW(hDlg, kBaudrateList, LB_GETCURSEL, 0, 0);
    if (index < 0 || index >= static_cast<LRESULT>(kBaudrateChoices.size())) {
        return cCanPort::kDefaultBaudrate;
    }
    return kBaudrateChoices[static_cast<size_t>(index)].kbitPerSecond;
}

void SetConnectButton(HWND hDlg, LPCWSTR text)
{
    SetControlText(hDlg, kConnectButton, text);
    EnableDialogControl(hDlg, kConnectButton, TRUE);
}

void ShowConnected(HWND hDlg)
{
    EnableDialogControl(hDlg, kBaudrateList, FALSE);
    SetConnectButton(hDlg, L"Close");
    HWND list = GetDlgItem(hDlg, kReceiveList);
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
    EnableDialogControl(hDlg, kReceiveList, TRUE);
    EnableDialogControl(hDlg, kReceiveButton, TRUE);
    SetControlText(hDlg, kTransmitButton, L"Start");
    EnableTransmitControls(hDlg, TRUE);
}

void ShowDisconnected(HWND hDlg)
{
    EnableDialogControl(hDlg, kBaudrateList, TRUE);
    SetConnectButton(hDlg, L"Open");
    SendDlgItemMessageW(hDlg, kBaudrateList, LB_SETCURSEL, kDefaultBaudrateIndex, 0);
    EnableConnectionDependentControls(hDlg, FALSE);
    SetControlText(hDlg, kReceiveButton, L"Start");
    SendDlgItemMessageW(hDlg, kLengthList, LB_SETCURSEL, kDefaultLengthIndex, 0);
}

} // namespace

void ToggleConnection(HWND hDlg)
{
    if (g_port->IsOpen() != 0) {
        CloseConnection(hDlg);
    } else {
        OpenConnection(hDlg);
    }
}

void OpenConnection(HWND hDlg)
{
    if (g_port->OpenWithBaudrate(kPortIndex, SelectedBaudrate(hDlg)) != 0) {
        MessageBoxW(hDlg, L"cannot open CAN port.", L"Error", MB_OK | MB_ICONERROR | MB_TOPMOST);
        return;
    }
    ShowConnected(hDlg);
    ToggleReceiving(hDlg);
}

void CloseConnection(HWND hDlg)
{
    // Periodic sending ends with the connection: its button is disabled from here on, so nothing
    // else could stop it, and its frames would go out again unasked after the next connect.
    if (g_hSendThread != nullptr) {
        StopSending(hDlg);
    }
    if (g_bReceiving != 0) {
        SendMessageW(hDlg, WM_COMMAND, kReceiveButton, 0);
    }
    g_port->Close();
    ShowDisconnected(hDlg);
}
