// The window classes that dialog templates can name: the predefined controls, and the common controls
// once InitCommonControlsEx has registered them. Not part of the program's API.
#pragma once

#include <optional>
#include <string>

#include "winuser.h"

struct ControlClass
{
    std::wstring name; // as GetClassNameW reports it
    WNDPROC proc = nullptr;
};

// Looks a class up by name, ignoring case as Win32 does; nullopt when it is not registered.
std::optional<ControlClass> FindControlClass(const std::wstring& name);
// The name of a predefined class atom of a dialog template (0x0080 "Button" ...); empty when unknown.
std::wstring ClassNameOfAtom(WORD atom);

// Sends WM_COMMAND with a control's notification code to its parent, as controls do on Win32.
void NotifyParent(HWND control, WORD code);

LRESULT CALLBACK ButtonWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK EditWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK StaticWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ListBoxWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ListViewWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
