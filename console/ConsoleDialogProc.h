// The dialog procedure of the console.
#pragma once

#include "platform.h"

INT_PTR CALLBACK ConsoleDialogProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);
