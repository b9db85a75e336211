// The receive list: 50 rows that received messages overwrite in turn, fed by ReceiveCallback.
#pragma once

#include "platform.h"

#include "CanMessageDescriptor.h"

void ToggleReceiving(HWND hDlg);
void StartReceiving(HWND hDlg);
void StopReceiving(HWND hDlg);
void WINAPI ReceiveCallback(CanMessageDescriptor* message);
