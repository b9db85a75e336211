#include "Transmit.h"

#include <cwchar>

#include "ConsoleControls.h"
#include "ConsoleGlobals.h"
#include "FocusKeeping.h"
#include "MessageServing.h"

namespace {

constexpr int kFieldTextLength = 20;
// The longest a stopped SendThread goes on pausing before it notices.
constexpr DWORD kPauseSlice = 10;

// Text that does not parse reads as 0.
int32_t ReadDecimal(HWND hDlg, int id)
{
    WCHAR text[kFieldTextLength] = {};
    GetWindowTextW(GetDlgItem(hDlg, id), text, kFieldTextLength);
    int value = 0;
    if (swscanf(text, L"%d", &value) != 1) {
        value = 0;
    }
    return value;
}

uint32_t ReadHexadecimal(HWND hDlg, int id)
{
    WCHAR text[kFieldTextLength] = {};
    GetWindowTextW(GetDlgItem(hDlg, id), text, kFieldTextLength);
    unsigned int value = 0;
    if (swscanf(text, L"%x", &value) != 1) {
        value = 0;
    }
    return value;
}

int32_t CheckState(HWND hDlg, int id)
{
    return static_cast<int32_t>(SendDlgItemMessageW(hDlg, id, BM_GETCHECK, 0, 0));
}

cCanPacket ComposePacket(HWND hDlg, int32_t extendedState, uint32_t identifier, int32_t length)
{
    cCanPacket packet;
    packet.extended = extendedState == 1 ? 1 : 0;
    packet.SetId(identifier); // after extended, which selects the mask
    uint8_t payload[8] = {};
    for (int32_t i = 0; i < length && i < 8; ++i) {
        payload[i] = static_cast<uint8_t>(ReadHexadecimal(hDlg, kPayloadEdits[i]));
    }
    // A refused count (0, or 255 for no selection) leaves the default eight zero bytes.
    packet.SetData(static_cast<uint8_t>(length), payload);
    return packet;
}

// The frame-id edit keeps a too wide identifier only when it got there without typing (set, pasted,
// or typed before Extended Frame was unticked); the packet masks it, and the edit then shows the
// identifier that goes out instead of one that never does.
void ShowIdentifierSent(HWND hDlg, uint32_t identifier, const cCanPacket& packet)
{
    if (packet.id == identifier) {
        return;
    }
    WCHAR text[kFieldTextLength] = {};
    wsprintfW(text, L"%X", packet.id);
    SetControlText(hDlg, kFrameIdEdit, text);
}

// Returns whether a SendThread now runs.
bool StartSendThread(HWND hDlg, const cCanPacket& packet, int32_t delay)
{
    auto* args = new SendThreadArgs{packet, delay};
    g_hSendThread = CreateThread(nullptr, 0, SendThread, args, 0, nullptr);
    if (g_hSendThread == nullptr) {
        delete args;
        return false;
    }
    g_bSending = 1;
    SetControlText(hDlg, kTransmitButton, L"Stop");
    EnableDialogControl(hDlg, kTransmitButton, TRUE);
    return true;
}

// Sleeps for delay milliseconds, but returns soon after sending is stopped.
void PauseWhileSending(int32_t delay)
{
    DWORD left = delay > 0 ? static_cast<DWORD>(delay) : 0;
    do {
        DWORD slice = left < kPauseSlice ? left : kPauseSlice;
        Sleep(slice);
        left -= slice;
    } while (left > 0 && g_bSending != 0);
}

} // namespace

void ToggleSending(HWND hDlg)
{
    if (g_bSending != 0) {
        StopSending(hDlg);
    } else {
        StartSending(hDlg);
    }
}

void StopSending(HWND hDlg)
{
    HANDLE thread = g_hSendThread;
    g_hSendThread = nullptr;
    SetControlText(hDlg, kTransmitButton, L"Start");
    EnableTransmitControls(hDlg, TRUE);
    g_bSending = 0;
    if (thread != nullptr) {
        // A stopped thread must never send again, not even beside a new one started at once.
        ServeSentMessagesUntil([thread] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; });
        CloseHandle(thread);
    }
}

void StartSending(HWND hDlg)
{
    g_bSending = 1;
    int32_t loopState = CheckState(hDlg, kLoopCheckBox);
    int32_t delay = loopState == 1 ? ReadDecimal(hDlg, kDelayEdit) : 0;
    int32_t extendedState = CheckState(hDlg, kExtendedCheckBox);
    int32_t length = static_cast<int32_t>(SendDlgItemMessageW(hDlg, kLengthList, LB_GETCURSEL, 0, 0));
    NKDbgPrintfW(L"frame length: %i\r\n", length);
    NKDbgPrintfW(L"is ext frame: %i\r\n", extendedState);
    uint32_t identifier = ReadHexadecimal(hDlg, kFrameIdEdit);
    EnableTransmitControls(hDlg, FALSE);
    SetControlText(hDlg, kTransmitButton, L"Start");
    cCanPacket packet = ComposePacket(hDlg, extendedState, identifier, length);
    ShowIdentifierSent(hDlg, identifier, packet);

    if (loopState == 0) {
        g_port->Send(packet);
    } else if (g_hSendThread != nullptr) {
        NKDbgPrintfW(L"SendThread already existed\r\n");
    } else if (StartSendThread(hDlg, packet, delay)) {
        return;
    }
    EnableTransmitControls(hDlg, TRUE);
    g_bSending = 0;
}

DWORD WINAPI SendThread(LPVOID parameter)
{
    auto* args = static_cast<SendThreadArgs*>(parameter);
    cCanPacket packet(args->packet);
    int32_t delay = args->delay;
    delete args;
    while (g_bSending != 0) {
        g_port->Send(packet);
        PauseWhileSending(delay);
    }
    ExitThread(0);
}
