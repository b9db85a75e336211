// Thread queues and the messages between threads: SendMessageW, SendMessageTimeoutW, PostMessageW.
#include "MessageQueue.h"

#include <algorithm>
#include <map>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "FrontEndHooks.h"
#include "WindowObjects.h"
#include "winbase.h"

namespace {

// Every live queue by thread id; touched by any thread creating or querying a queue, under queuesMutex.
std::map<DWORD, std::weak_ptr<ThreadQueue>> queuesByThread;
std::mutex queuesMutex;

// The queue of the calling thread; each thread touches only its own.
thread_local std::shared_ptr<ThreadQueue> t_queue;
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
bool SendAcrossThreads(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, const SendOptions& options,
                       LRESULT& result)
{
    std::shared_ptr<ThreadQueue> me = CurrentQueuePtr();
    auto sent = std::make_shared<SentMessage>();
    *sent = SentMessage{hwnd, message, wParam, lParam, me, 0, false};
    std::shared_ptr<ThreadQueue> target;
    {
        // Under the window lock, so that a window being destroyed either sees this message or refuses it.
        std::lock_guard<std::mutex> lock(WindowLock());
        std::shared_ptr<Window> window = FindWindowObjectLocked(hwnd);
        if (!window) {
            result = 0;
            return true;
        }
        target = window->thread;
        target->PushSent(sent);
    }
    for (;;) {
        if (me->IsDone(*sent, result)) {
            return true;
        }
        if (options.serveWhileWaiting && ServeOneSentMessage()) {
            continue;
        }
        if (options.hasDeadline && Clock::now() >= options.deadline) {
            // A message already running still runs to its end; its result is dropped.
            target->WithdrawSent(sent);
            result = 0;
            return false;
        }
        NotifyFrontEndOfChanges(*me, false);
        me->Wait(options.hasDeadline ? MillisecondsUntil(options.deadline) : -1, -1);
    }
}

} // namespace

ThreadQueue::ThreadQueue() : m_threadId(GetCurrentThreadId())
{
    if (pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        OutputDebugStringW(L"windowing: cannot create a thread's wake pipe\r\n");
        m_wakePipe[0] = m_wakePipe[1] = -1;
    }
}

ThreadQueue::~ThreadQueue()
{
    for (int descriptor : m_wakePipe) {
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
}

void ThreadQueue::PushSent(const std::shared_ptr<SentMessage>& message)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sent.push_back(message);
    }
    Wake();
}

std::shared_ptr<SentMessage> ThreadQueue::PopSent()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sent.empty()) {
        return nullptr;
    }
    std::shared_ptr<SentMessage> message = m_sent.front();
    m_sent.pop_front();
    return message;
}

bool ThreadQueue::WithdrawSent(const std::shared_ptr<SentMessage>& message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = std::find(m_sent.begin(), m_sent.end(), message);
    if (found == m_sent.end()) {
        return false;
    }
    m_sent.erase(found);
    return true;
}

void ThreadQueue::PushPosted(const PostedMessage& message)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_posted.push_back(message);
    }
    Wake();
}

void ThreadQueue::PushPostedFirst(const PostedMessage& message)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_posted.push_front(message);
    }
    Wake();
}

bool ThreadQueue::PopPosted(PostedMessage& message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_posted.empty()) {
        return false;
    }
    message = m_posted.front();
    m_posted.pop_front();
    return true;
}

std::vector<std::shared_ptr<SentMessage>> ThreadQueue::DropMessagesFor(HWND window)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::shared_ptr<SentMessage>> dropped;
    for (auto it = m_sent.begin(); it != m_sent.end();) {
        if ((*it)->hwnd == window) {
            dropped.push_back(*it);
            it = m_sent.erase(it);
        } else {
            ++it;
        }
    }
    std::erase_if(m_posted, [window](const PostedMessage& posted) { return posted.msg.hwnd == window; });
    return dropped;
}

bool ThreadQueue::HasSentMessages()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_sent.empty();
}

void ThreadQueue::Complete(SentMessage& message, LRESULT result)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        message.result = result;
        message.done = true;
    }
    Wake();
}

bool ThreadQueue::IsDone(const SentMessage& message, LRESULT& result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    result = message.result;
    return message.done;
}

void ThreadQueue::MarkChanged()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changed = true;
}

bool ThreadQueue::TakeChanged()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    bool changed = m_changed;
    m_changed = false;
    return changed;
}

void ThreadQueue::Wake()
{
    const char byte = 1;
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    [[maybe_unused]] ssize_t written = write(m_wakePipe[1], &byte, 1);
}

void ThreadQueue::DrainWakePipe()
{
    char bytes[64];
    while (read(m_wakePipe[0], bytes, sizeof(bytes)) > 0) {
    }
}

bool ThreadQueue::Wait(int timeoutMilliseconds, int extraDescriptor)
{
    pollfd descriptors[2] = {{m_wakePipe[0], POLLIN, 0}, {extraDescriptor, POLLIN, 0}};
    nfds_t count = extraDescriptor >= 0 ? 2 : 1;
    int ready = poll(descriptors, count, timeoutMilliseconds);
    DrainWakePipe();
    return ready > 0 && count == 2 && (descriptors[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

ThreadQueue& CurrentQueue()
{
    return *CurrentQueuePtr();
}

std::shared_ptr<ThreadQueue> CurrentQueuePtr()
{
    if (!t_queue) {
        t_queue = std::make_shared<ThreadQueue>();
        std::lock_guard<std::mutex> lock(queuesMutex);
        std::erase_if(queuesByThread, [](const auto& entry) { return entry.second.expired(); });
        queuesByThread[t_queue->ThreadId()] = t_queue;
    }
    return t_queue;
}

std::shared_ptr<ThreadQueue> QueueOfThread(DWORD threadId)
{
    std::lock_guard<std::mutex> lock(queuesMutex);
    auto found = queuesByThread.find(threadId);
    return found == queuesByThread.end() ? nullptr : found->second.lock();
}

LRESULT CallWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<Window> window = FindWindowObject(hwnd);
    if (!window) {
        return 0;
    }
    // The window object stays alive through this call even if the window is destroyed inside it.
    return window->proc(hwnd, message, wParam, lParam);
}

bool ServeOneSentMessage()
{
    std::shared_ptr<SentMessage> message = CurrentQueue().PopSent();
    if (!message) {
        return false;
    }
    LRESULT result = CallWindowProcedure(message->hwnd, message->message, message->wParam, message->lParam);
    message->sender->Complete(*message, result);
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
        return window->proc(hwnd, message, wParam, lParam);
    }
    LRESULT result = 0;
    SendAcrossThreads(hwnd, message, wParam, lParam, SendOptions{}, result);
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
        answer = window->proc(hwnd, message, wParam, lParam);
    } else {
        SendOptions options{(flags & SMTO_BLOCK) == 0, true,
                            Clock::now() + std::chrono::milliseconds(timeout)};
        if (!SendAcrossThreads(hwnd, message, wParam, lParam, options, answer)) {
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
    PostedMessage posted;
    ThreadQueue& queue = CurrentQueue();
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
