// From what ncurses reads (get_wch) to the keystrokes a Win32 dialog expects (FrontEndKeystroke).
#pragma once

#include <optional>

#include "../wintypes.h"

struct Keystroke
{
    UINT virtualKey = 0; // 0: only the character
    WCHAR character = 0; // what the key types (WM_CHAR), 0 for none
    DWORD modifiers = 0; // FRONTEND_SHIFT, ...

    bool operator==(const Keystroke&) const = default;
};

// isFunctionKey is get_wch's KEY_CODE_YES: key is then a KEY_ code, otherwise a character. Keys that a
// dialog has no use for (function keys, KEY_RESIZE, KEY_MOUSE) give nullopt; the front end handles the
// last two itself.
std::optional<Keystroke> TranslateKey(bool isFunctionKey, unsigned key);
