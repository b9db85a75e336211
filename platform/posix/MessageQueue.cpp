// Thread queues: the messages waiting for each thread, and the wait that wakes it.
#include "MessageQueue.h"

#include <algorithm>
#include <map>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include "winbase.h"

namespace {

// Every live queue by thread id; touched by any thread creating or querying a queue, under queuesMutex.
std::map<DWORD, std::weak_ptr<ThreadQueue>> queuesByThread;
std::mutex queuesMutex;

// The queue of the calling thread; each thread touches only its own.
thread_local std::shared_ptr<ThreadQueue> t_queue;

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
    m_woken.store(true);
    if (m_sleeping.load()) {
        const char byte = 1;
        // A full pipe already holds a wake-up, so a failed write loses nothing.
        [[maybe_unused]] ssize_t written = write(m_wakePipe[1], &byte, 1);
    }
}

void ThreadQueue::DrainWakePipe()
{
    char bytes[64];
    while (read(m_wakePipe[0], bytes, sizeof(bytes)) > 0) {
    }
}

// A sent message is answered within microseconds when the other thread runs on another core: a short
// spin then saves the sleep and the two system calls of a wake-up through the pipe.
// Past the first rounds the spin yields its core, so that on a busy machine the thread it waits for
// can run. It is bounded by rounds, not by the clock, which is slow to read on some virtual machines;
// the rounds come to some tens of microseconds.
bool ThreadQueue::SpinForWakeUp()
{
    constexpr int kBusyRounds = 64;
    constexpr int kYieldingRounds = 64;
    for (int round = 0; round < kBusyRounds + kYieldingRounds; ++round) {
        if (m_woken.exchange(false)) {
            return true;
        }
        if (round < kBusyRounds) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        } else {
            sched_yield();
        }
    }
    return false;
}

bool ThreadQueue::ExtraDescriptorReady(int extraDescriptor, int timeoutMilliseconds)
{
    pollfd extra = {extraDescriptor, POLLIN, 0};
    return poll(&extra, 1, timeoutMilliseconds) > 0 && (extra.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool ThreadQueue::Wait(int timeoutMilliseconds, int extraDescriptor)
{
    if (timeoutMilliseconds != 0 && SpinForWakeUp()) {
        // Input waits its turn only as long as one message takes.
        return extraDescriptor >= 0 && ExtraDescriptorReady(extraDescriptor, 0);
    }
    m_sleeping.store(true);
    if (m_woken.exchange(false)) {
        m_sleeping.store(false);
        return extraDescriptor >= 0 && ExtraDescriptorReady(extraDescriptor, 0);
    }
    pollfd descriptors[2] = {{m_wakePipe[0], POLLIN, 0}, {extraDescriptor, POLLIN, 0}};
    nfds_t count = extraDescriptor >= 0 ? 2 : 1;
    int ready = poll(descriptors, count, timeoutMilliseconds);
    m_sleeping.store(false);
    m_woken.store(false);
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
