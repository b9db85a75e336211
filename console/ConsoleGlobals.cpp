#include "ConsoleGlobals.h"

HWND g_hDlg = nullptr;
cCanPort* g_port = nullptr;
std::atomic<int32_t> g_bSending{0};
HANDLE g_hSendThread = nullptr;
int32_t g_bReceiving = 0;
uint32_t g_nextRow = 0;
WCHAR g_cellText[256];
