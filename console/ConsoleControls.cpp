#include "ConsoleControls.h"

#include <span>

namespace {

void EnableControls(HWND hDlg, std::span<const int> controls, BOOL enable)
{
    for (int id : controls) {
        EnableWindow(GetDlgItem(hDlg, id), enable);
    }
}

} // namespace

void EnableTransmitControls(HWND hDlg, BOOL enable)
{
    EnableControls(hDlg, kTransmitControls, enable);
}

void EnableConnectionDependentControls(HWND hDlg, BOOL enable)
{
    EnableControls(hDlg, kConnectionDependentControls, enable);
}
