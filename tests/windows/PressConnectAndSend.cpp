// For the screenshot: waits for the running console, presses Connect, then Start once, so that the
// console is connected on the virtual bus and has sent one frame. Exits 0 when both took effect.
#include <cstdio>

#include "platform.h"

namespace {

constexpr int kConnect = 1017;
constexpr int kTransmit = 1015;
constexpr int kPollMilliseconds = 100;
constexpr int kStartAttempts = 300;  // 30 s for Wine to start the console
constexpr int kConnectAttempts = 50; // 5 s for one press of Connect to take effect
constexpr int kConnectPresses = 5;

template <class Condition> bool WaitFor(Condition condition, int attempts)
{
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (condition()) {
            return true;
        }
        Sleep(kPollMilliseconds);
    }
    return false;
}

bool ReadsOpen(HWND button)
{
    wchar_t text[16] = {};
    GetWindowTextW(button, text, 16);
    return lstrcmpW(text, L"Open") == 0;
}

// A press that comes while Wine is still showing and activating the dialog can lose its mouse
// capture to the activation and click nothing; the button still reads "Open" then, and is pressed
// again. Once it reads "Close" the port is open, and another press would close it.
bool PressConnectUntilStartIsEnabled(HWND console)
{
    HWND connect = GetDlgItem(console, kConnect);
    HWND start = GetDlgItem(console, kTransmit);
    for (int press = 1; press <= kConnectPresses; ++press) {
        SendMessageW(connect, BM_CLICK, 0, 0);
        if (WaitFor([&] { return IsWindowEnabled(start) != FALSE; }, kConnectAttempts)) {
            return true;
        }
        if (!ReadsOpen(connect)) {
            return false; // connected, yet Start stayed disabled
        }
        std::fprintf(stderr, "BM_CLICK on Connect: press %d changed nothing, pressing again\n", press);
    }
    return false;
}

} // namespace

int main()
{
    HWND console = nullptr;
    auto shown = [&] {
        console = FindWindowW(L"#32770", L"CAN - Check");
        return console != nullptr && IsWindowVisible(console) != FALSE;
    };
    if (!WaitFor(shown, kStartAttempts)) {
        std::fprintf(
            stderr,
            "FindWindowW: no visible \"CAN - Check\" window within 30 s; is can-check.exe running?\n");
        return 1;
    }
    if (!PressConnectUntilStartIsEnabled(console)) {
        std::fprintf(stderr,
                     "BM_CLICK on Connect: Start never became enabled; is rvcan32ce.dll beside can-check?\n");
        return 1;
    }
    SendMessageW(GetDlgItem(console, kTransmit), BM_CLICK, 0, 0);
    return 0;
}
