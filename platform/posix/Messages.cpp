// Messages between windows and threads: SendMessageW, SendMessageTimeoutW, PostMessageW, PeekMessageW,
// and serving the messages other threads sent.
#include <algorithm>
#include <chrono>

#include "CorePlacement.h"
#include "DebugOutput.h"
#include "FrontEndHooks.h"
#include "MessageQueue.h"
#include "WindowObjects.h"
#include "winbase.h"

namespace {

// The input state of the message being handled; each thread touches only its own.
thread_local InputState t_input;

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 1000000));
}

struct SendOptions
{
    bool serveWhileWaiting = true;
    bool hasDeadline = false;
    Clock::time_point deadline;
};

// Queues the message for the window's thread and waits for its result, serving messages sent to this
// thread meanwhile so that two threads sending to each other never deadlock.
bool SendAcrossThreads(const Window& window, UINT message, WPARAM wParam, LPARAM lParam,
                       const SendOptions& options, LRESULT& result)
{
    ThreadQueue& me = CurrentQueue();
    std::shared_ptr<SentMessage> sent = CurrentSentMessages().Take(window.handle, message, wParam, lParam);
    ThreadQueue& target = *window.thread;
    const int spinRounds = MoveAwayFromServingThread(target) ? 0 : ThreadQueue::kAnswerSpinRounds;
    bool queued = false;
    if (options.hasDeadline) {
        queued = target.PushSentUnlessGone(sent, window.alive);
    } else {
        // The caller holds the window object until this returns, and this returns only with the answer.
        sent->heldWindow = &window;
        queued = target.PushSentUnlessGoneWaitingForever(sent, window.alive);
    }
    if (!queued) {
        sent->released.store(true, std::memory_order_release);
        result = 0;
        return true;
    }
    for (;;) {
        if (sent->done.load(std::memory_order_acquire)) {
            result = sent->result;
            return true;
        }
        if (options.serveWhileWaiting && ServeOneSentMessage()) {
            continue;
        }
        if (options.hasDeadline && Clock::now() >= options.deadline) {
            // A message already running still runs to its end; its result is dropped.
            if (target.WithdrawSent(sent)) {
                sent->released.store(true, std::memory_order_release);
            }
            result = 0;
            return false;
        }
        NotifyFrontEndOfChanges(me, false);
        me.Wait(options.hasDeadline ? MillisecondsUntil(options.deadline) : -1, spinRounds,
                ThreadQueue::WaitFor{.answer = &sent->done, .sentMessages = options.serveWhileWaiting});
    }
}

} // namespace

LRESULT CallWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<Window> window = FindWindowObject(hwnd);
    if (!window) {
        return 0;
    }
    // The window object stays alive through this call even if the window is destroyed inside it.
    return window->proc.load()(hwnd, message, wParam, lParam);
}

bool ServeOneSentMessage()
{
    ThreadQueue& queue = CurrentQueue();
    std::shared_ptr<SentMessage> keep;
    SentMessage* message = queue.PopSent(keep);
    if (message == nullptr) {
        return false;
    }
    queue.NoteServingCpu();
    LRESULT result = 0;
    if (message->heldWindow == nullptr) {
        result = CallWindowProcedure(message->hwnd, message->message, message->wParam, message->lParam);
    } else if (message->heldWindow->alive.load()) {
        // The sender keeps the window object alive; a window destroyed meanwhile answers 0, as above.
        result = message->heldWindow->proc.load()(message->hwnd, message->message, message->wParam,
                                                  message->lParam);
    }
    if (message->sender->Complete(*message, result)) {
        queue.ExpectLateFollowUp();
    }
    return true;
}

void ReleaseMessagesFor(ThreadQueue& queue, HWND window)
{
    for (const std::shared_ptr<SentMessage>& message : queue.DropMessagesFor(window)) {
        // A message sent to a window that is destroyed before it ran returns 0.
        message->sender->Complete(*message, 0);
    }
}

