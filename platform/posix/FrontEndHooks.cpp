// The front-end seam as the layer uses it: the installed front end, the open modal windows, and the
// notifications the layer sends (FrontEndHooks.h).
#include "FrontEndHooks.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

#include "FrontEnd.h"
#include "MessageQueue.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(20);

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
