// The program's entry: prepare the common controls, create the one port, run the console modally,
// destroy the port.
#include <new>

#include "platform.h"

#include "ConsoleDialogProc.h"
#include "ConsoleGlobals.h"
#include "cCanPort.h"

namespace {

constexpr DWORD kConsoleControlClasses = 0x2014;
constexpr WORD kConsoleTemplate = 101;

void InitialiseCommonControls()
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), kConsoleControlClasses};
    InitCommonControlsEx(&controls);
    // The template's receive list is a list view, whose class the set above leaves out.
    INITCOMMONCONTROLSEX listView = {sizeof(listView), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&listView);
}

void RunConsole(HINSTANCE instance)
{
    HWND owner = GetActiveWindow();
    HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(kConsoleTemplate), RT_DIALOG);
    HGLOBAL loaded = LoadResource(instance, resource);
    auto dialogTemplate = static_cast<LPCDLGTEMPLATEW>(LockResource(loaded));
    DialogBoxIndirectParamW(instance, dialogTemplate, owner, ConsoleDialogProc, 0);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    InitialiseCommonControls();
    g_port = new (std::nothrow) cCanPort;
    if (g_port == nullptr) {
        // Every console operation uses the port: without it there is no console to run.
        return 1;
    }
    RunConsole(instance);
    delete g_port;
    g_port = nullptr;
    return 0;
}
