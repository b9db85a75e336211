// Dialogs inside the windowing layer: the parsed template, the dialog's own state, creation and the
// modal loop. Not part of the program's API.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "WindowObjects.h"
#include "winuser.h"

// The class name of dialogs and message boxes, as on Win32.
constexpr const wchar_t* kDialogClassName = L"#32770";

// Base units of every dialog here: an average character of 8 x 16 pixels, so one dialog unit is two
// pixels each way.
constexpr LONG kBaseUnitX = 8;
constexpr LONG kBaseUnitY = 16;

struct DialogItemDescription
{
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    WORD id = 0;
    std::wstring className;
    std::wstring caption;
    std::vector<BYTE> creationData;
};

struct DialogDescription
{
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring caption;
    WORD fontSize = 0;
    std::wstring fontName;
    std::vector<DialogItemDescription> items;
};

// Reads a standard in-memory DLGTEMPLATE; nullopt (with a logged reason) for what the layer does not
// accept.
std::optional<DialogDescription> ParseDialogTemplate(LPCDLGTEMPLATEW dialogTemplate);

struct DialogState : ControlState
{
    DLGPROC dialogProc = nullptr; // set before the window is known to other threads

    // Set with result under WindowLock(); read without it by the modal loop before every message.
    std::atomic<bool> ended{false};
    // guarded by WindowLock()
    INT_PTR result = 0;
    LONG_PTR messageResult = 0; // DWLP_MSGRESULT
    LONG_PTR user = 0;          // DWLP_USER
    int defaultId = 0;          // DM_SETDEFID; 0 when there is no default push button
    HWND ownerDisabled = nullptr;
};

// Creates the dialog window and its controls, hidden, without WM_INITDIALOG; null (everything created so
// far destroyed again) when a control class is unknown.
HWND CreateDialogWindows(const DialogDescription& description, HWND owner, DLGPROC dialogProc);

// Runs a created dialog modally: WM_INITDIALOG, first focus, shown, the loop until EndDialog, then
// destroyed. Returns the EndDialog result.
INT_PTR RunModalDialog(HWND dialog, HWND owner, LPARAM initParam);

// Destroys a window and its children: WM_DESTROY to each, then the handles are forgotten and waiting
// senders released.
void DestroyWindowTree(HWND window);

// The dialog window procedure (DefDlgProc's part): calls the dialog procedure, then the defaults.
LRESULT CALLBACK DialogWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Moves the focus to a control the way the dialog manager does (edits get their text selected).
void SetDialogFocus(HWND control);
// WM_NEXTDLGCTL: to the control in wParam when lParam's low word is set, else to the next (wParam 0) or
// previous tab stop.
void MoveDialogFocus(HWND dialog, WPARAM wParam, LPARAM lParam);
// Hands a posted message that the dialog manager did not take to its window, with its character.
void DispatchPostedMessage(const MSG& message);
// The calling thread's active window.
void SetActiveWindowOfThread(HWND window);

// What every part of the dialog code asks of a window (DialogState.cpp): the dialog state of a
// dialog window, or null for any other window; it shares the window object's lifetime.
std::shared_ptr<DialogState> DialogStateOf(HWND window);
// The parent of a child window, null for a top-level window.
HWND GetAncestorParent(HWND window);
// The top-level window a window belongs to (itself for a top-level window).
HWND TopLevelAncestor(HWND window);
// A template's position and size as a rectangle, still in dialog units.
RECT UnitRect(short x, short y, short cx, short cy);
// A rectangle in dialog units converted to pixels with this layer's base units.
RECT PixelsFromUnits(const RECT& units);
