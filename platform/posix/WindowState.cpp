// Window state: text, enabled and visible state, class name, window longs, and DefWindowProcW.
#include <algorithm>
#include <cwchar>

#include "DebugOutput.h"
#include "Dialog.h"
#include "MessageQueue.h"
#include "WindowObjects.h"
#include "winbase.h"

namespace {

constexpr DWORD kErrorInvalidIndex = 1413;

bool ChangeStyleBits(HWND hwnd, DWORD set, DWORD clear, DWORD& previous)
{
    std::lock_guard<std::mutex> lock(WindowLock());
    std::shared_ptr<Window> window = FindWindowObjectLocked(hwnd);
    if (!window) {
        return false;
    }
    previous = window->style;
    window->style = (window->style & ~clear) | set;
    return true;
}

// A window that loses the focus by being disabled or hidden leaves its thread without focus.
void DropFocusIfOwnedBy(HWND hwnd)
{
    std::shared_ptr<Window> window = FindWindowObject(hwnd);
    if (window && window->thread.get() == &CurrentQueue() && GetFocus() == hwnd) {
        SetFocus(nullptr);
    }
}

LONG_PTR DialogLong(HWND hwnd, int index, const LONG_PTR* newValue)
{
    std::shared_ptr<DialogState> dialog = DialogStateOf(hwnd);
    if (dialog == nullptr) {
        // Only dialogs have extra window memory here, as on Win32 for the predefined controls.
        SetLastError(kErrorInvalidIndex);
        return 0;
    }
    if (index != DWLP_MSGRESULT && index != DWLP_USER && index != DWLP_DLGPROC) {
        SetLastError(kErrorInvalidIndex);
        ReportUnimplemented(L"this dialog window long index", hwnd, static_cast<UINT>(index));
        return 0;
    }
    std::lock_guard<std::mutex> lock(WindowLock());
    LONG_PTR* slot = index == DWLP_MSGRESULT ? &dialog->messageResult
                     : index == DWLP_USER    ? &dialog->user
                                             : nullptr;
    if (slot == nullptr) {
        // The dialog procedure is fixed at creation here.
        if (newValue != nullptr) {
            ReportUnimplemented(L"replacing the dialog procedure", hwnd, 0);
        }
        return reinterpret_cast<LONG_PTR>(dialog->dialogProc);
    }
    LONG_PTR previous = *slot;
    if (newValue != nullptr) {
        *slot = *newValue;
    }
    return previous;
}

LONG_PTR WindowLong(HWND hwnd, int index, const LONG_PTR* newValue)
{
    if (index >= 0) {
        return DialogLong(hwnd, index, newValue);
    }
    std::unique_lock<std::mutex> lock(WindowLock());
    std::shared_ptr<Window> window = FindWindowObjectLocked(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LONG_PTR previous = 0;
    switch (index) {
    case GWL_STYLE: previous = window->style; break;
    case GWL_EXSTYLE: previous = window->exStyle; break;
    case GWL_ID: previous = window->id; break;
    case GWL_USERDATA: previous = window->userData; break;
    case GWLP_WNDPROC: previous = reinterpret_cast<LONG_PTR>(window->proc.load()); break;
    default:
        lock.unlock();
        SetLastError(kErrorInvalidIndex);
        ReportUnimplemented(L"this window long index", hwnd, static_cast<UINT>(index));
        return 0;
    }
    if (newValue != nullptr) {
        switch (index) {
        case GWL_STYLE: window->style = static_cast<DWORD>(*newValue); break;
        case GWL_EXSTYLE: window->exStyle = static_cast<DWORD>(*newValue); break;
        case GWL_ID:
            window->id = static_cast<int>(*newValue);
            NoteRegistryChangeLocked();
            break;
        case GWL_USERDATA: window->userData = *newValue; break;
        // Subclassing: the new procedure gets every later message and may pass it on with CallWindowProcW.
        case GWLP_WNDPROC: window->proc.store(reinterpret_cast<WNDPROC>(*newValue)); break;
        }
        lock.unlock();
        NoteVisibleChange(hwnd);
    }
    return previous;
}

} // namespace

LRESULT CallWindowProcW(WNDPROC previous, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return previous != nullptr ? previous(hwnd, message, wParam, lParam) : 0;
}

LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SETTEXT: {
        auto text = reinterpret_cast<LPCWSTR>(lParam);
        StoreText(hwnd, text != nullptr ? text : L"");
        NoteVisibleChange(hwnd);
        return TRUE;
    }
    case WM_GETTEXT: {
        auto buffer = reinterpret_cast<LPWSTR>(lParam);
        if (buffer == nullptr || wParam == 0) {
            return 0;
        }
        std::wstring text = TextOf(hwnd);
        // WM_GETTEXT copies what fits and always terminates the copy.
        size_t copied = std::min<size_t>(text.size(), wParam - 1);
        std::wmemcpy(buffer, text.data(), copied);
        buffer[copied] = 0;
        return static_cast<LRESULT>(copied);
    }
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(TextOf(hwnd).size());
    }
    return 0;
}

