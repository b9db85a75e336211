// The front-end seam: notifications to the front end and the input it delivers.
#include "FrontEnd.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

#include "Dialog.h"
#include "FrontEndHooks.h"
#include "MessageQueue.h"
#include "WindowObjects.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(20);
constexpr LPARAM kKeyDownBits = 0x00000001; // repeat count 1
constexpr LPARAM kKeyUpBits = 0xC0000001;   // repeat count 1, previously down, released

struct FrontEndState
{
    std::mutex mutex;
    // Set by SetFrontEnd on the front end's thread, read by every modal loop, under mutex.
    std::optional<FrontEnd> frontEnd;
    // Open modal windows, oldest first; changed and read by the threads running modal loops and by
    // input from any thread, under mutex.
    std::vector<HWND> modalWindows;
};

FrontEndState& TheState()
{
    static FrontEndState state;
    return state;
}

std::optional<FrontEnd> Installed()
{
    FrontEndState& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.frontEnd;
}

// When this thread last called changed(); each thread touches only its own.
thread_local std::chrono::steady_clock::time_point t_lastChanged;

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

void SetFrontEnd(const FrontEnd* frontEnd)
{
    FrontEndState& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.frontEnd = frontEnd != nullptr ? std::optional<FrontEnd>(*frontEnd) : std::nullopt;
}

void NotifyFrontEndOfChanges(ThreadQueue& queue, bool idle)
{
    if (queue.modalDepth == 0) {
        return;
    }
    std::optional<FrontEnd> frontEnd = Installed();
    auto now = std::chrono::steady_clock::now();
    if (frontEnd && frontEnd->changed != nullptr && !idle && now - t_lastChanged < kRedrawInterval) {
        return;
    }
    if (!queue.TakeChanged() || !frontEnd || frontEnd->changed == nullptr) {
        return;
    }
    t_lastChanged = now;
    frontEnd->changed(frontEnd->context);
}

void FrontEndWindowOpened(HWND window)
{
    {
        FrontEndState& state = TheState();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.modalWindows.push_back(window);
    }
    std::optional<FrontEnd> frontEnd = Installed();
    if (frontEnd && frontEnd->windowOpened != nullptr) {
        frontEnd->windowOpened(frontEnd->context, window);
    }
}

void FrontEndWindowClosing(HWND window)
{
    std::optional<FrontEnd> frontEnd = Installed();
    if (frontEnd && frontEnd->windowClosing != nullptr) {
        frontEnd->windowClosing(frontEnd->context, window);
    }
    FrontEndState& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::erase(state.modalWindows, window);
}

int FrontEndInputDescriptorFor(HWND modalWindow)
{
    FrontEndState& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    bool active = !state.modalWindows.empty() && state.modalWindows.back() == modalWindow;
    return active && state.frontEnd && state.frontEnd->inputReady != nullptr ? state.frontEnd->inputDescriptor
                                                                             : -1;
}

void FrontEndInputReady()
{
    std::optional<FrontEnd> frontEnd = Installed();
    if (frontEnd && frontEnd->inputReady != nullptr) {
        frontEnd->inputReady(frontEnd->context);
    }
}

HWND FrontEndActiveWindow()
{
    FrontEndState& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.modalWindows.empty() ? nullptr : state.modalWindows.back();
}

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
