// The window tree and geometry: parents, children and siblings, finding windows and dialog items,
// rectangles and the owner thread.
#include <algorithm>
#include <array>
#include <cwchar>

#include <unistd.h>

#include "DebugOutput.h"
#include "Dialog.h"
#include "MessageQueue.h"
#include "WindowObjects.h"
#include "winbase.h"

namespace {

constexpr DWORD kErrorControlIdNotFound = 1421;

POINT ScreenOrigin(HWND hwnd)
{
    POINT origin{0, 0};
    std::lock_guard<std::mutex> lock(WindowLock());
    for (std::shared_ptr<Window> window = FindWindowObjectLocked(hwnd); window;
         window = FindWindowObjectLocked(window->parent)) {
        origin.x += window->pixelRect.left;
        origin.y += window->pixelRect.top;
    }
    return origin;
}

std::vector<HWND> SiblingsOf(const std::shared_ptr<Window>& window)
{
    if (window->parent == nullptr) {
        std::vector<HWND> topLevel;
        for (const std::shared_ptr<Window>& each : TopLevelWindows()) {
            topLevel.push_back(each->handle);
        }
        return topLevel;
    }
    std::lock_guard<std::mutex> lock(WindowLock());
    std::shared_ptr<Window> parent = FindWindowObjectLocked(window->parent);
    return parent ? parent->children : std::vector<HWND>{};
}

std::vector<HWND> ChildrenOf(HWND hwnd)
{
    std::lock_guard<std::mutex> lock(WindowLock());
    std::shared_ptr<Window> window = FindWindowObjectLocked(hwnd);
    return window ? window->children : std::vector<HWND>{};
}

bool EnumerateDescendants(HWND parent, WNDENUMPROC callback, LPARAM context)
{
    for (HWND child : ChildrenOf(parent)) {
        if (!callback(child, context) || !EnumerateDescendants(child, callback, context)) {
            return false;
        }
    }
    return true;
}

bool NameMatches(LPCWSTR wanted, const std::wstring& actual)
{
    return wanted == nullptr || wcscasecmp(wanted, actual.c_str()) == 0;
}

} // namespace

HWND GetParent(HWND hwnd)
{
    std::shared_ptr<Window> window = FindWindowObject(hwnd);
    if (!window) {
        return nullptr;
    }
    // For a top-level popup GetParent answers the owner.
    if (window->parent == nullptr) {
        return (window->style & WS_POPUP) != 0 ? window->owner : nullptr;
    }
    return window->parent;
}

