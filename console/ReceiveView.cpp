#include "ReceiveView.h"

#include <algorithm>
#include <atomic>

#include "ConsoleControls.h"
#include "ConsoleGlobals.h"
#include "MessageServing.h"

namespace {

constexpr uint32_t kRowCount = 50;

// Whether ReceiveCallback may touch the receive list. Opened on the dialog's thread before the callback
// is registered and closed there before the queue is stopped; read by the driver's thread.
std::atomic<bool> listOpenToCallbacks{false};

// How many ReceiveCallbacks are past their look at listOpenToCallbacks. The dialog's thread waits for
// none, serving the cell updates they send it, before it stops the queue; otherwise a callback blocked
// in its update and a stop waiting for that callback would wait for each other for ever.
std::atomic<int> callbacksInside{0};

void OpenListToCallbacks()
{
    listOpenToCallbacks.store(true);
}

void CloseListToCallbacks()
{
    listOpenToCallbacks.store(false);
    ServeSentMessagesUntil([] { return callbacksInside.load() == 0; });
}

void SetCell(int column, LPCWSTR text)
{
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = const_cast<LPWSTR>(text);
    SendMessageW(GetDlgItem(g_hDlg, kReceiveList), LVM_SETITEMTEXTW, g_nextRow,
                 reinterpret_cast<LPARAM>(&item));
}

// The first length bytes, but never more than the record holds.
void FormatPayload(const CanMessageDescriptor& message)
{
    g_cellText[0] = 0;
    size_t count = std::min<size_t>(message.length, kCanMaxDataBytes);
    for (size_t i = 0; i < count; ++i) {
        wsprintfW(g_cellText + 3 * i, L"%02x ", message.data[i]);
    }
}

void ShowMessage(const CanMessageDescriptor& message)
{
    wsprintfW(g_cellText, L"%x", message.id);
    SetCell(0, g_cellText);
    SetCell(1, message.extended == 1 ? L"Yes" : L"No");
    wsprintfW(g_cellText, L"%x", message.timestamp);
    SetCell(2, g_cellText);
    wsprintfW(g_cellText, L"%d", message.length);
    SetCell(3, g_cellText);
    FormatPayload(message);
    SetCell(4, g_cellText);
    g_nextRow = g_nextRow + 1 >= kRowCount ? 0 : g_nextRow + 1;
}

void PrepareEmptyRows(HWND list)
{
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
    SendMessageW(list, LVM_SETITEMCOUNT, kRowCount, 0);
    for (uint32_t row = 0; row < kRowCount; ++row) {
        LVITEMW item{};
        item.iItem = static_cast<int>(row);
        SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
}

} // namespace

void ToggleReceiving(HWND hDlg)
{
    if (g_bReceiving != 0) {
        StopReceiving(hDlg);
    } else {
        StartReceiving(hDlg);
    }
}

void StartReceiving(HWND hDlg)
{
    g_nextRow = 0;
    PrepareEmptyRows(GetDlgItem(hDlg, kReceiveList));
    OpenListToCallbacks();
    if (g_port->StartReceive(ReceiveCallback) == 0) {
        SetControlText(hDlg, kReceiveButton, L"Stop");
        g_bReceiving = 1;
    } else {
        CloseListToCallbacks();
    }
}

void StopReceiving(HWND hDlg)
{
    CloseListToCallbacks();
    g_port->StopReceive();
    SetControlText(hDlg, kReceiveButton, L"Start");
    g_bReceiving = 0;
}

void WINAPI ReceiveCallback(CanMessageDescriptor* message)
{
    if (message == nullptr) {
        return;
    }
    callbacksInside.fetch_add(1);
    if (listOpenToCallbacks.load()) {
        ShowMessage(*message);
    }
    callbacksInside.fetch_sub(1);
}
