// The console's process-wide state. None of it has a lock; each declaration says who writes and reads it.
#pragma once

#include "platform.h"

// The dialog's handle: written once by ConsoleDialogProc on WM_INITDIALOG, before receiving can start;
// afterwards only read, also by ReceiveCallback on the driver's thread.
extern HWND g_hDlg;
