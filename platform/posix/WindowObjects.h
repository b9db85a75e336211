// The window objects behind HWND values, inside the windowing layer. Not part of the program's API.
//
// A window belongs to the thread that created it (its ThreadQueue). Handles are never reused, so a stale
// HWND is simply unknown. The fields marked "guarded" are read and written under WindowLock() by any
// thread; everything a control keeps in its ControlState is touched only on the owner thread, by the
// control's window procedure.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "winuser.h"

class ThreadQueue;

// Per-window state of a control or dialog; owned by the window, used by its window procedure only.
struct ControlState
{
    virtual ~ControlState() = default;
};

struct Window
{
    HWND handle = nullptr;
    std::wstring className;
    // Replaced by subclassing (GWLP_WNDPROC) from any thread of the process, read by every message.
    std::atomic<WNDPROC> proc{nullptr};
    std::shared_ptr<ThreadQueue> thread;
    HWND parent = nullptr;      // null for top-level windows
    HWND owner = nullptr;       // top-level windows: the owner, or null
    std::vector<HWND> children; // creation (template) order; filled while the dialog is created
    RECT unitRect{};            // the template rectangle, in dialog units
    RECT pixelRect{};           // relative to the parent's client area; screen for top-level windows
    std::unique_ptr<ControlState> state;

    // guarded by WindowLock()
    DWORD style = 0;
    DWORD exStyle = 0;
    int id = 0;
    std::wstring text;
    LONG_PTR userData = 0;
    // Cleared, under WindowLock(), when the window leaves the registry; read by senders without it.
    std::atomic<bool> alive{true};
};

std::mutex& WindowLock();

// Null when the handle is unknown or its window was destroyed. Answers from a per-thread memory of
// earlier answers while no window has been added, removed or given another id since; otherwise takes
// WindowLock().
std::shared_ptr<Window> FindWindowObject(HWND window);
// The same, for a caller that already holds WindowLock(); the reference is valid while it holds it.
const std::shared_ptr<Window>& FindWindowObjectLocked(HWND window);

// Counts the changes to which windows exist and to their ids; each one is made under WindowLock() and
// makes every thread forget what FindWindowObject and GetDlgItem remembered.
uint64_t RegistryGeneration();
void NoteRegistryChangeLocked();

// Gives the window a new handle, makes it known and, for a child, appends it to its parent's children.
HWND AddWindowObject(const std::shared_ptr<Window>& window);
// Forgets the window and its descendants; returns them, root first. Caller holds WindowLock().
std::vector<std::shared_ptr<Window>> RemoveWindowTreeLocked(HWND root);
// Top-level windows, most recently created first.
std::vector<std::shared_ptr<Window>> TopLevelWindows();

// The control state of type State, created on first use. Owner thread only.
template <class State> State& StateOf(Window& window)
{
    if (!window.state) {
        window.state = std::make_unique<State>();
    }
    return static_cast<State&>(*window.state);
}

// Style and text accessors that take WindowLock(); 0 or empty for unknown windows.
DWORD StyleOf(HWND window);
std::wstring TextOf(HWND window);
void StoreText(HWND window, const std::wstring& text);
