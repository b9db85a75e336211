// The connect button: connect to CAN port 1 at the chosen bit rate, or disconnect.
#pragma once

#include "platform.h"

void ToggleConnection(HWND hDlg);
void OpenConnection(HWND hDlg);
void CloseConnection(HWND hDlg);
