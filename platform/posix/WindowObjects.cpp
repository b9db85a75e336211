// The registry of window objects behind HWND values.
#include "WindowObjects.h"

#include <algorithm>
#include <array>
#include <map>

namespace {

// Every live window by handle, and the handle counter; touched by every thread, under WindowLock().
std::map<HWND, std::shared_ptr<Window>> windows;
UINT_PTR nextHandle = 0x10010;
// Advanced under WindowLock(), read by any thread without it.
std::atomic<uint64_t> registryGeneration{1};

// The windows this thread looked up lately. Senders of many messages to the same few windows (a driver's
// thread filling a list) then find them without WindowLock(), which every thread takes and so costs a
// cache miss on each turn. It keeps no window alive: a destroyed window's thread queue, and its
// descriptors, go at once. Each thread touches only its own.
class LookupMemory
{
public:
    std::shared_ptr<Window> Find(HWND handle)
    {
        Refresh();
        for (const auto& [known, window] : m_entries) {
            if (known == handle) {
                return window.lock();
            }
        }
        return nullptr;
    }

    void Remember(uint64_t generation, const std::shared_ptr<Window>& window)
    {
        if (generation != m_generation) {
            return; // the registry changed since the window was found
        }
        m_entries[m_next] = {window->handle, window};
        m_next = (m_next + 1) % m_entries.size();
    }

private:
    void Refresh()
    {
        uint64_t generation = registryGeneration.load(std::memory_order_acquire);
        if (generation != m_generation) {
            m_entries.fill({});
            m_generation = generation;
        }
    }

    uint64_t m_generation = 0;
    std::array<std::pair<HWND, std::weak_ptr<Window>>, 8> m_entries{};
    size_t m_next = 0;
};

thread_local LookupMemory t_lookups;

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

uint64_t RegistryGeneration()
{
    return registryGeneration.load(std::memory_order_acquire);
}

void NoteRegistryChangeLocked()
{
    registryGeneration.fetch_add(1, std::memory_order_release);
}

const std::shared_ptr<Window>& FindWindowObjectLocked(HWND window)
{
    static const std::shared_ptr<Window> none;
    auto found = windows.find(window);
    return found == windows.end() ? none : found->second;
}

std::shared_ptr<Window> FindWindowObject(HWND window)
{
    if (window == nullptr) {
        return nullptr;
    }
    if (std::shared_ptr<Window> known = t_lookups.Find(window)) {
        return known;
    }
    std::shared_ptr<Window> found;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(WindowLock());
        found = FindWindowObjectLocked(window);
        generation = registryGeneration.load(std::memory_order_relaxed);
    }
    if (found) {
        t_lookups.Remember(generation, found);
    }
    return found;
}

HWND AddWindowObject(const std::shared_ptr<Window>& window)
{
    std::lock_guard<std::mutex> lock(WindowLock());
    window->handle = NewHandle();
    windows[window->handle] = window;
    if (const std::shared_ptr<Window>& parent = FindWindowObjectLocked(window->parent)) {
        parent->children.push_back(window->handle);
    }
    NoteRegistryChangeLocked();
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
    NoteRegistryChangeLocked();
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
