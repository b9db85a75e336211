// The registry of window objects behind HWND values.
#include "WindowObjects.h"

#include <algorithm>
#include <map>

#include "winbase.h"

namespace {

// Every live window by handle, and the handle counter; touched by every thread, under WindowLock().
std::map<HWND, std::shared_ptr<Window>> windows;
UINT_PTR nextHandle = 0x10010;

// Handles step by 4 like Win32's, and are never handed out twice.
HWND NewHandle()
{
    HWND handle = reinterpret_cast<HWND>(nextHandle);
    nextHandle += 4;
    return handle;
}

void CollectTree(const std::shared_ptr<Window>& root, std::vector<std::shared_ptr<Window>>& out)
{
    out.push_back(root);
    for (HWND child : root->children) {
        if (std::shared_ptr<Window> window = FindWindowObjectLocked(child)) {
            CollectTree(window, out);
        }
    }
}

} // namespace

std::mutex& WindowLock()
{
    static std::mutex lock;
    return lock;
}

std::shared_ptr<Window> FindWindowObjectLocked(HWND window)
{
    auto found = windows.find(window);
    return found == windows.end() ? nullptr : found->second;
}

std::shared_ptr<Window> FindWindowObject(HWND window)
{
    if (window == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(WindowLock());
    return FindWindowObjectLocked(window);
}

HWND AddWindowObject(const std::shared_ptr<Window>& window)
{
    std::lock_guard<std::mutex> lock(WindowLock());
    window->handle = NewHandle();
    windows[window->handle] = window;
    if (std::shared_ptr<Window> parent = FindWindowObjectLocked(window->parent)) {
        parent->children.push_back(window->handle);
    }
    return window->handle;
}

std::vector<std::shared_ptr<Window>> RemoveWindowTreeLocked(HWND root)
{
    std::vector<std::shared_ptr<Window>> tree;
    std::shared_ptr<Window> window = FindWindowObjectLocked(root);
    if (!window) {
        return tree;
    }
    CollectTree(window, tree);
    if (std::shared_ptr<Window> parent = FindWindowObjectLocked(window->parent)) {
        std::erase(parent->children, root);
    }
    for (const std::shared_ptr<Window>& member : tree) {
        member->alive = false;
        windows.erase(member->handle);
    }
    return tree;
}

std::vector<std::shared_ptr<Window>> TopLevelWindows()
{
    std::lock_guard<std::mutex> lock(WindowLock());
    std::vector<std::shared_ptr<Window>> topLevel;
    for (const auto& [handle, window] : windows) {
        if (window->parent == nullptr) {
            topLevel.push_back(window);
        }
    }
    // Handles grow with creation, so the newest window comes first.
    std::reverse(topLevel.begin(), topLevel.end());
    return topLevel;
}

DWORD StyleOf(HWND hwnd)
{
    std::lock_guard<std::mutex> lock(WindowLock());
    std::shared_ptr<Window> window = FindWindowObjectLocked(hwnd);
    return window ? window->style : 0;
}

std::wstring TextOf(HWND hwnd)
{
    std::lock_guard<std::mutex> lock(WindowLock());
    std::shared_ptr<Window> window = FindWindowObjectLocked(hwnd);
    return window ? window->text : std::wstring();
}

void StoreText(HWND hwnd, const std::wstring& text)
{
    std::lock_guard<std::mutex> lock(WindowLock());
    if (std::shared_ptr<Window> window = FindWindowObjectLocked(hwnd)) {
        window->text = text;
    }
}

void NotifyParent(HWND control, WORD code)
{
    HWND parent = GetParent(control);
    if (parent != nullptr) {
        SendMessageW(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), code),
                     reinterpret_cast<LPARAM>(control));
    }
}

void ReportUnimplemented(const wchar_t* what, HWND window, UINT message)
{
    NKDbgPrintfW(L"windowing: not implemented: %ls (window %p, message 0x%04x)\r\n", what,
                 static_cast<void*>(window), message);
}
