// For the screenshot: waits for the running console, presses Connect, then Start once, so that the
// console is connected on the virtual bus and has sent one frame. Exits 0 when both took effect.
#include <cstdio>

#include "platform.h"

namespace {

constexpr int kConnect = 1017;
constexpr int kTransmit = 1015;
constexpr int kAttempts = 300; // 100 ms apart: 30 s for Wine to start the console

template <class Condition> bool WaitFor(Condition condition)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (condition()) {
            return true;
        }
        Sleep(100);
    }
    return false;
}

} // namespace

int main()
{
    HWND console = nullptr;
    if (!WaitFor([&] { return (console = FindWindowW(L"#32770", L"CAN - Check")) != nullptr; })) {
        std::fprintf(stderr,
                     "FindWindowW: no \"CAN - Check\" window within 30 s; is can-check.exe running?\n");
        return 1;
    }
    SendMessageW(GetDlgItem(console, kConnect), BM_CLICK, 0, 0);
    if (!WaitFor([&] { return IsWindowEnabled(GetDlgItem(console, kTransmit)) != FALSE; })) {
        std::fprintf(stderr,
                     "BM_CLICK on Connect: Start never became enabled; is rvcan32ce.dll beside can-check?\n");
        return 1;
    }
    SendMessageW(GetDlgItem(console, kTransmit), BM_CLICK, 0, 0);
    return 0;
}
