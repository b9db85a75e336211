// Keyboard focus and the active window, kept per thread as on Win32.
#include <unistd.h>

#include "Dialog.h"
#include "MessageQueue.h"
#include "WindowObjects.h"
#include "winbase.h"

namespace {

constexpr DWORD kErrorInvalidParameter = 87;

// A handle whose window is gone reads as no window.
HWND AliveOrNull(HWND hwnd)
{
    return FindWindowObjectLocked(hwnd) ? hwnd : nullptr;
}

HWND TopLevelOf(HWND hwnd)
{
    std::shared_ptr<Window> window = FindWindowObjectLocked(hwnd);
    while (window && window->parent != nullptr) {
        window = FindWindowObjectLocked(window->parent);
    }
    return window ? window->handle : nullptr;
}

} // namespace

HWND SetFocus(HWND hwnd)
{
    ThreadQueue& me = CurrentQueue();
    HWND previous = nullptr;
    {
        std::lock_guard<std::mutex> lock(WindowLock());
        previous = AliveOrNull(me.focus);
        if (hwnd != nullptr) {
            std::shared_ptr<Window> window = FindWindowObjectLocked(hwnd);
            if (!window) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
            // A thread can give the focus only to its own windows.
            if (window->thread.get() != &me) {
                return nullptr;
            }
        }
    }
    if (hwnd == previous) {
        return previous;
    }
    if (previous != nullptr) {
        SendMessageW(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
    }
    {
        std::lock_guard<std::mutex> lock(WindowLock());
        me.focus = hwnd;
        if (hwnd != nullptr) {
            me.active = TopLevelOf(hwnd);
        }
    }
    if (hwnd != nullptr) {
        SendMessageW(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
    }
    NoteVisibleChange(hwnd != nullptr ? hwnd : previous);
    return previous;
}

HWND GetFocus()
{
    ThreadQueue& me = CurrentQueue();
    std::lock_guard<std::mutex> lock(WindowLock());
    return AliveOrNull(me.focus);
}

HWND GetActiveWindow()
{
    ThreadQueue& me = CurrentQueue();
    std::lock_guard<std::mutex> lock(WindowLock());
    return AliveOrNull(me.active);
}

void SetActiveWindowOfThread(HWND hwnd)
{
    ThreadQueue& me = CurrentQueue();
    std::lock_guard<std::mutex> lock(WindowLock());
    me.active = hwnd;
}

BOOL GetGUIThreadInfo(DWORD threadId, LPGUITHREADINFO info)
{
    if (info == nullptr || info->cbSize != sizeof(GUITHREADINFO)) {
        SetLastError(kErrorInvalidParameter);
        return FALSE;
    }
    if (threadId == 0) {
        // The foreground thread: the one that shows the newest top-level window.
        std::vector<std::shared_ptr<Window>> topLevel = TopLevelWindows();
        threadId = topLevel.empty() ? 0 : topLevel.front()->thread->ThreadId();
    }
    std::shared_ptr<ThreadQueue> queue = QueueOfThread(threadId);
    *info = GUITHREADINFO{};
    info->cbSize = sizeof(GUITHREADINFO);
    if (!queue) {
        SetLastError(kErrorInvalidParameter);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(WindowLock());
    info->hwndActive = AliveOrNull(queue->active);
    info->hwndFocus = AliveOrNull(queue->focus);
    return TRUE;
}
