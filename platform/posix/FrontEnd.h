// The seam between the windowing layer and a front end that shows its dialogs and message boxes and
// feeds them input (the terminal front end). Not a Win32 API; without a front end the layer is headless
// and its modal loops only serve messages.
//
// Everything the front end draws it reads through the Win32 calls (GetWindowTextW, GetClassNameW,
// GetWindowLongW, IsWindowVisible, IsWindowEnabled, GetFocus, GetWindow, GetWindowRect, LB_GETTEXT,
// LVM_GETITEMTEXTW, BM_GETCHECK, ...), on the thread that runs the modal loop, from its callbacks.
//
// Threads: the callbacks run on the thread that owns the window concerned, inside its modal loop.
// changed() covers changes made by any thread, including texts set from other threads through
// SendMessageW: the owner thread calls it as soon as it has served them, and at least every 20 ms while
// messages keep arriving.
#pragma once

#include "winuser.h"

struct FrontEnd
{
    void* context = nullptr;
    // A dialog or message box has been created, initialised and shown; it is the active modal window.
    void (*windowOpened)(void* context, HWND window) = nullptr;
    // The window is about to be destroyed; it still answers Win32 calls.
    void (*windowClosing)(void* context, HWND window) = nullptr;
    // Something visible changed (texts, enabled or visible state, focus, checks, selections, items).
    void (*changed)(void* context) = nullptr;
    // The front end has input (FrontEndInputArrived): the active modal window's loop calls this, which
    // reads it and delivers it with the calls below.
    void (*inputReady)(void* context) = nullptr;
};

// Installs a copy of the front end (nullptr removes it). Set it before the first dialog is created.
void SetFrontEnd(const FrontEnd* frontEnd);

// Modifier keys of a keystroke.
#define FRONTEND_SHIFT 0x1
#define FRONTEND_CONTROL 0x2
#define FRONTEND_ALT 0x4

// The topmost modal window (the last dialog or message box opened and not yet closed), or null.
HWND FrontEndActiveWindow();
// The front end has input to read: wakes the active modal window's loop, which calls inputReady (at
// once, or, with no modal window open, in the next one's loop). Any thread, but not a signal handler.
void FrontEndInputArrived();

// A keystroke for the focused control of the active modal window (the window itself when nothing has
// the focus): WM_KEYDOWN virtualKey, then the typed character as WM_CHAR if the dialog manager passes
// the key on (0 for none), then WM_KEYUP. A virtualKey of 0 delivers only the character. Any thread.
BOOL FrontEndKeystroke(UINT virtualKey, WCHAR character, DWORD modifiers);

// A click at a point of the window's client area, in pixels: WM_LBUTTONDOWN and WM_LBUTTONUP. Ignored
// (FALSE) when the window or one of its ancestors is hidden or disabled. Any thread.
BOOL FrontEndClick(HWND window, POINT clientPoint);

// The window's rectangle as its template gave it, in dialog units (relative to the dialog's client area
// for controls; position and size of the template for a dialog).
BOOL GetDialogUnitRect(HWND window, LPRECT rect);

// The row of a list view whose text was set last (LVM_SETITEMTEXTW), kept in place as rows are
// inserted and deleted; -1 when there is none or the list was emptied. On the view's own thread only.
int GetListViewLastWrittenRow(HWND view);
