// The transmit button: the composed frame sent once, or periodically from a SendThread.
#pragma once

#include <cstdint>

#include "platform.h"

#include "cCanPacket.h"

// What StartSending hands to a new SendThread, which owns it.
struct SendThreadArgs
{
    cCanPacket packet;
    int32_t delay; // pause after each send, milliseconds
};

void ToggleSending(HWND hDlg);
void StartSending(HWND hDlg);
// Ends periodic sending and waits until its SendThread has ended, so no frame follows.
void StopSending(HWND hDlg);
DWORD WINAPI SendThread(LPVOID parameter);
