// The dialog manager's rule for the console's controls: the focus never stays on a disabled control.
#pragma once

#include "platform.h"

// Enables or disables one control of the dialog. Disabling the control with the focus takes the focus
// away (Win32 then leaves it with no window); the control is remembered and gets the focus back when
// it is enabled again.
void EnableDialogControl(HWND hDlg, int id, BOOL enable);

// Called once a command is done: a control that lost the focus by being disabled and is still
// disabled passes the focus on to the next enabled control (WM_NEXTDLGCTL).
void PassOnFocusFromDisabledControl(HWND hDlg);
