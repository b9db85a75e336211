// The front-end seam as the layer uses it: the installed front end, the open modal windows, and the
// notifications the layer sends (FrontEndHooks.h).
#include "FrontEndHooks.h"

#include <algorithm>
#include <atomic>
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
    // Set by the front end when it has input, taken by the active modal window's loop, which sleeps on
    // its thread's wake word and is woken for it: no descriptor of its own to poll, so that the
    // wake-ups from other threads' messages cost a futex, not a pipe write and a poll.
    std::atomic<bool> inputArrived{false};
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

// When this thread last called changed(), by the coarse clock; each thread touches only its own.
thread_local std::chrono::nanoseconds t_lastChanged{0};

} // namespace

void SetFrontEnd(const FrontEnd* frontEnd)
{
    FrontEndState& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.frontEnd = frontEnd != nullptr ? std::optional<FrontEnd>(*frontEnd) : std::nullopt;
}

// Called after every message a thread runs, so what it does when nothing is to be drawn yet costs no
// lock and no precise clock. A thread that runs out of messages many times a second (a list filled
// from another thread at the bus's pace) is redrawn at the same pace as a busy one: a full redraw
// costs far more than the messages between two of them.
int NotifyFrontEndOfChanges(ThreadQueue& queue, bool idle)
{
    if (queue.modalDepth == 0 || !queue.HasChanges()) {
        return -1;
    }
    const auto now = std::chrono::nanoseconds(CoarseMonotonicNanoseconds());
    const auto sinceLast = now - t_lastChanged;
    std::optional<FrontEnd> frontEnd;
    if (sinceLast < kRedrawInterval) {
        if (!idle || !(frontEnd = Installed()) || frontEnd->changed == nullptr) {
            return -1;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(kRedrawInterval - sinceLast);
        return std::max(1, static_cast<int>(left.count()));
    }
    frontEnd = Installed();
    if (!queue.TakeChanged() || !frontEnd || frontEnd->changed == nullptr) {
        return -1;
    }
    t_lastChanged = now;
    frontEnd->changed(frontEnd->context);
    return -1;
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

std::atomic<bool>* FrontEndInputFor(HWND modalWindow)
{
    FrontEndState& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    bool active = !state.modalWindows.empty() && state.modalWindows.back() == modalWindow;
    return active && state.frontEnd && state.frontEnd->inputReady != nullptr ? &state.inputArrived : nullptr;
}

void FrontEndInputArrived()
{
    FrontEndState& state = TheState();
    state.inputArrived.store(true);
    // Without an active modal window the next one's loop finds the flag set when it first waits.
    HWND active = FrontEndActiveWindow();
    if (active == nullptr) {
        return;
    }
    if (std::shared_ptr<ThreadQueue> queue = QueueOfThread(GetWindowThreadProcessId(active, nullptr))) {
        queue->Wake();
    }
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
