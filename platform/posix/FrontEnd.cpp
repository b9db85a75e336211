// The front-end seam as the front end uses it: the input it delivers to the active modal window.
#include "FrontEnd.h"

#include <mutex>

#include "Dialog.h"
#include "MessageQueue.h"
#include "WindowObjects.h"

namespace {

constexpr LPARAM kKeyDownBits = 0x00000001; // repeat count 1
constexpr LPARAM kKeyUpBits = 0xC0000001;   // repeat count 1, previously down, released

HWND FocusOrWindow(HWND active)
{
    std::shared_ptr<Window> window = FindWindowObject(active);
    if (!window) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(WindowLock());
    HWND focus = window->thread->focus;
    for (std::shared_ptr<Window> each = FindWindowObjectLocked(focus); each;
         each = FindWindowObjectLocked(each->parent)) {
        if (each->handle == active) {
            return focus;
        }
    }
    // Keys go to the active window itself when none of its controls has the focus.
    return active;
}

bool TakesClicks(HWND hwnd)
{
    if (!IsWindowVisible(hwnd)) {
        return false;
    }
    // Disabled windows, and windows inside disabled ones, get no mouse input.
    for (; hwnd != nullptr; hwnd = GetAncestorParent(hwnd)) {
        if (!IsWindowEnabled(hwnd)) {
            return false;
        }
    }
    return true;
}

} // namespace

BOOL FrontEndKeystroke(UINT virtualKey, WCHAR character, DWORD modifiers)
{
    HWND target = FocusOrWindow(FrontEndActiveWindow());
    if (target == nullptr) {
        return FALSE;
    }
    InputState keys{(modifiers & FRONTEND_SHIFT) != 0, (modifiers & FRONTEND_CONTROL) != 0,
                    (modifiers & FRONTEND_ALT) != 0, 0};
    if (virtualKey == 0) {
        return PostInputMessage(target, WM_CHAR, character, kKeyDownBits, keys);
    }
    InputState typing = keys;
    typing.character = character;
    return PostInputMessage(target, WM_KEYDOWN, virtualKey, kKeyDownBits, typing) &&
                   PostInputMessage(target, WM_KEYUP, virtualKey, kKeyUpBits, keys)
               ? TRUE
               : FALSE;
}

BOOL FrontEndClick(HWND window, POINT clientPoint)
{
    if (!TakesClicks(window)) {
        return FALSE;
    }
    LPARAM point = MAKELPARAM(clientPoint.x, clientPoint.y);
    InputState none{};
    return PostInputMessage(window, WM_LBUTTONDOWN, MK_LBUTTON, point, none) &&
                   PostInputMessage(window, WM_LBUTTONUP, 0, point, none)
               ? TRUE
               : FALSE;
}

BOOL GetDialogUnitRect(HWND hwnd, LPRECT rect)
{
    std::shared_ptr<Window> window = FindWindowObject(hwnd);
    if (!window || rect == nullptr) {
        return FALSE;
    }
    *rect = window->unitRect;
    return TRUE;
}