void NoteVisibleChange(HWND hwnd)
{
    std::shared_ptr<Window> window = FindWindowObject(hwnd);
    if (!window) {
        return;
    }
    window->thread->MarkChanged();
    if (window->thread->ThreadId() != GetCurrentThreadId()) {
        window->thread->Wake();
    }
}

void SetCurrentInput(const InputState& input)
{
    t_input = input;
}

WCHAR TakeCurrentCharacter()
{
    WCHAR character = t_input.character;
    t_input.character = 0;
    return character;
}

SHORT GetKeyState(int virtualKey)
{
    bool down = (virtualKey == VK_SHIFT && t_input.shift) || (virtualKey == VK_CONTROL && t_input.control) ||
                (virtualKey == VK_MENU && t_input.menu);
    return down ? static_cast<SHORT>(0x8000) : 0;
}

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<Window> window = FindWindowObject(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    // On the owner thread a sent message is a direct call of the window procedure.
    if (window->thread.get() == &CurrentQueue()) {
        return window->proc.load()(hwnd, message, wParam, lParam);
    }
    LRESULT result = 0;
    SendAcrossThreads(*window, message, wParam, lParam, SendOptions{}, result);
    return result;
}

LRESULT SendMessageTimeoutW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeout,
                            PDWORD_PTR result)
{
    if ((flags & ~static_cast<UINT>(SMTO_BLOCK | SMTO_ABORTIFHUNG)) != 0) {
        ReportUnimplemented(L"SendMessageTimeoutW flags other than SMTO_BLOCK and SMTO_ABORTIFHUNG", hwnd,
                            message);
    }
    std::shared_ptr<Window> window = FindWindowObject(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LRESULT answer = 0;
    if (window->thread.get() == &CurrentQueue()) {
        answer = window->proc.load()(hwnd, message, wParam, lParam);
    } else {
        SendOptions options{(flags & SMTO_BLOCK) == 0, true,
                            Clock::now() + std::chrono::milliseconds(timeout)};
        if (!SendAcrossThreads(*window, message, wParam, lParam, options, answer)) {
            SetLastError(ERROR_TIMEOUT);
            return 0;
        }
    }
    if (result != nullptr) {
        *result = static_cast<DWORD_PTR>(answer);
    }
    return 1;
}

BOOL PostInputMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, const InputState& keys)
{
    PostedMessage posted{MSG{hwnd, message, wParam, lParam, GetTickCount(), POINT{0, 0}}, keys};
    if (hwnd == nullptr) {
        // Posting to no window posts to the calling thread, as PostThreadMessage does.
        CurrentQueue().PushPosted(posted);
        return TRUE;
    }
    std::lock_guard<std::mutex> lock(WindowLock());
    std::shared_ptr<Window> window = FindWindowObjectLocked(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    window->thread->PushPosted(posted);
    return TRUE;
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return PostInputMessage(hwnd, message, wParam, lParam, InputState{});
}

BOOL PeekMessageW(LPMSG message, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags)
{
    if (hwnd != nullptr || filterMin != 0 || filterMax != 0 ||
        (removeFlags & ~static_cast<UINT>(PM_REMOVE | PM_NOYIELD)) != 0) {
        ReportUnimplemented(L"PeekMessageW with a window or message filter", hwnd, filterMin);
    }
    // PeekMessageW first runs the messages other threads sent to this thread's windows.
    while (ServeOneSentMessage()) {
    }
    ThreadQueue& queue = CurrentQueue();
    NotifyFrontEndOfChanges(queue, true);
    PostedMessage posted;
    if (!queue.PopPosted(posted)) {
        return FALSE;
    }
    if (message != nullptr) {
        *message = posted.msg;
    }
    if ((removeFlags & PM_REMOVE) == 0) {
        queue.PushPostedFirst(posted);
    }
    return TRUE;
}