HWND GetWindow(HWND hwnd, UINT relation)
{
    std::shared_ptr<Window> window = FindWindowObject(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (relation == GW_CHILD) {
        std::vector<HWND> children = ChildrenOf(hwnd);
        return children.empty() ? nullptr : children.front();
    }
    if (relation == GW_OWNER) {
        return window->owner;
    }
    // Controls of a dialog are in template order, the first one on top.
    std::vector<HWND> siblings = SiblingsOf(window);
    auto self = std::find(siblings.begin(), siblings.end(), hwnd);
    if (self == siblings.end()) {
        return nullptr;
    }
    switch (relation) {
    case GW_HWNDFIRST: return siblings.front();
    case GW_HWNDLAST: return siblings.back();
    case GW_HWNDNEXT: return self + 1 == siblings.end() ? nullptr : *(self + 1);
    case GW_HWNDPREV: return self == siblings.begin() ? nullptr : *(self - 1);
    }
    ReportUnimplemented(L"this GetWindow relation", hwnd, relation);
    return nullptr;
}

BOOL EnumChildWindows(HWND parent, WNDENUMPROC callback, LPARAM context)
{
    if (parent == nullptr) {
        // Without a parent, EnumChildWindows enumerates the top-level windows.
        for (const std::shared_ptr<Window>& window : TopLevelWindows()) {
            if (!callback(window->handle, context)) {
                break;
            }
        }
        return TRUE;
    }
    EnumerateDescendants(parent, callback, context);
    return TRUE;
}

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName)
{
    std::vector<std::shared_ptr<Window>> candidates = TopLevelWindows();
    // Topmost windows come first in the z-order.
    std::stable_partition(candidates.begin(), candidates.end(), [](const std::shared_ptr<Window>& window) {
        return (GetWindowLongW(window->handle, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    });
    for (const std::shared_ptr<Window>& window : candidates) {
        if (NameMatches(className, window->className) && NameMatches(windowName, TextOf(window->handle))) {
            return window->handle;
        }
    }
    return nullptr;
}

namespace {

// The controls this thread found lately by dialog and id, for threads that address the same controls
// over and over without taking WindowLock() each time. Each thread touches only its own.
class DialogItemMemory
{
public:
    HWND Find(HWND dialog, int id)
    {
        uint64_t generation = RegistryGeneration();
        if (generation != m_generation) {
            m_entries.fill({});
            m_generation = generation;
        }
        for (const Entry& entry : m_entries) {
            if (entry.dialog == dialog && entry.id == id && entry.control != nullptr) {
                return entry.control;
            }
        }
        return nullptr;
    }

    void Remember(uint64_t generation, HWND dialog, int id, HWND control)
    {
        if (generation == m_generation) {
            m_entries[m_next] = {dialog, id, control};
            m_next = (m_next + 1) % m_entries.size();
        }
    }

private:
    struct Entry
    {
        HWND dialog = nullptr;
        int id = 0;
        HWND control = nullptr;
    };

    uint64_t m_generation = 0;
    std::array<Entry, 8> m_entries{};
    size_t m_next = 0;
};

} // namespace

HWND GetDlgItem(HWND dialog, int id)
{
    thread_local DialogItemMemory t_items;
    if (HWND known = t_items.Find(dialog, id)) {
        return known;
    }
    std::lock_guard<std::mutex> lock(WindowLock());
    const std::shared_ptr<Window>& window = FindWindowObjectLocked(dialog);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    // GetDlgItem looks only at the direct children, in z-order, and answers the first match.
    for (HWND child : window->children) {
        const std::shared_ptr<Window>& control = FindWindowObjectLocked(child);
        if (control && control->id == id) {
            t_items.Remember(RegistryGeneration(), dialog, id, child);
            return child;
        }
    }
    SetLastError(kErrorControlIdNotFound);
    return nullptr;
}

int GetDlgCtrlID(HWND control)
{
    return static_cast<int>(GetWindowLongW(control, GWL_ID));
}

LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam)
{
    HWND control = GetDlgItem(dialog, id);
    return control != nullptr ? SendMessageW(control, message, wParam, lParam) : 0;
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text)
{
    return SetWindowTextW(GetDlgItem(dialog, id), text);
}

UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR buffer, int maxCount)
{
    if (buffer != nullptr && maxCount > 0) {
        buffer[0] = 0;
    }
    return static_cast<UINT>(GetWindowTextW(GetDlgItem(dialog, id), buffer, maxCount));
}

BOOL GetClientRect(HWND hwnd, LPRECT rect)
{
    std::shared_ptr<Window> window = FindWindowObject(hwnd);
    if (!window || rect == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    *rect = RECT{0, 0, window->pixelRect.right - window->pixelRect.left,
                 window->pixelRect.bottom - window->pixelRect.top};
    return TRUE;
}

BOOL GetWindowRect(HWND hwnd, LPRECT rect)
{
    RECT client{};
    if (rect == nullptr || !GetClientRect(hwnd, &client)) {
        return FALSE;
    }
    // There is no non-client area here: a window's rectangle is its client rectangle on the screen.
    POINT origin = ScreenOrigin(hwnd);
    *rect = RECT{origin.x, origin.y, origin.x + client.right, origin.y + client.bottom};
    return TRUE;
}

int MapWindowPoints(HWND from, HWND to, LPPOINT points, UINT count)
{
    POINT source = from != nullptr ? ScreenOrigin(from) : POINT{0, 0};
    POINT target = to != nullptr ? ScreenOrigin(to) : POINT{0, 0};
    LONG dx = source.x - target.x;
    LONG dy = source.y - target.y;
    for (UINT i = 0; i < count; ++i) {
        points[i].x += dx;
        points[i].y += dy;
    }
    // MapWindowPoints answers the shift: horizontal in the low word, vertical in the high word.
    return static_cast<int>(MAKELONG(static_cast<WORD>(dx), static_cast<WORD>(dy)));
}

BOOL ScreenToClient(HWND hwnd, LPPOINT point)
{
    if (!IsWindow(hwnd) || point == nullptr) {
        return FALSE;
    }
    MapWindowPoints(nullptr, hwnd, point, 1);
    return TRUE;
}

DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD processId)
{
    std::shared_ptr<Window> window = FindWindowObject(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (processId != nullptr) {
        *processId = static_cast<DWORD>(getpid());
    }
    return window->thread->ThreadId();
}
