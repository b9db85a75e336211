// The console's process-wide state. None of it has a lock; each declaration says who writes and reads it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"

#include "cCanPort.h"

// The dialog's handle: written once by ConsoleDialogProc on WM_INITDIALOG, before receiving can start;
// afterwards only read, also by ReceiveCallback on the driver's thread.
extern HWND g_hDlg;

// The one port: set by start-up before the dialog exists and cleared after it has ended; read by the
// dialog's thread and by a SendThread, which always ends before the dialog does.
extern cCanPort* g_port;

// 1 while a transmit is under way. Written on the dialog's thread; polled by the SendThread once per
// pass, hence atomic.
extern std::atomic<int32_t> g_bSending;

// The running SendThread, or null. Dialog's thread only.
extern HANDLE g_hSendThread;

// 1 while the driver's receive queue runs with ReceiveCallback registered. Dialog's thread only.
extern int32_t g_bReceiving;

// The row the next received message overwrites, 0 to 49. Reset on the dialog's thread before the
// callback is registered; advanced by ReceiveCallback on the driver's thread.
extern uint32_t g_nextRow;

// Where ReceiveCallback formats one cell's text. ReceiveCallback only.
extern WCHAR g_cellText[256];