BOOL IsWindow(HWND hwnd)
{
    return FindWindowObject(hwnd) ? TRUE : FALSE;
}

BOOL EnableWindow(HWND hwnd, BOOL enable)
{
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    // Every call that disables sends WM_CANCELMODE first, even to a window already disabled.
    if (!enable) {
        SendMessageW(hwnd, WM_CANCELMODE, 0, 0);
    }
    DWORD previous = 0;
    if (!ChangeStyleBits(hwnd, enable ? 0 : WS_DISABLED, enable ? WS_DISABLED : 0, previous)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    bool wasDisabled = (previous & WS_DISABLED) != 0;
    if (wasDisabled == !enable) {
        return wasDisabled ? TRUE : FALSE;
    }
    // A disabled window cannot keep the keyboard focus.
    if (!enable) {
        DropFocusIfOwnedBy(hwnd);
    }
    SendMessageW(hwnd, WM_ENABLE, enable ? TRUE : FALSE, 0);
    NoteVisibleChange(hwnd);
    // EnableWindow answers whether the window was disabled before the call.
    return wasDisabled ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND hwnd)
{
    std::lock_guard<std::mutex> lock(WindowLock());
    std::shared_ptr<Window> window = FindWindowObjectLocked(hwnd);
    return window && (window->style & WS_DISABLED) == 0 ? TRUE : FALSE;
}

BOOL ShowWindow(HWND hwnd, int command)
{
    if (command != SW_HIDE && command != SW_SHOW && command != SW_SHOWNORMAL && command != SW_SHOWNA) {
        ReportUnimplemented(L"this ShowWindow command", hwnd, static_cast<UINT>(command));
    }
    bool show = command != SW_HIDE;
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    bool wasVisible = (GetWindowLongW(hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
    if (wasVisible != show) {
        // WM_SHOWWINDOW comes while the window is about to be shown or hidden, before the change.
        SendMessageW(hwnd, WM_SHOWWINDOW, show ? TRUE : FALSE, 0);
        DWORD previous = 0;
        ChangeStyleBits(hwnd, show ? WS_VISIBLE : 0, show ? 0 : WS_VISIBLE, previous);
        if (!show) {
            DropFocusIfOwnedBy(hwnd);
        }
        NoteVisibleChange(hwnd);
    }
    // ShowWindow answers whether the window was visible before the call.
    return wasVisible ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hwnd)
{
    std::lock_guard<std::mutex> lock(WindowLock());
    std::shared_ptr<Window> window = FindWindowObjectLocked(hwnd);
    if (!window) {
        return FALSE;
    }
    // A window is visible only when it and all its ancestors have WS_VISIBLE.
    for (; window; window = FindWindowObjectLocked(window->parent)) {
        if ((window->style & WS_VISIBLE) == 0) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOL SetWindowTextW(HWND hwnd, LPCWSTR text)
{
    return SendMessageW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0 ? TRUE : FALSE;
}

int GetWindowTextW(HWND hwnd, LPWSTR buffer, int maxCount)
{
    if (buffer == nullptr || maxCount <= 0) {
        return 0;
    }
    buffer[0] = 0;
    return static_cast<int>(
        SendMessageW(hwnd, WM_GETTEXT, static_cast<WPARAM>(maxCount), reinterpret_cast<LPARAM>(buffer)));
}

int GetWindowTextLengthW(HWND hwnd)
{
    return static_cast<int>(SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0));
}

int GetClassNameW(HWND hwnd, LPWSTR buffer, int maxCount)
{
    std::shared_ptr<Window> window = FindWindowObject(hwnd);
    if (!window || buffer == nullptr || maxCount <= 0) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    size_t copied = std::min<size_t>(window->className.size(), static_cast<size_t>(maxCount) - 1);
    std::wmemcpy(buffer, window->className.data(), copied);
    buffer[copied] = 0;
    return static_cast<int>(copied);
}

LONG GetWindowLongW(HWND hwnd, int index)
{
    return static_cast<LONG>(WindowLong(hwnd, index, nullptr));
}

LONG SetWindowLongW(HWND hwnd, int index, LONG value)
{
    LONG_PTR wide = value;
    return static_cast<LONG>(WindowLong(hwnd, index, &wide));
}

LONG_PTR GetWindowLongPtrW(HWND hwnd, int index)
{
    return WindowLong(hwnd, index, nullptr);
}

LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value)
{
    return WindowLong(hwnd, index, &value);
}
