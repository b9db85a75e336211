#include "ConsoleControls.h"

#include <span>

#include "FocusKeeping.h"

namespace {

void EnableControls(HWND hDlg, std::span<const int> controls, BOOL enable)
{
    for (int id : controls) {
        EnableDialogControl(hDlg, id, enable);
    }
}

} // namespace

void SetControlText(HWND hDlg, int id, LPCWSTR text)
{
    SendDlgItemMessageW(hDlg, id, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void EnableTransmitControls(HWND hDlg, BOOL enable)
{
    EnableControls(hDlg, kTransmitControls, enable);
}

void EnableConnectionDependentControls(HWND hDlg, BOOL enable)
{
    EnableControls(hDlg, kConnectionDependentControls, enable);
}
